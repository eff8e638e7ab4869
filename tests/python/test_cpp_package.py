"""A C++ program finds the installed core with find_package(torvel) and runs."""
import os
import shutil
import subprocess

import pytest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
CORE_BUILD = os.path.join(ROOT, "build", "cpp")  # made by scripts/test before pytest runs


@pytest.mark.skipif(not os.path.exists(os.path.join(CORE_BUILD, "CMakeCache.txt")),
                    reason="the core's build (scripts/test makes it) is not there")
def test_example_program_builds_against_the_installed_package(tmp_path):
    cmake = shutil.which("cmake")
    prefix, build = tmp_path / "prefix", tmp_path / "build"
    run = lambda *args: subprocess.run(args, capture_output=True, text=True, check=True)  # noqa: E731
    run(cmake, "--build", CORE_BUILD)  # up to date after scripts/test; re-runs configure if stale
    run(cmake, "--install", CORE_BUILD, "--prefix", str(prefix))
    run(cmake, "-S", os.path.join(ROOT, "examples", "cpp"), "-B", str(build), "-G", "Ninja",
        f"-DCMAKE_PREFIX_PATH={prefix}")
    run(cmake, "--build", str(build))
    out = run(str(build / "measure_section"))
    assert "long axis" in out.stdout and "short axis" in out.stdout
