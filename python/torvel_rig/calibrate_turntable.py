"""torvel-rig calibrate-turntable: a turntable's axis from frames of the calibration pattern
lying or standing on the table, one table position per frame.

Per frame: correct it with the calibration file (undistort_bilinear), find the pattern and
the board's pose as calibrate-laser does (a pose reprojecting more than a pixel from the
pattern found is not trusted). The poses then give the axis (turntable.py): its direction
from the relative rotations of every pair of positions, each frame's angle from the first
about it, and its point from the circles on which the pattern points move, given as the
axis line's point nearest the first used frame's pattern centre. turntable.json gets the
axis, the angles and the residuals; --report draws and tabulates every frame, also when the
calibration is refused."""
import dataclasses
import enum
import os
import typing

import cv2
import numpy as np

from . import board, calibfile, camera, images, pattern, turntable
from .errors import RigError
from .output import figure, make_folder, progress, save_figure, warn, write_csv

MIN_FRAMES = 3
MIN_SPAN_DEG = 15.0
# A real table turns the pattern on circles to well within a hundredth of a square (the
# pose's own noise); a pattern that slid on the table, or frames of another motion, leave
# several hundredths.
MAX_CIRCLE_SHARE = 0.02      # of the square size: circle RMS above this is refused
MAX_AXIS_SPREAD_DEG = 3.0    # the pairs' rotation axes about the fitted one


class Gate(enum.Enum):
    """Why a frame gives no table position."""
    PATTERN_NOT_FOUND = "pattern not found"
    POSE_UNRELIABLE = "board pose unreliable"


@dataclasses.dataclass
class Frame:
    """What one frame gave. `gate` is None for a frame whose pose is used."""
    path: str
    gate: typing.Optional[Gate] = None
    detail: str = ""
    image: typing.Optional[np.ndarray] = None        # corrected, grey; kept for the report
    detector: typing.Optional[str] = None
    pnp_error: float = float("nan")
    rotation: typing.Optional[np.ndarray] = None
    points: typing.Optional[np.ndarray] = None       # the pattern points, camera frame (mm)
    angle_deg: float = float("nan")
    circle_rms: float = float("nan")

    @property
    def usable(self):
        return self.gate is None

    def refuse(self, gate, detail):
        self.gate, self.detail = gate, detail
        return self


@dataclasses.dataclass
class Run:
    """The frames processed so far and the fit once there is one: what a report shows,
    also of a refused calibration."""
    frames: list = dataclasses.field(default_factory=list)
    fit: typing.Optional[turntable.Fit] = None
    calib: typing.Optional[calibfile.Calibration] = None

    @property
    def usable(self):
        return [f for f in self.frames if f.usable]


def add_arguments(parser):
    parser.add_argument("frames", nargs="+", metavar="FRAMES",
                        help="frames of the pattern lying or standing on the turntable, one "
                             "table position each (at least 3, spanning 30 degrees or more)")
    parser.add_argument("--calib", required=True, metavar="CALIB.pkl",
                        help="the calibration file of the camera (calibrate-camera)")
    pattern.add_pattern_arguments(parser)
    parser.add_argument("-o", "--output", required=True, metavar="TURNTABLE.json",
                        help="the turntable file to write")
    parser.add_argument("--report", metavar="DIR",
                        help="write the circles drawn on the first frame, a 3-D view of the "
                             "axis, the points and their circles, and a table of the frames "
                             "(frames.csv) into DIR, also when refused")
    parser.add_argument("--quiet", action="store_true", help="no progress bar")


def _check_arguments(args):
    pattern.check_pattern_arguments(args)
    if len(args.frames) < MIN_FRAMES:
        raise RigError(f"{len(args.frames)} frames given; a turntable's axis needs the pattern "
                       f"in at least {MIN_FRAMES} table positions (better 6 or more over 30 "
                       "degrees or more)")


def process_frame(calib, path, args, obj, keep_image):
    """The Frame of one table position: its gate, or the board's pose and points."""
    f = Frame(path)
    raw = images.read_image(path, what="frame")
    calib.check_image(raw, path, "frame")
    gray = calib.undistort(raw)
    if keep_image:
        f.image = gray
    seen = board.locate(calib, gray, raw, args, obj)
    f.detector, f.pnp_error = seen.detector, seen.pnp_error
    if seen.miss is not None:
        return f.refuse(Gate[seen.miss.name], seen.detail)
    f.rotation = seen.rotation
    f.points = obj @ f.rotation.T + seen.translation
    return f


