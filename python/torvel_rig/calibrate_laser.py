"""torvel-rig calibrate-laser: the laser plane from frames of the calibration pattern crossed
by the laser stripe, one board pose per frame.

Per frame: correct it with the calibration file (undistort_bilinear), find the pattern and
the board's pose (solvePnP on the corrected image, whose camera is the ideal pinhole K), so
the board's plane in the camera frame; the stripe's sub-pixel centre line (stripe.py; laser
on minus laser off with --background) inside the pattern's outer outline; the lines of
sight of those points (get_line_of_sight_pts) met with the board's plane
(intersect_line_plane) give 3-D laser points. The points of all frames go to fit_plane,
and plane.json gets its ten values with the plane z = a*x + b*y + c (planefile.py)."""
import csv
import io
import os

import cv2
import numpy as np
from torvel import torvel_class

from . import calibfile, camera, images, pattern, planefile, stripe
from .calibrate_camera import progress, warn
from .errors import RigError, atomic_output

_TV = torvel_class()
MIN_SPREAD = 0.05        # the points' spread across their main line, relative to along it
MAX_SCATTER = 0.01       # RMS distance to the plane, relative to the spread along the line


class Frame:
    """What one frame gave: `path`, `usable`, `reason` (why not), the corrected image,
    stripe points (xs, ys), 3-D points, the board pose and outline."""

    def __init__(self, path):
        self.path = path
        self.usable = False
        self.reason = None
        self.image = None
        self.xs = self.ys = np.zeros(0)
        self.dropped = (np.zeros(0), np.zeros(0))   # centres on a reflectance edge
        self.points = np.zeros((0, 3))
        self.outline = None
        self.normal = self.origin = None


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
                             "(default: red)")
    parser.add_argument("--background", nargs="+", metavar="FRAMES",
                        help="laser-off frames of the same poses, paired with FRAMES in order; "
                             "the stripe is then found in laser-on minus laser-off")
    parser.add_argument("-o", "--output", required=True, metavar="PLANE.json",
                        help="the plane file to write")
    parser.add_argument("--report", metavar="DIR",
                        help="write the stripe points on every frame, a 3-D view of the points "
                             "with the plane and the residuals per frame into DIR")
    parser.add_argument("--threshold", type=float, metavar="T",
                        help="laser channel level a stripe pixel exceeds (default: halfway "
                             "between the board's median and the stripe's peaks)")
    parser.add_argument("--window", type=int, metavar="PX",
                        help="half width of the centre-of-gravity window around each "
                             "column's peak (default: per frame the narrowest of "
                             f"{', '.join(map(str, stripe.WINDOWS))} that holds the stripe)")
    parser.add_argument("--min-points", type=int, default=20, metavar="N",
                        help="stripe points a frame needs on the board to count (default: 20)")
    parser.add_argument("--shift-ratio", type=float, default=1.0, metavar="R",
                        help="fit_plane's shift_ratio, the z factor of p_cos_one_point's offset "
                             "(default: 1.0)")
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


def _read(calib, path, color, what):
    img = images.read_image(path, color=color, what=what)
    calib.check_image(img, path, what)
    return img


def board_pose(calib, obj, corners):
    """Board plane (point, unit normal) in the camera frame of the corrected image, and the
    rotation and translation of the board, by solvePnP with the calibrated pinhole."""
    k = calib.camera_matrix
    ok, rvec, tvec = cv2.solvePnP(obj, corners, k, None, flags=cv2.SOLVEPNP_IPPE)
    if not ok:
        ok, rvec, tvec = cv2.solvePnP(obj, corners, k, None, flags=cv2.SOLVEPNP_ITERATIVE)
    else:
        rvec, tvec = cv2.solvePnPRefineLM(obj, corners, k, None, rvec, tvec)
    if not ok:
        return None
    r, _ = cv2.Rodrigues(rvec)
    return r, tvec.ravel().astype(np.float64)


