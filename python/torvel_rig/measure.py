"""torvel-rig measure: the object's axes in millimetres on the laser plane, frame by frame.

Per frame (framemeasure.py): undistort_bilinear with the calibration file, the object mask
(Otsu, --threshold or --object-mask), get_short_long_intersection for the axes in pixels,
from_cnt2cnt for the contour on the laser plane, an ellipse fitted there for the axes in
mm, plot_ellipse for its outline. OUTDIR gets measurements.csv (one row per frame, in input
order), axes.png (the axes over the frames) and, with --overlays, overlays/*.png. Frames
run on a thread pool (--workers; the module and OpenCV release the interpreter lock) or on
a Dask cluster (--scheduler); the rows are the same either way."""
import math
import os
import sys
from typing import NamedTuple, Optional

import numpy as np

from . import calibfile, cluster, parallel, planefile
from .errors import RigError
from .output import atomic_output, figure, save_figure, timed_frames, write_csv
from .framemeasure import COLUMNS, Context, measure_frame

CSV_NAME = "measurements.csv"
PLOT_NAME = "axes.png"
OVERLAY_DIR = "overlays"


def add_arguments(parser):
    parser.add_argument("frames", nargs="+", metavar="FRAMES",
                        help="raw frames of the object lit by the laser sheet")
    parser.add_argument("--calib", required=True, metavar="CALIB.pkl",
                        help="the camera's calibration file (calibrate-camera)")
    parser.add_argument("--plane", required=True, metavar="PLANE.json",
                        help="the laser plane (calibrate-laser)")
    how = parser.add_mutually_exclusive_group()
    how.add_argument("--object-mask", nargs="+", metavar="IMAGES",
                     help="masks of the object (non-zero = object) on the raw frames, paired "
                          "with FRAMES in order (default: Otsu's threshold of each frame)")
    how.add_argument("--threshold", type=float, metavar="T",
                     help="grey level above which a corrected pixel is the object "
                          "(default: Otsu's threshold of each frame)")
    parser.add_argument("-o", "--output", required=True, metavar="OUTDIR",
                        help=f"folder for {CSV_NAME}, {PLOT_NAME} and the overlays")
    parser.add_argument("--overlays", action="store_true",
                        help=f"write a PNG per measured frame into OUTDIR/{OVERLAY_DIR}")
    cluster.add_worker_arguments(parser, "measure", "measured")
    parser.add_argument("--quiet", action="store_true", help="no progress bar")


def _check(args):
    if args.workers < 1:
        raise RigError(f"--workers {args.workers}: give 1 or more")
    if args.threshold is not None and not 0 <= args.threshold < 255:
        raise RigError(f"--threshold {args.threshold:g}: give a grey level from 0 to 254")
    if args.object_mask is not None:
        if len(args.object_mask) != len(args.frames):
            raise RigError(f"--object-mask gives {len(args.object_mask)} masks for "
                           f"{len(args.frames)} frames; give one mask per frame, in order")
        for m in args.object_mask:
            if not os.path.isfile(m):
                raise RigError(f"object mask {m} does not exist")
    if os.path.exists(args.output) and not os.path.isdir(args.output):
        raise RigError(f"-o {args.output} is a file; give a folder for the results")


def _plane_for_measuring(plane, path):
    """The plane values from_cnt2cnt takes. A p_cos_one_point without a value (fit_plane
    gives NaN when no point lies below the plane) is replaced by the fitted plane's point on
    the optical axis, which lies on the same plane up to fit_plane's small offset."""
    for k in ("normal_vec", "RRa", "RRa_inv"):
        if not np.all(np.isfinite(plane[k])):
            raise RigError(f"plane file {path} has no finite {k}; calibrate the laser again")
    plane = dict(plane)
    if not np.all(np.isfinite(plane["p_cos_one_point"])):
        plane["p_cos_one_point"] = np.array([0.0, 0.0, plane["plane"]["c"]])
    return plane


class Job(NamedTuple):
    """A frame to measure and its object mask (None: found in the frame)."""
    frame: str
    mask: Optional[str] = None


