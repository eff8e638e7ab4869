"""torvel-rig calibrate-laser: the laser plane from frames of the calibration pattern crossed
by the laser stripe, one board pose per frame.

Per frame: correct it with the calibration file (undistort_bilinear), find the pattern and
the board's pose (solvePnP on the corrected image, whose camera is the ideal pinhole K), so
the board's plane in the camera frame; the stripe's sub-pixel centre line (stripe.py) on the
printed sheet, kept where it lies on one straight line and where its window lies on one
reflectance of the print; the lines of sight of those points (get_line_of_sight_pts) met
with the board's plane (intersect_line_plane) give 3-D laser points. The points of all
frames go to fit_plane. Every frame is then held out once: its points against the plane
fitted without it. A frame far off the others' plane is dropped and the plane fitted again.
plane.json gets fit_plane's ten values, the plane z = a*x + b*y + c and the held-out errors
(planefile.py); --report draws and tabulates every frame, also when the calibration is
refused."""
import dataclasses
import enum
import math
import os
import typing

import cv2
import numpy as np
from torvel import torvel_class

from . import board, calibfile, camera, images, laserreport, pattern, planefile, stripe
from .errors import RigError
from .output import progress, warn

_TV = torvel_class()
MIN_SPREAD = 0.05        # the points' spread across their main line, relative to along it
MAX_SCATTER = 0.01       # RMS distance to the plane, relative to the spread along the line
FAINT = 0.3              # of the stripe's median peak: fainter points are not used
MIN_LINE_SHARE = 0.5     # of a frame's stripe light (peak heights) on its fitted line
HELD_OUT_FACTOR = 3.0    # a held-out error this many times the median ...
HELD_OUT_SQUARE = 0.002  # ... and above this share of the square size drops the frame
SHEET_GROWTH = 10.0      # spacings beyond the pattern that the printed sheet may reach


class Gate(enum.Enum):
    """Why a frame gives no laser points."""
    PATTERN_NOT_FOUND = "pattern not found"
    POSE_UNRELIABLE = "board pose unreliable"
    TOO_FEW_POINTS = "too few stripe points"
    NOT_ONE_LINE = "stripe not one line"
    HELD_OUT = "far from the other frames' plane"


class Drop(enum.IntEnum):
    """Why a stripe point of a frame is not used (0: it is)."""
    KEPT = 0
    OFF_LINE = 1         # away from the frame's stripe line: a reflection, a background
    OFF_SHEET = 2        # its window is not wholly on the printed sheet
    ON_EDGE = 3          # its window straddles an edge of the print
    FAINT = 4            # far fainter than its stripe (on dark print): a noisy centre


@dataclasses.dataclass
class Frame:
    """What one frame gave. `gate` is None for a frame whose points are used."""
    path: str
    gate: typing.Optional[Gate] = None
    detail: str = ""
    image: typing.Optional[np.ndarray] = None        # the corrected frame, BGR
    detector: typing.Optional[str] = None
    pnp_error: float = float("nan")
    outline: typing.Optional[np.ndarray] = None      # the pattern's outline, pixels
    sheet: typing.Optional[np.ndarray] = None        # the printed sheet, 0/255
    found: typing.Optional[stripe.Stripe] = None     # every stripe point
    drop: np.ndarray = dataclasses.field(default_factory=lambda: np.zeros(0, np.int8))
    line: typing.Optional[stripe.Line] = None
    points: np.ndarray = dataclasses.field(default_factory=lambda: np.zeros((0, 3)))
    residual_rms: float = float("nan")
    held_out: float = float("nan")

    @property
    def usable(self):
        return self.gate is None

    @property
    def kept(self):
        return self.found.take(self.drop == Drop.KEPT) if self.found is not None else None

    def refuse(self, gate, detail):
        self.gate, self.detail = gate, detail
        return self


class Result(typing.NamedTuple):
    frames: list
    usable: list
    values: tuple
    points: np.ndarray
    rms: float
    validation: dict


def add_arguments(parser):
    parser.add_argument("frames", nargs="+", metavar="FRAMES",
                        help="frames of the pattern crossed by the laser stripe, one board "
                             "pose each")
    parser.add_argument("--calib", required=True, metavar="CALIB.pkl",
                        help="the calibration file of the camera (calibrate-camera)")
    pattern.add_pattern_arguments(parser)
    parser.add_argument("--laser", choices=stripe.LASERS, default="red",
                        help="the laser's colour: red or green take that channel's excess "
                             "over the other two of colour frames, gray the grey image "
                             "(default: red; grey frames always use the grey image)")
    parser.add_argument("--background", nargs="+", metavar="FRAMES",
                        help="laser-off frames of the same poses, paired with FRAMES in order; "
                             "the stripe is then found in laser-on minus laser-off")
    parser.add_argument("-o", "--output", required=True, metavar="PLANE.json",
                        help="the plane file to write")
    parser.add_argument("--report", metavar="DIR",
                        help="write every frame with its stripe points, a table of the "
                             "frames (frames.csv), a 3-D view of the points with the plane "
                             "and the residuals per frame into DIR, also when refused")
    parser.add_argument("--threshold", type=float, metavar="T",
                        help="least height of the stripe's peak above its surroundings in "
                             "the laser's contrast (default: from the frame's noise and its "
                             "strongest peaks)")
    parser.add_argument("--window", type=int, metavar="PX",
                        help="half width of the centre-of-gravity window across the stripe "
                             "(default: fitted to the stripe's width per frame)")
    parser.add_argument("--min-points", type=int, default=20, metavar="N",
                        help="stripe points a frame needs on the board to count (default: 20)")
    parser.add_argument("--shift-ratio", type=float, default=1.0, metavar="R",
                        help="fit_plane's shift_ratio, the factor of p_cos_one_point's offset "
                             "along the plane's normal (the plane is fitted in a frame whose z "
                             "is about that normal) (default: 1.0)")
    parser.add_argument("--quiet", action="store_true", help="no progress bar")


def _check_arguments(args):
    pattern.check_pattern_arguments(args)
    if args.background is not None and len(args.background) != len(args.frames):
        raise RigError(f"--background has {len(args.background)} frames for "
                       f"{len(args.frames)} FRAMES; give one laser-off frame per frame, in "
                       "the same order")
    if args.window is not None and args.window < 1:
        raise RigError(f"--window {args.window}: give a half width of at least 1 pixel")
    if args.min_points < 3:
        raise RigError(f"--min-points {args.min_points}: give at least 3")
    if args.threshold is not None and not (0 <= args.threshold < 255):
        raise RigError(f"--threshold {args.threshold}: give a level from 0 to 254")


def _read(calib, path, what):
    """The raw frame at `path` (BGR, or grey when its three channels are equal)."""
    img = images.read_image(path, color=True, what=what)
    calib.check_image(img, path, what)
    if stripe.is_grey(img):        # one channel to correct, not three equal ones
        return np.ascontiguousarray(img[..., 0])
    return img


def process_frame(calib, path, off_path, args, obj):
    """The Frame of one laser frame (and its laser-off frame): its gate, or its 3-D points."""
    f = Frame(path)
    raw_on = _read(calib, path, "frame")
    raw_off = _read(calib, off_path, "laser-off frame") if off_path else None
    on = calib.undistort(raw_on)
    off = calib.undistort(raw_off) if raw_off is not None else None
    f.image = on if on.ndim == 3 else cv2.cvtColor(on, cv2.COLOR_GRAY2BGR)
    # The board without the stripe: the laser-off frame, or the channels the laser leaves
    # alone (a saturated stripe would pull the corners it crosses).
    gray = stripe.scene_grey(off if off is not None else on, args.laser)
    raw = stripe.scene_grey(raw_off if raw_off is not None else raw_on, args.laser)
    seen = board.locate(calib, gray, raw, args, obj)
    f.detector, f.pnp_error = seen.detector, seen.pnp_error
    if seen.miss is not None:
        return f.refuse(Gate[seen.miss.name], seen.detail)
    found = seen.found
    r, t = seen.rotation, seen.translation
    normal = r[:, 2].copy()
    f.outline = _outline_pixels(calib, args, r, t, None)
    board_mask = _polygon_mask(calib, f.outline)
    bound = _polygon_mask(calib, _outline_pixels(calib, args, r, t, SHEET_GROWTH))

    con = stripe.contrast(on, args.laser, off)
    scene = con.reflectance if con.reflectance is not None else gray
    f.sheet = pattern.printed_sheet(scene, board_mask, bound, stripe.lit(con, bound))
    st = stripe.find_stripe(con, f.sheet, min_peak=args.threshold, half_window=args.window)
    f.found = st
    f.drop = np.zeros(st.size, np.int8)
    if st.size < args.min_points:
        return f.refuse(Gate.TOO_FEW_POINTS, f"{st.size} stripe points on the board, fewer "
                        f"than --min-points {args.min_points}")
    f.line, on_line = stripe.fit_line(st.xs, st.ys, stripe.line_tolerance(st), st.peak)
    f.drop[~on_line] = Drop.OFF_LINE
    share = float(st.peak[on_line].sum() / st.peak.sum())
    if share < MIN_LINE_SHARE:
        return f.refuse(Gate.NOT_ONE_LINE, f"{int(on_line.sum())} of {st.size} stripe points, "
                        f"{100 * share:.0f} % of the stripe's light, on one line")
    # Faint points (the stripe on dark print) centre worse than the rest of their stripe.
    faint = st.peak < FAINT * np.median(st.peak[on_line])
    f.drop[(f.drop == Drop.KEPT) & faint] = Drop.FAINT
    # The whole window on the sheet, and on one reflectance of its print.
    hw = st.half_window
    inner = cv2.erode(f.sheet, np.ones((2 * hw + 3, 2 * hw + 3), np.uint8))
    px = np.round(st.xs).astype(np.int64).clip(0, calib.width - 1)
    py = np.round(st.ys).astype(np.int64).clip(0, calib.height - 1)
    f.drop[(f.drop == Drop.KEPT) & (inner[py, px] == 0)] = Drop.OFF_SHEET
    reach = hw + 2.0                       # the window and a pixel or two of blur
    across = np.radians(st.angle + 90.0)
    dx, dy = reach * np.cos(across), reach * np.sin(across)
    a, b = ((camera.points_on_plane(calib.camera, st.xs + s * dx, st.ys + s * dy, t, normal)
             - t) @ r for s in (-1.0, 1.0))
    radius = None
    if args.pattern != "chessboard":
        radius = 1.1 * pattern.circle_radius(gray, args.pattern, args.cols, args.rows,
                                              args.square, found.points)
    uniform = pattern.uniform_segments(args.pattern, args.cols, args.rows, args.square,
                                       a[:, :2], b[:, :2], radius)
    f.drop[(f.drop == Drop.KEPT) & ~uniform] = Drop.ON_EDGE
    kept = f.kept
    if kept.size < args.min_points:
        return f.refuse(Gate.TOO_FEW_POINTS, f"{kept.size} stripe points on the board, fewer "
                        f"than --min-points {args.min_points}")
    f.points = camera.points_on_plane(calib.camera, kept.xs, kept.ys, t, normal)
    return f


def _outline_pixels(calib, args, r, t, margin):
    """The pattern's outline (grown by `margin` spacings; None: the print) in the corrected
    frame, integer pixels."""
    board = pattern.outline(args.pattern, args.cols, args.rows, args.square, margin)
    xs, ys = camera.project_float(calib.camera, board @ r.T + t)
    return np.round(np.stack([xs, ys], axis=1)).astype(np.int32)


def _polygon_mask(calib, polygon):
    mask = np.zeros(calib.shape, np.uint8)
    cv2.fillPoly(mask, [polygon.reshape(-1, 1, 2)], 255)
    return mask


def likely_cause(frames):
    """What most frames with the pattern lacked, as advice for a refusal ("" when nothing
    stands out)."""
    seen = [f for f in frames if f.gate is not Gate.PATTERN_NOT_FOUND]
    gates = [f.gate for f in seen if f.gate is not None]
    if not gates:
        return ""
    gate = max(Gate, key=gates.count)
    n = gates.count(gate)
    advice = {
        Gate.POSE_UNRELIABLE: "the board's pose is unreliable: is the calibration file this "
                              "camera's, and is the board flat?",
        Gate.TOO_FEW_POINTS: "there are too few stripe points on the board: check --laser (the "
                             "stripe's colour) and --threshold, or give --background frames",
        Gate.NOT_ONE_LINE: "the stripe points do not form one line: reflections? give "
                           "--background frames",
        Gate.HELD_OUT: "the stripe points lie far from the other frames' plane: reflections "
                       "or a moving laser?",
    }[gate]
    return f"in {n} of {len(seen)} frames with the pattern {advice}"


def _refuse_unusable(frames, args):
    usable = [f for f in frames if f.usable]
    if len(usable) >= 2:
        return usable
    n = len(frames)
    if all(f.gate is Gate.PATTERN_NOT_FOUND for f in frames):
        raise RigError(f"the {args.pattern} pattern of {args.cols} x {args.rows} was not found "
                       f"in any of the {n} frames; check --pattern, --cols and --rows")
    seen = [f for f in frames if f.gate is not Gate.PATTERN_NOT_FOUND]
    if not usable and all(f.gate is Gate.TOO_FEW_POINTS for f in seen):
        most = max(f.kept.size if f.found is not None else 0 for f in seen)
        raise RigError(f"too few laser stripe points on the board in every frame (at most "
                       f"{most}, need --min-points {args.min_points}); check --laser (the "
                       "stripe's colour) and --threshold, or give --background frames")
    why = likely_cause(frames)
    raise RigError(f"only {len(usable)} of {n} frames usable ({why or 'see --report'}); a "
                   "laser plane needs frames of at least two board poses: add frames with the "
                   "board moved or tilted")


def check_spread(points):
    """Refuse points that lie along one line: board poses nearly coplanar."""
    c = points - points.mean(axis=0)
    s = np.linalg.svd(c, compute_uv=False) / np.sqrt(len(c))
    if s[1] < MIN_SPREAD * s[0]:
        raise RigError(f"the stripe points of all frames lie along one line (spread "
                       f"{s[1]:.2f} mm across it, {s[0]:.1f} mm along it): the board poses "
                       "are nearly coplanar; move the board in depth or tilt it between "
                       "frames")
    return s


