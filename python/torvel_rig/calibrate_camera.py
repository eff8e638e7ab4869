"""torvel-rig calibrate-camera: the camera's intrinsics and lens distortion from views of a
calibration pattern (OpenCV's calibrateCamera), written as the calibration file torvel
reads (map and bilinear weights, see calibfile.py)."""
import os

import cv2
import numpy as np

from . import calibfile, camera, images, pattern
from .errors import RigError
from .output import figure, make_folder, progress, save_figure, warn, write_csv

MIN_VIEWS = 3
OUTLIER_FACTOR = 3.0    # a view reprojecting this many times worse than the median ...
OUTLIER_PX = 1.0        # ... and worse than this many pixels is left out


def add_arguments(parser):
    parser.add_argument("images", nargs="+", metavar="IMAGES",
                        help="views of the calibration pattern, one pose each")
    pattern.add_pattern_arguments(parser)
    parser.add_argument("-o", "--output", required=True, metavar="CALIB.pkl",
                        help="the calibration file to write")
    parser.add_argument("--report", metavar="DIR",
                        help="write per-view reprojection errors (CSV and bar plot) and the "
                             "first view undistorted with its pattern drawn into DIR")
    parser.add_argument("--pixel-size", type=float, default=camera.DEFAULT_PIXEL_SIZE,
                        metavar="MM",
                        help="sensor pixel pitch in mm; sets the unit of the library's focus "
                             f"(focus = fx * pitch) (default: {camera.DEFAULT_PIXEL_SIZE} mm)")
    parser.add_argument("--quiet", action="store_true", help="no progress bar")


def detect_views(paths, kind, cols, rows, quiet=False):
    """The pattern.Detection of every view and the common image size."""
    size = None
    found = []
    for path in progress(paths, "pattern", quiet):
        gray = images.read_image(path, what="view")
        h, w = gray.shape
        if size is None:
            size = (w, h)
        elif (w, h) != size:
            raise RigError(f"view {path} is {w} x {h} pixels but {paths[0]} is "
                           f"{size[0]} x {size[1]}; give views of one camera at one resolution")
        found.append(pattern.detect(gray, kind, cols, rows))
    return found, size


def calibrate(paths, kind, cols, rows, square, quiet=False):
    """Detect the pattern in every view and calibrate. Returns a dict with camera_matrix,
    dist_coeffs, rms, image_size, used/rejected paths, per-view errors and the poses."""
    detections, size = detect_views(paths, kind, cols, rows, quiet)
    corners = [d.points for d in detections]
    used = [p for p, c in zip(paths, corners) if c is not None]
    rejected = [p for p, c in zip(paths, corners) if c is None]
    if len(used) < MIN_VIEWS:
        where = f" (not found in {', '.join(rejected)})" if rejected else ""
        raise RigError(f"the {kind} pattern of {cols} x {rows} was found in only {len(used)} "
                       f"of {len(paths)} views{where}; calibrating needs at least {MIN_VIEWS}: "
                       "check --pattern, --cols and --rows, or take more views")
    if rejected:
        warn(f"pattern not found in {len(rejected)} of {len(paths)} views: "
             f"{', '.join(rejected)}")
    obj = pattern.object_points(kind, cols, rows, square).astype(np.float32)
    points = {p: c.reshape(-1, 1, 2).astype(np.float32) for p, c in zip(paths, corners)
              if c is not None}
    rms, k, dist, rvecs, tvecs, per_view = _calibrate(obj, list(points.values()), size)
    # A view far worse than the others (a corner found off the board, motion blur) bends
    # the lens model for all of them: it goes, and the camera is calibrated again.
    errors = np.ravel(per_view)
    limit = max(OUTLIER_FACTOR * float(np.median(errors)), OUTLIER_PX)
    outliers = [p for p, e in zip(used, errors) if e > limit]
    if outliers and len(used) - len(outliers) >= MIN_VIEWS:
        for p, e in zip(used, errors):
            if p in outliers:
                detections[paths.index(p)] = pattern.Detection(
                    None, detections[paths.index(p)].detector,
                    f"reprojection error {e:.2f} px, over {OUTLIER_FACTOR:g} times the "
                    f"median {float(np.median(errors)):.2f} px")
        warn(f"{len(outliers)} view(s) left out for a reprojection error over "
             f"{limit:.2f} px: {', '.join(outliers)}")
        used = [p for p in used if p not in outliers]
        rejected = rejected + outliers
        rms, k, dist, rvecs, tvecs, per_view = _calibrate(obj, [points[p] for p in used], size)
    return {"camera_matrix": k, "dist_coeffs": dist.ravel(), "rms": float(rms),
            "image_size": size, "used": used, "rejected": rejected,
            "per_view_errors": [float(e) for e in np.ravel(per_view)],
            "rvecs": rvecs, "tvecs": tvecs, "object_points": obj,
            "detections": dict(zip(paths, detections))}