def _refuse_unusable(frames, args):
    usable = [f for f in frames if f.usable]
    if len(usable) >= MIN_FRAMES:
        return usable
    n = len(frames)
    if not usable and all(f.gate is Gate.PATTERN_NOT_FOUND for f in frames):
        raise RigError(f"the {args.pattern} pattern of {args.cols} x {args.rows} was not found "
                       f"in any of the {n} frames; check --pattern, --cols and --rows")
    why = ", ".join(f"{sum(f.gate is g for f in frames)} {g.value}" for g in Gate
                    if any(f.gate is g for f in frames))
    raise RigError(f"only {len(usable)} of {n} frames usable ({why}); a turntable's axis needs "
                   f"the pattern in at least {MIN_FRAMES} table positions: add frames with the "
                   "whole pattern in view")


def _check_fit(fit, args):
    if fit.span_deg < MIN_SPAN_DEG:
        raise RigError(f"the table turned through only {fit.span_deg:.1f} degrees between the "
                       f"frames (at least {MIN_SPAN_DEG:g}); give frames spanning 30 degrees "
                       "or more")
    limit = MAX_CIRCLE_SHARE * args.square
    # A symmetric grid turned far may be found in another point order from frame to frame.
    symmetric = " or the symmetric circle grid found in another point order" \
        if args.pattern == "circles" else ""
    values = np.concatenate([fit.axis.point, fit.axis.direction, [fit.circle_rms_mm]])
    if not np.all(np.isfinite(values)):
        raise RigError("the pattern's positions fix no turntable axis; check the frames in "
                       "--report")
    if fit.axis_spread_deg > MAX_AXIS_SPREAD_DEG:
        raise RigError(f"the frames are not of one turntable: the rotations between them "
                       f"turn about axes {fit.axis_spread_deg:.2f} degrees apart (RMS, at "
                       f"most {MAX_AXIS_SPREAD_DEG:g}); was the pattern held or moved by "
                       f"hand{symmetric}? (--report shows each frame)")
    if fit.circle_rms_mm > limit:
        raise RigError(f"the pattern points do not move on circles about one axis (RMS "
                       f"{fit.circle_rms_mm:.3f} mm from their circles, at most {limit:.3f}, "
                       f"{100 * MAX_CIRCLE_SHARE:g} % of the square): did the pattern move on "
                       f"the table between frames{symmetric}? (--report shows each frame's "
                       "residual)")


def calibrate(args, state):
    """Process every frame into `state` (which the caller keeps, for the report) and fit the
    turntable; the checked turntable.Fit."""
    _check_arguments(args)
    state.calib = calibfile.read_calibration(args.calib)
    obj = pattern.object_points(args.pattern, args.cols, args.rows, args.square)
    for p in progress(list(args.frames), "frames", args.quiet):
        keep = not state.usable       # the report draws on the first frame with the pattern
        state.frames.append(process_frame(state.calib, p, args, obj, keep))
    usable = _refuse_unusable(state.frames, args)
    for f in state.frames:
        if not f.usable:
            warn(f"frame {f.path} not used: {f.gate.value} ({f.detail})")
    state.fit = turntable.fit_turntable([f.rotation for f in usable],
                                      np.stack([f.points for f in usable]))
    for f, angle, res in zip(usable, state.fit.angles_deg, state.fit.residuals):
        f.angle_deg = float(angle)
        f.circle_rms = float(np.sqrt(np.mean(res * res)))
    _check_fit(state.fit, args)
    return state.fit


# --- the report ---------------------------------------------------------------------------

FRAME_COLUMNS = ("frame", "pattern_found", "detector", "pnp_error_px", "angle_deg",
                 "circle_rms_mm", "reason")
CIRCLE = (0, 200, 255)     # BGR
AXIS = (255, 0, 255)
POINT = (0, 255, 0)


def _number(v, digits):
    return "" if v is None or not np.isfinite(v) else f"{v:.{digits}f}"


def _polyline(img, cam, points, colour, thick):
    """The 3-D polyline drawn where it lies in front of the camera."""
    xs, ys = camera.project_float(cam, points)
    front = points[:, 2] > 1.0
    pix = np.stack([xs, ys], axis=1)
    limit = 4.0 * max(img.shape)                     # cv2 wants int32 coordinates
    front &= np.all(np.abs(pix) < limit, axis=1)
    for a, b, ok in zip(pix[:-1], pix[1:], front[:-1] & front[1:]):
        if ok:
            cv2.line(img, tuple(int(round(v)) for v in a), tuple(int(round(v)) for v in b),
                     colour, thick, cv2.LINE_AA)


def _corners(args):
    """Indices of the pattern's four outer points."""
    c, r = args.cols, args.rows
    return [0, c - 1, (r - 1) * c, r * c - 1]


