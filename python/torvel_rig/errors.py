"""Failures a person can act on, and writing outputs so that nothing is left half-written."""
import contextlib
import os
import tempfile


class RigError(Exception):
    """One line for a person: what is wrong, with which file or option, and what to do.
    The command line prints it as "torvel-rig: <message>" and exits with status 2."""


@contextlib.contextmanager
def atomic_output(path, mode="wb"):
    """Open a temporary file beside `path`; rename it onto `path` only when the block
    finishes without an exception, so a failed run never leaves a partial file."""
    path = os.fspath(path)
    folder = os.path.dirname(os.path.abspath(path))
    try:
        os.makedirs(folder, exist_ok=True)
        fd, tmp = tempfile.mkstemp(prefix="." + os.path.basename(path) + ".", dir=folder)
    except OSError as e:
        raise RigError(f"cannot write {path}: {e.strerror or e}") from None
    try:
        # mkstemp makes the file private; an output gets the mode a plain open would give.
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(tmp, 0o666 & ~umask)
        with os.fdopen(fd, mode) as f:
            yield f
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise
