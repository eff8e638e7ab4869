"""torvel-rig scan: stripe frames of an object and its known motion to a point cloud (PLY).

Per frame: read and corrected with the calibration file (undistort_bilinear); the laser's
contrast and the stripe's sub-pixel points across it (stripe.py, over the whole frame and
with no straight-line rejection: an object's profile is curved); their lines of sight met
with the laser plane (get_line_of_sight_pts, intersect_line_plane); then the motion undone
(motion.py), so the cloud is in the camera frame of frame 0. Frames run on a thread pool
(--workers) or a Dask cluster (--scheduler); the cloud is the same bytes either way,
its points in frame order. A frame that fails is one line on standard error and the scan
goes on; only a scan without a single point is refused."""
import math
import os
import sys
from typing import NamedTuple, Optional

import cv2
import numpy as np

from . import calibfile, camera, cluster, motion, parallel, planefile, plyfile, stripe
from .errors import RigError
from .images import read_image
from .output import timed_frames, write_csv

# What a frame can fail with: a missing, unreadable or wrongly sized file (RigError,
# OSError) and what OpenCV and NumPy raise on an image they cannot work with. Anything else
# is a fault of this code and stays a traceback.
FRAME_ERRORS = (RigError, OSError, cv2.error, ValueError)
CLEAN_NEIGHBOURS = 8     # --clean: neighbours whose mean distance judges a point
CLEAN_SPREAD = 2.0       # ... dropped above the cloud's mean + this many standard deviations
PROFILE_COLUMNS = ("frame", "row", "column", "x", "y", "z", "quality")


def add_arguments(parser):
    parser.add_argument("frames", nargs="+", metavar="FRAMES",
                        help="raw frames of the object crossed by the laser stripe, in order")
    parser.add_argument("--calib", required=True, metavar="CALIB.pkl",
                        help="the camera's calibration file (calibrate-camera)")
    parser.add_argument("--plane", required=True, metavar="PLANE.json",
                        help="the laser plane (calibrate-laser)")
    how = parser.add_mutually_exclusive_group(required=True)
    how.add_argument("--turntable", metavar="TURNTABLE.json",
                     help="the object turns on this table (calibrate-turntable, or by hand: "
                          "\"point\" and \"direction\" in the camera frame); with --angles "
                          "or --step")
    how.add_argument("--linear", type=float, metavar="MM",
                     help="the object moves MM along --direction between frames")
    how.add_argument("--static", action="store_true",
                     help="no motion: every frame is a profile in the camera frame")
    turn = parser.add_mutually_exclusive_group()
    turn.add_argument("--angles", metavar="ANGLES.txt",
                      help="the table's angle of every frame (degrees from frame 0, right-hand "
                           "rule about the table's direction), one per line in frame order")
    turn.add_argument("--step", type=float, metavar="DEG",
                      help="the table turns DEG degrees between frames")
    parser.add_argument("--direction", metavar="X,Y,Z",
                        help="the direction of --linear motion in the camera frame")
    parser.add_argument("-o", "--output", required=True, metavar="CLOUD.ply",
                        help="the point cloud (binary PLY, mm, camera frame of frame 0)")
    parser.add_argument("--laser", choices=stripe.LASERS, default="red",
                        help="the laser's colour (default: red; gray for a monochrome camera)")
    parser.add_argument("--background", nargs="+", metavar="FRAMES",
                        help="laser-off frames of the same poses, paired with FRAMES in order; "
                             "they also give the points' colours")
    parser.add_argument("--profiles", metavar="PROFILES.csv",
                        help="also write the cloud's points as a table: frame, row and column "
                             "in the corrected frame, x y z, quality")
    parser.add_argument("--clean", action="store_true",
                        help=f"drop points far from their {CLEAN_NEIGHBOURS} nearest neighbours "
                             f"(mean distance above the cloud's mean + {CLEAN_SPREAD:g} "
                             "standard deviations)")
    cluster.add_worker_arguments(parser, "scan", "scanned")
    parser.add_argument("--quiet", action="store_true", help="no progress bar")