def robust_plane(points, trials=200, rounds=3, seed=0):
    """(point, unit normal with z >= 0, robust scatter sigma) of the points' plane: the plane
    through three of them (`trials` seeded triples) with the least median distance, then the
    least-squares plane of the points within three robust sigmas of it, `rounds` times. A
    frame of a moved laser or a reflection's points tilt neither the frame fit_plane works
    in nor its unit."""
    rng = np.random.default_rng(seed)
    tri = points[rng.integers(0, len(points), (trials, 3))]
    normals = np.cross(tri[:, 1] - tri[:, 0], tri[:, 2] - tri[:, 0])
    length = np.linalg.norm(normals, axis=1)
    good = length > 0
    c, n = points.mean(axis=0), np.linalg.svd(points - points.mean(axis=0),
                                              full_matrices=False)[2][2]
    if np.any(good):
        normals = normals[good] / length[good, None]
        sample = points[::max(1, len(points) // 2000)]     # a median needs no more
        spread = np.median(np.abs((sample[None, :, :] - tri[good, None, 0]) @ normals[..., None])
                           [..., 0], axis=1)
        best = int(np.argmin(spread))
        c, n = tri[good][best, 0], normals[best]
    sigma = 0.0
    for _ in range(rounds):
        r = (points - c) @ n
        sigma = 1.4826 * float(np.median(np.abs(r - np.median(r))))
        keep = np.abs(r - np.median(r)) <= max(3.0 * sigma, 1e-9)
        if keep.sum() < 3:
            break
        c = points[keep].mean(axis=0)
        n = np.linalg.svd(points[keep] - c, full_matrices=False)[2][2]
    r = (points - c) @ n
    sigma = 1.4826 * float(np.median(np.abs(r - np.median(r))))
    return c, (-n if n[2] < 0 else n), sigma


def fitting_frame(normal):
    """The rotation that turns `normal` (z >= 0) onto z. fit_plane regresses z on x and y,
    so a laser sheet nearly edge-on to the camera's axis (a laser mounted beside the lens)
    cannot be fitted in the camera frame; in this frame every sheet is about z = const."""
    axis = np.cross(normal, [0.0, 0.0, 1.0])
    length = np.linalg.norm(axis)
    if length < 1e-12:
        return np.eye(3)
    angle = math.atan2(length, normal[2])
    return cv2.Rodrigues((axis / length * angle).reshape(3, 1))[0]


def fit_unit(sigma):
    """The length unit (in mm) in which fit_plane sees the points. Its consensus test
    accepts a point within 0.01 units (along z, in the fitting frame across the plane) of a
    candidate plane; in mm that is far below the stripe's scatter, and a plane through one
    frame's stripe line can then win over the laser plane. The unit makes 0.01 units three
    times the points' robust scatter `sigma` about the plane (0.1 mm .. 1 m)."""
    return float(np.clip(300.0 * sigma, 0.1, 1000.0))


LENGTHS = ("Ox_lpts", "Oy_lpts", "Oz_lpts", "p_cos_one_point", "mean_dist", "shift")
DIRECTIONS = ("normal_vec", "p_cos_one_point")


def fit(points, shift_ratio):
    """fit_plane's ten values for the points (mm, camera frame): fitted in the fitting
    frame and in fit_unit, and given back in mm in the camera frame. The plane frame stays
    what RRa means (normal_vec onto z), Phi the angle between normal_vec and the camera's
    z axis."""
    _, normal, sigma = robust_plane(points)
    q = fitting_frame(normal)
    unit = fit_unit(sigma)
    try:
        values = _TV.fit_plane(np.ascontiguousarray(points @ q.T, dtype=np.float64) / unit,
                               float(shift_ratio))
    except ValueError as e:  # the regressor finding no consensus
        raise RigError(f"fit_plane found no laser plane in the {len(points)} points "
                       f"({str(e).splitlines()[0] if str(e) else type(e).__name__}); check "
                       "the frames' stripes in --report") from None
    v = dict(zip(planefile.FIT_KEYS, values))
    for name in LENGTHS:
        v[name] = v[name] * unit
    o = q.T @ np.array([v["Ox_lpts"], v["Oy_lpts"], v["Oz_lpts"]], dtype=np.float64)
    v["Ox_lpts"], v["Oy_lpts"], v["Oz_lpts"] = (float(x) for x in o)
    for name in DIRECTIONS:
        v[name] = q.T @ np.asarray(v[name], dtype=np.float64)
    v["RRa"] = np.asarray(v["RRa"], dtype=np.float64) @ q
    v["RRa_inv"] = q.T @ np.asarray(v["RRa_inv"], dtype=np.float64)
    n = v["normal_vec"]
    if not np.all(np.isfinite(n)):
        raise RigError("fit_plane gave no finite plane normal; check the frames' stripes "
                       "in --report")
    v["Phi"] = float(np.arccos(np.clip(n[2], -1.0, 1.0)))
    return tuple(v[k] for k in planefile.FIT_KEYS)


def residuals(points, values):
    n = np.asarray(values[1], dtype=np.float64)
    o = np.array([values[4], values[5], values[6]], dtype=np.float64)
    return (points - o) @ n


def rms(values):
    values = np.asarray(values, dtype=np.float64)
    return float(np.sqrt(np.mean(values * values))) if values.size else float("nan")


def held_out(usable, shift_ratio):
    """Each frame's RMS distance (mm) to the plane fitted to the other frames' points; NaN
    where the others alone fix no plane (fewer than two of them, or along one line)."""
    errors = []
    for i, f in enumerate(usable):
        others = [g.points for j, g in enumerate(usable) if j != i]
        if len(others) < 2:
            errors.append(float("nan"))
            continue
        pts = np.concatenate(others)
        s = np.linalg.svd(pts - pts.mean(axis=0), compute_uv=False)
        if s[1] < MIN_SPREAD * s[0]:
            errors.append(float("nan"))
            continue
        errors.append(rms(residuals(f.points, fit(pts, shift_ratio))))
    return errors


def fit_validated(usable, args):
    """The plane of the usable frames, each held out once; frames far off the others'
    plane are dropped (their gate HELD_OUT) and the plane fitted again. Returns (the frames
    kept, fit_plane's values, the validation record)."""
    errors = held_out(usable, args.shift_ratio)
    finite = [e for e in errors if np.isfinite(e)]
    if finite:
        median = float(np.median(finite))
        limit = max(HELD_OUT_FACTOR * median, HELD_OUT_SQUARE * args.square)
        far = [f for f, e in zip(usable, errors) if np.isfinite(e) and e > limit]
        if far and len(usable) - len(far) >= 2:
            for f, e in zip(usable, errors):
                if f in far:
                    f.held_out = e
                    f.refuse(Gate.HELD_OUT, f"{e:.3f} mm from the other frames' plane, over "
                             f"{HELD_OUT_FACTOR:g} times the median {median:.3f} mm")
            usable = [f for f in usable if f.usable]
            errors = held_out(usable, args.shift_ratio)
    for f, e in zip(usable, errors):
        f.held_out = e
    values = fit(np.concatenate([f.points for f in usable]), args.shift_ratio)
    finite = [e for e in errors if np.isfinite(e)]
    validation = {"held_out_rms_mm": {f.path: e for f, e in zip(usable, errors)},
                  "median_mm": float(np.median(finite)) if finite else float("nan")}
    return usable, values, validation


def calibrate(args, frames):
    """Process every frame into `frames` (a list the caller keeps, for the report) and fit
    the plane: a Result."""
    _check_arguments(args)
    calib = calibfile.read_calibration(args.calib)
    obj = pattern.object_points(args.pattern, args.cols, args.rows, args.square)
    offs = args.background or [None] * len(args.frames)
    said_grey = False
    for p, o in progress(list(zip(args.frames, offs)), "frames", args.quiet):
        f = process_frame(calib, p, o, args, obj)
        frames.append(f)
        if args.laser != "gray" and not said_grey and f.image is not None and \
                stripe.is_grey(f.image):
            warn(f"frame {p} is grey (three equal channels): the stripe is found in the grey "
                 f"image, not in the {args.laser} channel")
            said_grey = True
    usable = _refuse_unusable(frames, args)
    for f in frames:
        if not f.usable:
            warn(f"frame {f.path} not used: {f.gate.value} ({f.detail})")
    check_spread(np.concatenate([f.points for f in usable]))
    usable, values, validation = fit_validated(usable, args)
    for f in frames:
        if f.gate is Gate.HELD_OUT:
            warn(f"frame {f.path} dropped: {f.detail}")
    points = np.concatenate([f.points for f in usable])
    spread = check_spread(points)
    for f in usable:
        f.residual_rms = rms(residuals(f.points, values))
    scatter = rms(residuals(points, values))
    if scatter > MAX_SCATTER * spread[0]:
        cause = likely_cause(frames)
        raise RigError(f"the {len(points)} laser points scatter {scatter:.2f} mm RMS about the "
                       f"fitted plane ({100 * scatter / spread[0]:.1f} % of their extent): the "
                       "stripe was not found cleanly" + (f"; {cause}" if cause else "") +
                       " (--report shows the stripe points)")
    return Result(frames, usable, values, points, scatter, validation)


def run(args):
    frames = []
    try:
        res = calibrate(args, frames)
    except RigError:
        if args.report and frames:
            laserreport.write(args.report, frames, None)
        raise
    if args.report:
        laserreport.write(args.report, frames, res.values)
    rec = planefile.write_plane(args.output, res.values,
                                [(f.path, len(f.points)) for f in res.usable], res.rms,
                                args.calib, res.validation)
    n, p = rec["unit_normal"], rec["plane"]
    with_pattern = sum(1 for f in frames if f.gate is not Gate.PATTERN_NOT_FOUND)
    print(f"laser plane from {len(res.usable)} of {len(frames)} frames ({with_pattern} with the "
          f"pattern), {len(res.points)} points: z = {p['a']:.6f} x + {p['b']:.6f} y + "
          f"{p['c']:.4f} mm, unit normal ({n[0]:.6f}, {n[1]:.6f}, {n[2]:.6f}), RMS "
          f"{res.rms:.4f} mm")
    errors = [(e, f) for f, e in res.validation["held_out_rms_mm"].items() if np.isfinite(e)]
    if errors:
        worst, frame = max(errors)
        print(f"  held-out error: median {res.validation['median_mm']:.4f} mm, worst "
              f"{worst:.4f} mm ({os.path.basename(frame)})")
    print(f"  written to {args.output}" + (f", report in {args.report}" if args.report else ""))
    return 0