class FrameResult(NamedTuple):
    """What a worker gives back for a frame: its row (dict of COLUMNS), the overlay as PNG
    bytes (None without overlays or measurement), and whether the frame or its mask is of
    another size than the calibration's."""
    row: dict
    png: Optional[bytes]
    size_mismatch: bool


def task(frame, mask, ctx):
    """One frame on a worker: its FrameResult."""
    from . import overlay
    m = measure_frame(frame, mask, ctx)
    png = overlay.encode(m.drawing, m.row) if m.drawing is not None else None
    return FrameResult(m.row, png, m.size_mismatch)


def overlay_name(index, frame):
    stem = os.path.splitext(os.path.basename(frame))[0]
    return os.path.join(OVERLAY_DIR, f"{index:04d}_{stem}.png")


def run_frames(ctx, jobs, workers, scheduler, on_result):
    """Measure every Job (or (frame, mask) pair), calling on_result(index, FrameResult) as
    each finishes."""
    jobs = [Job(*j) for j in jobs]

    def named(i, result):
        # A worker reads by absolute path; the row keeps the frame's name as given.
        result.row["file"] = os.fspath(jobs[i].frame)
        on_result(i, result)
    parallel.run(task, ctx, jobs, workers, scheduler, named if scheduler else on_result,
                 "measure")


def write_rows(path, rows):
    """measurements.csv: the header and one line per row (dicts of COLUMNS)."""
    write_csv(path, COLUMNS, [[r[c] for c in COLUMNS] for r in rows])


def write_plot(path, rows):
    """The long and short axes (mm) over the frames; frames not measured are gaps."""
    def values(key):
        return [float(r[key]) if r[key] else math.nan for r in rows]

    fig = figure(figsize=(8, 4), dpi=100)
    ax = fig.add_subplot()
    idx = np.arange(1, len(rows) + 1)
    ax.plot(idx, values("long_mm"), "o-", color="tab:red", label="long axis")
    ax.plot(idx, values("short_mm"), "s-", color="tab:blue", label="short axis")
    ax.set_xlabel("frame")
    ax.set_ylabel("axis on the laser plane (mm)")
    ax.set_title(f"{sum(1 for r in rows if r['long_mm'])} of {len(rows)} frames measured")
    ax.grid(alpha=0.3)
    ax.legend()
    save_figure(fig, path)


def run(args):
    _check(args)
    calib = calibfile.read_calibration(args.calib)
    plane = _plane_for_measuring(planefile.read_plane(args.plane), args.plane)
    ctx = Context(calib, plane, args.threshold, args.overlays)
    masks = args.object_mask or [None] * len(args.frames)
    jobs = [Job(f, m) for f, m in zip(args.frames, masks)]
    rows = [None] * len(jobs)
    mismatched = [False] * len(jobs)

    def on_result(i, result):
        rows[i], mismatched[i] = result.row, result.size_mismatch
        if result.png is not None:
            name = overlay_name(i, result.row["file"])
            with atomic_output(os.path.join(args.output, name)) as f:
                f.write(result.png)

    seconds = timed_frames(run_frames, ctx, jobs, args.workers, args.scheduler, on_result,
                           args.quiet)
    measured = sum(1 for r in rows if r["status"] != "error")
    if not measured and all(mismatched):
        raise RigError(f"{rows[0]['error']}; {calibfile.SIZE_ADVICE}, or its own calibration "
                       "file")
    write_rows(os.path.join(args.output, CSV_NAME), rows)
    write_plot(os.path.join(args.output, PLOT_NAME), rows)
    rate = len(jobs) / seconds if seconds > 0 else math.inf
    print(f"torvel-rig measure: {measured} of {len(jobs)} frames measured in {seconds:.2f} s "
          f"({rate:.2f} frames/s); {os.path.join(args.output, CSV_NAME)}")
    for r in rows:
        if r["status"] == "error":
            where = "" if r["file"] in r["error"] else f"{r['file']}: "
            print(f"torvel-rig: {where}{r['error']}", file=sys.stderr)
    if not measured:
        print("torvel-rig: no frame was measured", file=sys.stderr)
        return 1
    return 0