def _check(args):
    if args.workers < 1:
        raise RigError(f"--workers {args.workers}: give 1 or more")
    if args.turntable is not None and args.angles is None and args.step is None:
        raise RigError("--turntable needs the frames' angles: --angles ANGLES.txt or --step DEG")
    if args.turntable is None and (args.angles is not None or args.step is not None):
        raise RigError("--angles and --step are the angles of a --turntable; give one")
    if args.linear is not None and args.direction is None:
        raise RigError("--linear needs --direction X,Y,Z, the motion's direction in the camera "
                       "frame")
    if args.linear is None and args.direction is not None:
        raise RigError("--direction is the direction of a --linear motion; give --linear MM")
    for flag, value in (("--step", args.step), ("--linear", args.linear)):
        if value is not None and not math.isfinite(value):
            raise RigError(f"{flag} {value}: give a finite number")
    if args.background is not None and len(args.background) != len(args.frames):
        raise RigError(f"--background gives {len(args.background)} frames for "
                       f"{len(args.frames)} frames; give one laser-off frame per frame, in order")
    if os.path.isdir(args.output):
        raise RigError(f"-o {args.output} is a folder; give the PLY file to write")


def read_motion(args, frames):
    """The Motion the options give for `frames` frames."""
    if args.static:
        return motion.static()
    if args.linear is not None:
        return motion.linear(motion.parse_direction(args.direction), args.linear)
    table = motion.read_turntable(args.turntable)
    if args.angles is not None:
        angles = motion.read_angles(args.angles)
        if len(angles) != frames:
            raise RigError(f"angle file {args.angles} gives {len(angles)} angles for {frames} "
                           "frames; give one angle per frame, in order")
        return motion.turntable(table, args.turntable, angles, f"from {args.angles}")
    return motion.turntable(table, args.turntable, np.arange(frames) * args.step,
                            f"{args.step:g} degrees per frame")


def laser_plane(path):
    """A point on the laser plane of plane.json at `path` and its unit normal."""
    plane = planefile.read_plane(path)
    point = np.array([plane["Ox_lpts"], plane["Oy_lpts"], plane["Oz_lpts"]])
    normal = plane["unit_normal"]
    if not (np.all(np.isfinite(point)) and np.all(np.isfinite(normal))
            and np.linalg.norm(normal) > 0):
        raise RigError(f"plane file {path} has no finite plane point and normal; calibrate "
                       "the laser again")
    return point, normal / np.linalg.norm(normal)


class Context:
    """What every frame needs, sent once to each worker: the calibration, the laser plane
    (a point on it and its unit normal), the laser, and the stripe's direction when it is
    known for every frame (None: found per frame)."""

    def __init__(self, calib, plane_point, plane_normal, laser, angle=None):
        self.calib = calib
        self.plane_point = np.asarray(plane_point, dtype=np.float64)
        self.plane_normal = np.asarray(plane_normal, dtype=np.float64)
        self.laser = laser
        self.angle = angle


class Profile(NamedTuple):
    """A frame's stripe points in its own camera frame: sub-pixel `rows`, `cols` of the
    corrected frame, `points` N x 3 (mm), `rgb` N x 3 uint8 (the raw pixel of the laser-off
    frame, else of the frame, nearest the point's source), `quality` (peak above the local ground); or
    `error`, why the frame gave none."""
    rows: np.ndarray
    cols: np.ndarray
    points: np.ndarray
    rgb: np.ndarray
    quality: np.ndarray
    angle: Optional[float] = None
    error: Optional[str] = None


def _failed(message):
    empty = np.zeros(0)
    return Profile(empty, empty, np.zeros((0, 3)), np.zeros((0, 3), np.uint8), empty,
                   error=message)


def _read(path, what, ctx):
    """The raw frame at `path` (grey for a grey laser), of the calibrated size."""
    img = read_image(path, color=ctx.laser != "gray", what=what)
    ctx.calib.check_image(img, path, what)
    return img