def circles_image(run, args):
    """The first frame with the pattern, corrected, with the outer points' circles, the
    axis and every used frame's points drawn."""
    first = next(f for f in run.frames if f.image is not None and f.detector is not None)
    img = cv2.cvtColor(first.image, cv2.COLOR_GRAY2BGR)
    scale = max(1.0, img.shape[1] / 900.0)
    thick = max(1, int(round(scale)))
    fit, cam = run.fit, run.calib.camera
    for f in run.usable:
        xs, ys = camera.project_float(cam, f.points)
        for x, y in zip(xs, ys):
            cv2.circle(img, (int(round(x)), int(round(y))), thick, POINT, -1)
    if fit is not None:
        for i in _corners(args):
            _polyline(img, cam, fit.circle(i), CIRCLE, thick)
        h, reach = fit.heights, 0.5 * float(fit.radii.max())
        ends = np.array([fit.axis.point + s * fit.axis.direction for s in
                         np.linspace(min(h.min(), 0) - reach, max(h.max(), 0) + reach, 50)])
        _polyline(img, cam, ends, AXIS, thick)
    lines = [f"{os.path.basename(first.path)}: green points of every used frame",
             "orange: circles of the pattern's outer points, magenta: the axis"]
    for k, text in enumerate(lines):
        org = (8, int((20 + 18 * k) * scale))
        cv2.putText(img, text, org, cv2.FONT_HERSHEY_SIMPLEX, 0.45 * scale, (0, 0, 0),
                    max(2, int(3 * scale)), cv2.LINE_AA)
        cv2.putText(img, text, org, cv2.FONT_HERSHEY_SIMPLEX, 0.45 * scale, (255, 255, 255),
                    max(1, int(scale)), cv2.LINE_AA)
    return img


def axis_figure(run):
    fit = run.fit
    fig = figure(figsize=(7, 6), dpi=100)
    ax = fig.add_subplot(projection="3d")
    for f in run.usable:
        ax.scatter(f.points[:, 0], f.points[:, 2], f.points[:, 1], s=3,
                   label=f"{os.path.basename(f.path)} ({f.angle_deg:.1f} deg)")
    for i in range(len(fit.radii)):
        c = fit.circle(i, 90)
        ax.plot(c[:, 0], c[:, 2], c[:, 1], color="tab:gray", linewidth=0.4)
    h, reach = fit.heights, 0.5 * float(fit.radii.max())
    ends = np.array([fit.axis.point + s * fit.axis.direction
                     for s in (min(h.min(), 0) - reach, max(h.max(), 0) + reach)])
    ax.plot(ends[:, 0], ends[:, 2], ends[:, 1], color="tab:red", linewidth=2, label="axis")
    # Equal scales, so that circles look round.
    seen = np.concatenate([f.points for f in run.usable] + [ends])
    centre, half = (seen.max(axis=0) + seen.min(axis=0)) / 2, np.ptp(seen, axis=0).max() / 2
    ax.set_xlim(centre[0] - half, centre[0] + half)
    ax.set_ylim(centre[2] - half, centre[2] + half)
    ax.set_zlim(centre[1] - half, centre[1] + half)
    ax.set_xlabel("x (mm)")
    ax.set_ylabel("z (mm)")
    ax.set_zlabel("y (mm)")
    ax.invert_zaxis()
    ax.set_title(f"turntable axis: circle RMS {fit.circle_rms_mm:.3f} mm, axis spread "
                 f"{fit.axis_spread_deg:.2f} deg")
    if len(run.usable) <= 12:
        ax.legend(fontsize=7, markerscale=3, loc="upper left")
    return fig


def write_report(folder, run, args):
    """The report of `run` in `folder`: frames.csv always; the drawing on the first frame
    with the pattern when there is one, the 3-D view with a fit."""
    make_folder(folder)
    write_csv(os.path.join(folder, "frames.csv"), FRAME_COLUMNS,
              [[f.path, "yes" if f.detector else "no", f.detector or "",
                _number(f.pnp_error, 3), _number(f.angle_deg, 4), _number(f.circle_rms, 4),
                "" if f.usable else f"{f.gate.value}: {f.detail}"] for f in run.frames])
    if any(f.image is not None and f.detector is not None for f in run.frames):
        images.write_image(os.path.join(folder, "circles.png"), circles_image(run, args))
    if run.fit is not None:
        save_figure(axis_figure(run), os.path.join(folder, "axis_3d.png"))


def run(args):
    state = Run()
    try:
        fit = calibrate(args, state)
    except RigError:
        if args.report and state.frames:
            write_report(args.report, state, args)
        raise
    if args.report:
        write_report(args.report, state, args)
    usable = state.usable
    turntable.write_turntable(args.output, fit, [f.path for f in usable], args.calib)
    p, d = fit.axis
    print(f"turntable axis from {len(usable)} of {len(state.frames)} frames: point "
          f"({p[0]:.3f}, {p[1]:.3f}, {p[2]:.3f}) mm, direction ({d[0]:.6f}, {d[1]:.6f}, "
          f"{d[2]:.6f}), span {fit.span_deg:.2f} degrees, circle RMS {fit.circle_rms_mm:.4f} "
          f"mm, axis spread {fit.axis_spread_deg:.3f} degrees")
    print(f"  written to {args.output}" + (f", report in {args.report}" if args.report else ""))
    return 0