def process_frame(calib, path, off_path, args, obj, outline_board):
    f = Frame(path)
    color = args.laser != "gray"
    on = _read(calib, path, color, "frame")
    off = _read(calib, off_path, color, "laser-off frame") if off_path else None
    gray = calib.undistort(images.to_gray(off if off is not None else on))
    f.image = calib.undistort(on) if color else gray
    channel = stripe.laser_channel(on, args.laser)
    if off is not None:
        channel = stripe.subtract_background(channel, stripe.laser_channel(off, args.laser))
    channel = calib.undistort(channel)

    corners = pattern.find_pattern(gray, args.pattern, args.cols, args.rows)
    if corners is None:
        f.reason = "pattern not found"
        return f
    pose = board_pose(calib, obj, corners)
    if pose is None:
        f.reason = "no board pose (solvePnP failed)"
        return f
    r, t = pose
    f.normal, f.origin = r[:, 2].copy(), t
    cam_outline = outline_board @ r.T + t
    rows, cols = camera.project(calib.camera, cam_outline)
    poly = np.stack([cols, rows], axis=1).astype(np.int32)
    f.outline = poly
    mask = np.zeros(calib.shape, np.uint8)
    cv2.fillPoly(mask, [poly.reshape(-1, 1, 2)], 255)
    window = args.window or stripe.choose_window(channel, mask, args.threshold)
    xs, ys, direction, _ = stripe.stripe_centres(channel, mask=mask, threshold=args.threshold,
                                                 window=window)
    # Centres whose whole window lies on the board.
    inner = cv2.erode(mask, np.ones((2 * window + 3, 2 * window + 3), np.uint8))
    keep = inner[np.round(ys).astype(np.int64).clip(0, calib.height - 1),
                 np.round(xs).astype(np.int64).clip(0, calib.width - 1)] > 0
    xs, ys = xs[keep], ys[keep]
    # Only windows that lie on one reflectance of the print: a window across a square's
    # edge or a circle's rim would pull the centre of gravity towards the brighter side.
    reach = window + 2.0          # the window and a pixel or two of blur
    dx, dy = (0.0, reach) if direction == "horizontal" else (reach, 0.0)
    ends = [camera.points_on_plane(calib.camera, xs + sx * dx, ys + sx * dy, t, f.normal)
            for sx in (-1.0, 1.0)]
    a, b = ((e - t) @ r for e in ends)
    radius = None
    if args.pattern != "chessboard":
        radius = 1.1 * pattern.circle_radius(gray, args.pattern, args.cols, args.rows,
                                              args.square, corners)
    keep = pattern.uniform_segments(args.pattern, args.cols, args.rows, args.square,
                                    a[:, :2], b[:, :2], radius)
    f.xs, f.ys = xs[keep], ys[keep]
    f.dropped = (xs[~keep], ys[~keep])
    if len(f.xs) < args.min_points:
        f.reason = (f"{len(f.xs)} stripe points on the board, fewer than --min-points "
                    f"{args.min_points}")
        return f
    f.points = camera.points_on_plane(calib.camera, f.xs, f.ys, t, f.normal)
    f.usable = True
    return f


def _refuse_unusable(frames, args):
    usable = [f for f in frames if f.usable]
    if len(usable) >= 2:
        return usable
    n = len(frames)
    no_pattern = [f.path for f in frames if f.reason == "pattern not found"]
    few = [f for f in frames if f.reason and "stripe points" in f.reason]
    if len(no_pattern) == n:
        raise RigError(f"the {args.pattern} pattern of {args.cols} x {args.rows} was not found "
                       f"in any of the {n} frames; check --pattern, --cols and --rows")
    if not usable and few:
        most = max(len(f.xs) for f in few)
        raise RigError(f"too few laser stripe points on the board in every frame (at most "
                       f"{most}, need --min-points {args.min_points}); check --laser (the "
                       "stripe's colour) and --threshold, or give --background frames")
    why = "; ".join(f"{os.path.basename(f.path)}: {f.reason}" for f in frames if not f.usable)
    raise RigError(f"only {len(usable)} of {n} frames usable ({why}); a laser plane needs "
                   "frames of at least two board poses: add frames with the board moved or "
                   "tilted")


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