def _contrast(frame, off, ctx):
    """The Contrast of `frame` (and its laser-off frame, or None) in the corrected frame,
    and the raw frame the points' colours are taken from (the laser-off frame when given).
    Without a laser-off frame only the planes the contrast is made of are corrected: a grey
    frame's one, or a colour frame's laser channel and the mean of the other two (the
    correction is most of a frame's time)."""
    raw = _read(frame, "frame", ctx)
    undistort = ctx.calib.undistort
    if off is None:
        if stripe.is_grey(raw):
            plane = undistort(raw if raw.ndim == 2 else raw[..., 0])
            return stripe.contrast(plane, ctx.laser, reflectance=False), raw
        own, rest = stripe.laser_and_rest(raw, ctx.laser)
        return stripe.contrast_of_laser(undistort(own), undistort(rest)), raw
    dark = _read(off, "laser-off frame", ctx)
    return stripe.contrast(undistort(raw), ctx.laser, undistort(dark), reflectance=False), dark


def _colours(raw, calib, xs, ys):
    """N x 3 RGB of the raw pixels nearest the sources of the corrected points (xs, ys);
    black where a point has no source."""
    h, w = raw.shape[:2]
    r = np.clip(np.rint(ys).astype(np.intp), 0, h - 1)
    c = np.clip(np.rint(xs).astype(np.intp), 0, w - 1)
    idx = calib.nearest_source(r, c)
    pixels = raw.reshape(h * w, -1)[np.maximum(idx, 0)]
    rgb = np.repeat(pixels, 3, axis=1) if pixels.shape[1] == 1 else pixels[:, ::-1]
    return np.ascontiguousarray(np.where((idx >= 0)[:, None], rgb, 0), dtype=np.uint8)


def scan_frame(frame, off, ctx):
    """The Profile of one frame (and its laser-off frame `off`, or None)."""
    frame = os.fspath(frame)
    try:
        con, raw = _contrast(frame, None if off is None else os.fspath(off), ctx)
        found = stripe.find_stripe(con, angle=ctx.angle)
        if found.size == 0:
            raise RigError(f"frame {frame}: no stripe points")
        pts = camera.points_on_plane(ctx.calib.camera, found.xs, found.ys, ctx.plane_point,
                                     ctx.plane_normal)
    except FRAME_ERRORS as e:  # a bad frame is reported; the scan goes on
        msg = str(e).splitlines()[0] if str(e) else type(e).__name__
        return _failed(msg if frame in msg else f"frame {frame}: {msg}")
    # A line of sight meets the plane behind the camera (or nowhere) only above the plane's
    # horizon in the image, where nothing lit by the sheet can be.
    front = np.all(np.isfinite(pts), axis=1) & (pts[:, 2] > 0)
    if not np.any(front):
        return _failed(f"frame {frame}: the stripe's lines of sight meet the laser plane only "
                       "behind the camera; is the plane file this rig's?")
    xs, ys = found.xs[front], found.ys[front]
    return Profile(ys, xs, pts[front], _colours(raw, ctx.calib, xs, ys), found.peak[front],
                   found.angle)


def task(frame, off, ctx):
    """One frame on a worker (a thread or a cluster's)."""
    return scan_frame(frame, off, ctx)


def run_frames(ctx, jobs, workers, scheduler, on_result):
    """Scan every (frame, laser-off frame or None) of `jobs`, calling on_result(index,
    Profile) as each finishes. The stripe's direction is searched for in the frames in
    order until one has a stripe, and that direction taken for every later frame: the
    search costs more than the rest of the stripe finder, and the sheet, the camera and
    so the stripe's course stay put while the object moves. Frames are searched in the
    same order whatever the workers, so the points are the same."""
    probed = 0
    while ctx.angle is None and probed < len(jobs):
        result = []
        _run_frames(ctx, jobs[probed:probed + 1], 1, scheduler,
                    lambda i, p: result.append(p))
        on_result(probed, result[0])
        probed += 1
        if result[0].error is None:
            ctx = Context(ctx.calib, ctx.plane_point, ctx.plane_normal, ctx.laser,
                          result[0].angle)
    _run_frames(ctx, jobs[probed:], workers, scheduler,
                lambda i, p: on_result(probed + i, p))


def _run_frames(ctx, jobs, workers, scheduler, on_result):
    parallel.run(task, ctx, jobs, workers, scheduler, on_result, "scan")


