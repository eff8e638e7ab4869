"""What the commands write and show: files written whole or not at all, figures saved as
PNG, text written as CSV, a progress bar on a terminal and warnings on standard error."""
import contextlib
import csv
import io
import os
import sys
import tempfile
import time

from .errors import RigError


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


def make_folder(folder, what="report folder"):
    """Create `folder` (and its parents); a RigError naming it when that fails."""
    try:
        os.makedirs(folder, exist_ok=True)
    except OSError as e:
        raise RigError(f"cannot create {what} {folder}: {e.strerror or e}") from None


def write_csv(path, header, rows):
    """A CSV file of `header` and `rows` (sequences), written whole or not at all."""
    text = io.StringIO()
    w = csv.writer(text, lineterminator="\n")
    w.writerow(header)
    w.writerows(rows)
    with atomic_output(path, "w") as f:
        f.write(text.getvalue())


def figure(**kwargs):
    """A matplotlib Figure on the Agg canvas (no display, no global pyplot state)."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure
    fig = Figure(**kwargs)
    FigureCanvasAgg(fig)
    return fig


def save_figure(fig, path):
    """The figure as a PNG file at `path`, written whole or not at all."""
    buf = io.BytesIO()
    fig.savefig(buf, format="png")
    with atomic_output(path) as f:
        f.write(buf.getvalue())


def progress(items=None, desc="", quiet=False, total=None, unit="img"):
    """A tqdm progress bar on a terminal: over `items` (the items themselves when there is
    no bar), or with `items` None a bar of `total` steps to update (None when there is no
    bar). None is shown when quiet, redirected or without tqdm."""
    bar = None
    if not quiet and sys.stderr.isatty():
        try:
            from tqdm import tqdm
        except ImportError:
            tqdm = None
        if tqdm is not None:
            bar = tqdm(items, total=total, desc=desc, unit=unit, leave=False)
    if items is None:
        return bar
    return items if bar is None else bar


def timed_frames(run_frames, ctx, jobs, workers, scheduler, on_result, quiet):
    """run_frames(ctx, jobs, workers, scheduler, on_result) under a progress bar of the
    jobs (none when `quiet`); the seconds it took."""
    bar = progress(None, "frames", quiet, total=len(jobs), unit="frame")

    def counted(i, result):
        on_result(i, result)
        if bar is not None:
            bar.update(1)

    t0 = time.perf_counter()
    try:
        run_frames(ctx, jobs, workers, scheduler, counted)
    finally:
        if bar is not None:
            bar.close()
    return time.perf_counter() - t0


def warn(msg):
    print(f"torvel-rig: {msg}", file=sys.stderr)