def fit_unit(points):
    """The length unit (in mm) in which fit_plane sees the points. Its consensus test
    accepts a point within 0.01 units (along z) of a candidate plane; in mm that is far
    below the stripe's scatter, and a plane through one frame's stripe line can then win
    over the laser plane. The unit makes 0.01 units three times the points' robust scatter
    along z (0.1 mm .. 1 m)."""
    c = points - points.mean(axis=0)
    n = np.linalg.svd(c, full_matrices=False)[2][2]
    r = c @ n
    sigma = 1.4826 * float(np.median(np.abs(r - np.median(r))))
    return float(np.clip(300.0 * sigma / max(abs(n[2]), 1e-3), 0.1, 1000.0))


LENGTHS = ("Ox_lpts", "Oy_lpts", "Oz_lpts", "p_cos_one_point", "mean_dist", "shift")


def fit(points, shift_ratio):
    """fit_plane's ten values for the points (mm), fitted in fit_unit and given back in
    mm (the angle, normal and rotations have no unit)."""
    unit = fit_unit(points)
    try:
        values = _TV.fit_plane(np.ascontiguousarray(points, dtype=np.float64) / unit,
                               float(shift_ratio))
    except Exception as e:  # the regressor finding no consensus
        raise RigError(f"fit_plane found no laser plane in the {len(points)} points "
                       f"({str(e).splitlines()[0] if str(e) else type(e).__name__}); check "
                       "the frames' stripes in --report") from None
    values = [v * unit if name in LENGTHS else v
              for name, v in zip(planefile.FIT_KEYS, values)]
    n = np.asarray(values[1], dtype=np.float64)
    if not np.all(np.isfinite(n)):
        raise RigError("fit_plane gave no finite plane normal; check the frames' stripes "
                       "in --report")
    return tuple(values)


def residuals(points, values):
    n = np.asarray(values[1], dtype=np.float64)
    o = np.array([values[4], values[5], values[6]], dtype=np.float64)
    return (points - o) @ n


def write_report(folder, frames, usable, values, args):
    try:
        os.makedirs(folder, exist_ok=True)
    except OSError as e:
        raise RigError(f"cannot create report folder {folder}: {e.strerror or e}") from None
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    for i, f in enumerate(frames):
        if f.image is None:
            continue
        img = cv2.cvtColor(f.image, cv2.COLOR_GRAY2BGR) if f.image.ndim == 2 else f.image.copy()
        if f.outline is not None:
            cv2.polylines(img, [f.outline.reshape(-1, 1, 2)], True, (255, 200, 0), 1, cv2.LINE_AA)
        for x, y in zip(*f.dropped):
            cv2.circle(img, (int(round(x)), int(round(y))), 1, (255, 0, 255), -1)
        for x, y in zip(f.xs, f.ys):
            cv2.circle(img, (int(round(x)), int(round(y))), 1, (0, 255, 255), -1)
        label = f"{os.path.basename(f.path)}: " + (f"{len(f.xs)} stripe points" if f.usable
                                                  else f"not used ({f.reason})")
        _text(img, label, 20, (255, 255, 255))
        _text(img, "yellow: stripe points used", 40, (0, 255, 255))
        _text(img, "magenta: on a square's edge or circle, not used", 58, (255, 0, 255))
        _text(img, "cyan: the pattern's outer outline", 76, (255, 200, 0))
        name = os.path.splitext(os.path.basename(f.path))[0]
        images.write_image(os.path.join(folder, f"stripe_{i:02d}_{name}.png"), img)

    pts = np.concatenate([f.points for f in usable])
    n = np.asarray(values[1], dtype=np.float64)
    a, b, c = planefile.plane_coefficients(n, (values[4], values[5], values[6]))
    fig = plt.figure(figsize=(7, 6), dpi=100)
    ax = fig.add_subplot(projection="3d")
    for f in usable:
        ax.scatter(f.points[:, 0], f.points[:, 2], f.points[:, 1], s=2,
                   label=os.path.basename(f.path))
    gx, gy = np.meshgrid(np.linspace(pts[:, 0].min(), pts[:, 0].max(), 10),
                         np.linspace(pts[:, 1].min(), pts[:, 1].max(), 10))
    ax.plot_surface(gx, a * gx + b * gy + c, gy, alpha=0.25, color="tab:gray")
    ax.set_xlabel("x (mm)")
    ax.set_ylabel("z (mm)")
    ax.set_zlabel("y (mm)")
    ax.invert_zaxis()
    ax.set_title(f"laser points and plane z = {a:.4f} x + {b:.4f} y + {c:.2f}")
    if len(usable) <= 12:
        ax.legend(fontsize=7, markerscale=4, loc="upper left")
    _save(fig, plt, os.path.join(folder, "plane_3d.png"))

    fig, ax = plt.subplots(figsize=(max(6.0, 0.6 * len(usable) + 2), 4.0), dpi=100)
    res = [residuals(f.points, values) for f in usable]
    ax.boxplot(res, showfliers=False)
    ax.axhline(0.0, color="tab:gray", linewidth=0.8)
    ax.set_xticks(range(1, len(usable) + 1))
    ax.set_xticklabels([os.path.basename(f.path) for f in usable], rotation=60, ha="right",
                       fontsize=8)
    ax.set_ylabel("signed distance to the plane (mm)")
    ax.set_title("Residuals per frame")
    fig.tight_layout()
    _save(fig, plt, os.path.join(folder, "residuals.png"))

    text = io.StringIO()
    w = csv.writer(text, lineterminator="\n")
    w.writerow(["frame", "points", "rms_mm", "mean_mm", "max_abs_mm"])
    for f, r in zip(usable, res):
        w.writerow([f.path, len(r), f"{np.sqrt(np.mean(r * r)):.5f}", f"{r.mean():.5f}",
                    f"{np.abs(r).max():.5f}"])
    with atomic_output(os.path.join(folder, "residuals.csv"), "w") as fh:
        fh.write(text.getvalue())