def inliers(xyz, k=CLEAN_NEIGHBOURS, spread=CLEAN_SPREAD):
    """Statistical outlier removal: True for the points whose mean distance to their `k`
    nearest neighbours is at most the cloud's mean of it plus `spread` standard deviations.
    A cloud of k points or fewer is kept whole (no point has k neighbours)."""
    from scipy.spatial import cKDTree
    xyz = np.asarray(xyz, dtype=np.float64)
    if len(xyz) <= k:
        return np.ones(len(xyz), bool)
    d = cKDTree(xyz).query(xyz, k=k + 1)[0][:, 1:]      # the first is the point itself
    mean = d.mean(axis=1)
    return mean <= mean.mean() + spread * mean.std()


def assemble(profiles, how):
    """The cloud (plyfile.VERTEX records) and its (rows, cols) of every frame's Profile in
    frame order, with the Motion `how` undone."""
    parts = [p for p in profiles if p.error is None]
    count = sum(len(p.quality) for p in parts)
    cloud = np.zeros(count, plyfile.VERTEX)
    pixels = np.zeros((count, 2))
    at = 0
    for i, p in enumerate(profiles):
        if p.error is not None:
            continue
        n = len(p.quality)
        s = slice(at, at + n)
        xyz = how.undo(i, p.points)
        for axis, name in enumerate("xyz"):
            cloud[name][s] = xyz[:, axis]
        for channel, name in enumerate(("red", "green", "blue")):
            cloud[name][s] = p.rgb[:, channel]
        cloud["frame"][s] = i
        cloud["quality"][s] = p.quality
        pixels[s, 0], pixels[s, 1] = p.rows, p.cols
        at += n
    return cloud, pixels


def write_profiles(path, cloud, pixels):
    rows = [(int(v["frame"]), f"{r:.3f}", f"{c:.3f}", f"{float(v['x']):.4f}",
             f"{float(v['y']):.4f}", f"{float(v['z']):.4f}", f"{float(v['quality']):.2f}")
            for v, (r, c) in zip(cloud, pixels)]
    write_csv(path, PROFILE_COLUMNS, rows)


def run(args):
    _check(args)
    how = read_motion(args, len(args.frames))
    calib = calibfile.read_calibration(args.calib)
    ctx = Context(calib, *laser_plane(args.plane), args.laser)
    jobs = list(zip(args.frames, args.background or [None] * len(args.frames)))
    profiles = [None] * len(jobs)
    seconds = timed_frames(run_frames, ctx, jobs, args.workers, args.scheduler,
                           profiles.__setitem__, args.quiet)
    failed = [p.error for p in profiles if p.error is not None]
    for reason in failed:
        print(f"torvel-rig: {reason}", file=sys.stderr)
    cloud, pixels = assemble(profiles, how)
    if not len(cloud):
        raise RigError(f"no stripe point in any of the {len(jobs)} frames "
                       f"(first: {failed[0]})" if failed else "no stripe point in any frame")
    measured = len(cloud)
    if args.clean:
        keep = inliers(np.stack([cloud["x"], cloud["y"], cloud["z"]], axis=1))
        cloud, pixels = cloud[keep], pixels[keep]
    comments = ["torvel-rig scan: millimetres in the camera frame of frame 0",
                f"motion: {how.text}", f"calibration: {args.calib}", f"plane: {args.plane}",
                f"frames: {len(jobs)}, {len(failed)} without points"
                + (f"; cleaned: {measured - len(cloud)} of {measured} points dropped"
                   if args.clean else "")]
    plyfile.write_ply(args.output, cloud, comments)
    if args.profiles:
        write_profiles(args.profiles, cloud, pixels)
    rate = measured / seconds if seconds > 0 else math.inf
    print(f"torvel-rig scan: {len(cloud)} points from {len(jobs) - len(failed)} of {len(jobs)} "
          f"frames in {seconds:.2f} s ({rate:.0f} points/s, "
          f"{len(jobs) / seconds if seconds > 0 else math.inf:.1f} frames/s); {args.output}")
    return 0
