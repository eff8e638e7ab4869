"""C++ programs find the installed core with find_package(torvel) and run."""
import math
import os
import shutil
import struct
import subprocess

import numpy as np
import pytest

import samples
import torvel

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
# Made by scripts/test before pytest runs; another configured core build may be named instead.
CORE_BUILD = os.environ.get("TORVEL_CORE_BUILD", os.path.join(ROOT, "build", "cpp"))

pytestmark = pytest.mark.skipif(not os.path.exists(os.path.join(CORE_BUILD, "CMakeCache.txt")),
                                reason="the core's build (scripts/test makes it) is not there")


def run(*args):
    return subprocess.run(args, capture_output=True, text=True, check=True)


@pytest.fixture(scope="module")
def prefix(tmp_path_factory):
    cmake = shutil.which("cmake")
    out = tmp_path_factory.mktemp("prefix")
    run(cmake, "--build", CORE_BUILD)  # up to date after scripts/test; re-runs configure if stale
    run(cmake, "--install", CORE_BUILD, "--prefix", str(out))
    return out


def program(prefix, folder, name, build):
    cmake = shutil.which("cmake")
    run(cmake, "-S", os.path.join(ROOT, folder), "-B", str(build), "-G", "Ninja",
        f"-DCMAKE_PREFIX_PATH={prefix}")
    run(cmake, "--build", str(build))
    return str(build / name)


def test_example_program_builds_against_the_installed_package(prefix, tmp_path):
    out = run(program(prefix, "examples/cpp", "measure_section", tmp_path))
    assert "long axis" in out.stdout and "short axis" in out.stdout


def test_installed_package_measures_axes_as_the_module(prefix, tmp_path):
    cases = [(img, margin) for img in samples.axis_masks(np.random.default_rng(5), 480, 640)
             for margin in (0.0, 100.0, 300.5)] + samples.cosine_boundary_masks()
    with open(tmp_path / "masks", "wb") as f:
        f.write(struct.pack("i", len(cases)))
        for img, margin in cases:
            f.write(struct.pack("iid", *img.shape, float(margin)) + img.tobytes())
    angles = np.arange(540) / 2 * (np.pi / 180)
    numpy_table = np.column_stack([np.cos(angles), np.sin(angles)])
    measure = program(prefix, "tests/cpp/package", "measure_masks", tmp_path / "build")
    runs = [run(measure, str(tmp_path / "masks"))]  # the library's own table
    # Where NumPy's cosine and sine are not the C library's (AVX-512 builds), a caller passes
    # NumPy's table to get the module's end points.
    if not np.array_equal(numpy_table, [[math.cos(a), math.sin(a)] for a in angles]):
        numpy_table.tofile(tmp_path / "directions")
        runs = [run(measure, str(tmp_path / "masks"), str(tmp_path / "directions"))]
    t = torvel.torvel_class()
    for out in runs:
        lines = out.stdout.splitlines()
        assert len(lines) == len(cases)
        for (img, margin), line in zip(cases, lines):
            if line.startswith("error "):
                with pytest.raises(ValueError, match="^" + line[len("error "):] + "$"):
                    t.get_short_long_intersection(img, margin)
                continue
            got = t.get_short_long_intersection(img, margin)
            if line == "none":
                assert got is None
                continue
            words = line.split()
            pairs = [int(v) for v in words[:12]]
            assert [v for pair in got[:3] for pt in pair for v in pt] == pairs
            assert list(got[3:]) == [float.fromhex(v) for v in words[12:]]