def _text(img, text, y, color):
    cv2.putText(img, text, (8, y), cv2.FONT_HERSHEY_SIMPLEX, 0.45, (0, 0, 0), 3, cv2.LINE_AA)
    cv2.putText(img, text, (8, y), cv2.FONT_HERSHEY_SIMPLEX, 0.45, color, 1, cv2.LINE_AA)


def _save(fig, plt, path):
    buf = io.BytesIO()
    fig.savefig(buf, format="png")
    plt.close(fig)
    with atomic_output(path) as fh:
        fh.write(buf.getvalue())


def calibrate(args):
    """Process every frame and fit the plane: (frames, usable frames, fit_plane values,
    points, rms)."""
    _check_arguments(args)
    calib = calibfile.read_calibration(args.calib)
    obj = pattern.object_points(args.pattern, args.cols, args.rows, args.square)
    outline_board = pattern.outline(args.pattern, args.cols, args.rows, args.square)
    offs = args.background or [None] * len(args.frames)
    frames = [process_frame(calib, p, o, args, obj, outline_board)
              for p, o in progress(list(zip(args.frames, offs)), "frames", args.quiet)]
    usable = _refuse_unusable(frames, args)
    for f in frames:
        if not f.usable:
            warn(f"frame {f.path} not used: {f.reason}")
    points = np.concatenate([f.points for f in usable])
    spread = check_spread(points)
    values = fit(points, args.shift_ratio)
    r = residuals(points, values)
    rms = float(np.sqrt(np.mean(r * r)))
    if rms > MAX_SCATTER * spread[0]:
        raise RigError(f"the {len(points)} laser points scatter {rms:.2f} mm RMS about the "
                       f"fitted plane ({100 * rms / spread[0]:.1f} % of their extent): the "
                       "stripe was not found cleanly; check --laser and --threshold, or give "
                       "--background frames (--report shows the stripe points)")
    return frames, usable, values, points, rms


def run(args):
    frames, usable, values, points, rms = calibrate(args)
    if args.report:
        write_report(args.report, frames, usable, values, args)
    rec = planefile.write_plane(args.output, values,
                                [(f.path, len(f.points)) for f in usable], rms, args.calib)
    n, p = rec["unit_normal"], rec["plane"]
    print(f"laser plane from {len(usable)} of {len(frames)} frames, {len(points)} points: "
          f"z = {p['a']:.6f} x + {p['b']:.6f} y + {p['c']:.4f} mm, unit normal "
          f"({n[0]:.6f}, {n[1]:.6f}, {n[2]:.6f}), RMS {rms:.4f} mm")
    print(f"  written to {args.output}" + (f", report in {args.report}" if args.report else ""))
    return 0