def _calibrate(obj, img_pts, size):
    obj_pts = [obj.reshape(-1, 1, 3)] * len(img_pts)
    criteria = (cv2.TERM_CRITERIA_COUNT + cv2.TERM_CRITERIA_EPS, 100, 1e-12)
    try:
        rms, k, dist, rvecs, tvecs, _, _, per_view = cv2.calibrateCameraExtended(
            obj_pts, img_pts, size, None, None, criteria=criteria)
    except cv2.error as e:
        raise RigError(f"OpenCV could not calibrate from the {len(img_pts)} views "
                       f"({str(e).strip().splitlines()[-1]}); take views in more varied "
                       "poses") from None
    if not np.all(np.isfinite(k)) or not np.all(np.isfinite(dist)) or k[0, 0] <= 0 or k[1, 1] <= 0:
        raise RigError(f"calibration from the {len(img_pts)} views did not converge; take "
                       "views in more varied poses (tilted, at several distances)")
    return rms, k, dist, rvecs, tvecs, per_view


def _why(detection, kind, cols, rows):
    r = detection.reason
    return r.describe(kind, cols, rows) if isinstance(r, pattern.Miss) else str(r)


def write_report(folder, result, kind, cols, rows, calib_path):
    """per_view_errors.csv, per_view_errors.png and first_view_undistorted.png in `folder`."""
    make_folder(folder)
    n = len(result["object_points"])
    found = result["detections"]
    rows_out = [[p, f"{err:.4f}", n, found[p].detector, ""]
                for p, err in zip(result["used"], result["per_view_errors"])]
    rows_out += [[p, "", 0, found[p].detector or "", _why(found[p], kind, cols, rows)]
                 for p in result["rejected"]]
    write_csv(os.path.join(folder, "per_view_errors.csv"),
              ["view", "rms_px", "points", "detector", "reason"], rows_out)

    errs = result["per_view_errors"]
    names = [os.path.basename(p) for p in result["used"]]
    fig = figure(figsize=(max(6.0, 0.45 * len(names) + 2), 4.0), dpi=100)
    ax = fig.add_subplot()
    ax.bar(range(len(errs)), errs, color="tab:blue", label="view RMS")
    ax.axhline(result["rms"], color="tab:red", linestyle="--",
               label=f"overall RMS {result['rms']:.3f} px")
    ax.set_xticks(range(len(errs)))
    ax.set_xticklabels(names, rotation=60, ha="right", fontsize=8)
    ax.set_ylabel("reprojection error (px)")
    ax.set_title(f"Per-view reprojection error, {len(errs)} views")
    ax.legend()
    fig.tight_layout()
    save_figure(fig, os.path.join(folder, "per_view_errors.png"))

    # The first used view corrected by the library with the file just written, and the
    # board's corners projected by the ideal pinhole of that corrected image.
    calib = calibfile.read_calibration(calib_path)
    first = images.read_image(result["used"][0], color=True, what="view")
    undist = calib.undistort(first)
    r, _ = cv2.Rodrigues(result["rvecs"][0])
    pts = result["object_points"].astype(np.float64) @ r.T + result["tvecs"][0].ravel()
    xs, ys = camera.project_float(calib.camera, pts)
    drawn = pattern.draw_pattern(undist, cols, rows, np.stack([xs, ys], axis=1))
    cv2.putText(drawn, f"{os.path.basename(result['used'][0])} undistorted, {kind} "
                f"{cols}x{rows} reprojected", (8, 20), cv2.FONT_HERSHEY_SIMPLEX, 0.5,
                (0, 255, 255), 1, cv2.LINE_AA)
    images.write_image(os.path.join(folder, "first_view_undistorted.png"), drawn)


def run(args):
    pattern.check_pattern_arguments(args)
    if not (args.pixel_size > 0) or not np.isfinite(args.pixel_size):
        raise RigError(f"--pixel-size {args.pixel_size}: give the sensor pitch in mm, a "
                       "positive number")
    result = calibrate(args.images, args.pattern, args.cols, args.rows, args.square, args.quiet)
    param = calibfile.write_calibration(
        args.output, result["camera_matrix"], result["dist_coeffs"], result["image_size"],
        pixel_size=args.pixel_size, rms=result["rms"], pattern=args.pattern, cols=args.cols,
        rows=args.rows, square=args.square, views_used=result["used"],
        views_rejected=result["rejected"], per_view_errors=result["per_view_errors"])
    if args.report:
        write_report(args.report, result, args.pattern, args.cols, args.rows, args.output)
    k = result["camera_matrix"]
    w, h = result["image_size"]
    print(f"calibrated {w} x {h} from {len(result['used'])} of {len(args.images)} views: "
          f"RMS {result['rms']:.3f} px, fx {k[0, 0]:.2f} fy {k[1, 1]:.2f} "
          f"cx {k[0, 2]:.2f} cy {k[1, 2]:.2f} px, focus {param['focus']:.4f} mm")
    print(f"  distortion {' '.join(f'{d:.5g}' for d in result['dist_coeffs'])}")
    print(f"  written to {args.output}" + (f", report in {args.report}" if args.report else ""))
    return 0
