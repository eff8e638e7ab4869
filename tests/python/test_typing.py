"""The installed type stub agrees with the built module, and mypy reads it."""
import os
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("mypy")
STUB = os.path.join(os.path.dirname(__file__), "..", "..", "stubs")


def run_mypy(*args, cwd):
    env = dict(os.environ, MYPYPATH=os.path.abspath(STUB))
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True,
                          cwd=cwd, env=env)


def test_stub_matches_the_module(tmp_path):
    out = run_mypy("mypy.stubtest", "torvel", "--mypy-config-file", os.devnull, cwd=tmp_path)
    assert out.returncode == 0, out.stdout + out.stderr


def test_mypy_checks_calls_against_the_stub(tmp_path):
    script = tmp_path / "use.py"
    script.write_text(textwrap.dedent("""
        from torvel import torvel_class
        t = torvel_class()
        d: float = t.distance_2pts((0, 0), (3, 4))
        t.intersect_line_plane(1, 2, 3, 4, epsilon=1e-6)
    """))
    out = run_mypy("mypy", "--no-incremental", str(script), cwd=tmp_path)
    assert 'Unexpected keyword argument "epsilon"' in out.stdout, out.stdout + out.stderr
    assert "Found 1 error" in out.stdout
