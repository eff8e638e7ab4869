"""An end-to-end measurement with torvel.

Without arguments: the embedded synthetic rig (torvel_rig.synthetic.Rig) renders
chessboard views, stripe-on-target frames and frames of an elliptical section lit by the
laser sheet; torvel-rig's calibrate-camera, calibrate-laser and measure run on them; then
the pattern lying on a turntable gives calibrate-turntable its frames, and a sphere resting
on a cylinder, turning on that table through the laser sheet, gives scan its frames. Each
quantity is printed against the rig's truth, with the time of every step and where the
overlay image, the point cloud and its picture are.

With real inputs:
  demo --calib FILE --frame IMAGE --mask1 IMAGE --mask2 IMAGE --object-mask IMAGE
  demo --calib FILE --frames DIR --mask1 IMAGE --mask2 IMAGE --object-mask IMAGE
the module's chain runs on them: the frame is corrected, its stripe extracted and met with
the target plane at --depth, the object measured in pixels and, mapped onto that plane,
in millimetres (camera: --focus, --pixel, principal point at the image centre; the
defaults are those of torvel_rig.synthetic.LensRig, the 1920 x 1080 rig the tests make
such files with).
"""
import argparse
import contextlib
import csv
import io
import json
import math
import os
import sys
import tempfile
import time
from typing import NamedTuple, Optional

import cv2
import numpy as np

from torvel import torvel_class
from torvel_rig import calibfile, camera, framemeasure, images, planefile, plyfile, turntable
from torvel_rig.cli import main as rig_main
from torvel_rig.errors import RigError
from torvel_rig.output import figure, save_figure
from torvel_rig.synthetic import Cylinder, LensRig, Rig, Sphere, render_scan_frame, turned

OUT_DIR = "demo-out"
# The lit sections measured: semi-axes (mm), angle of the long axis (deg), centre (mm).
SECTIONS = [((40.0, 25.0), 30.0, (0.0, 0.0)), ((32.0, 21.0), 110.0, (10.0, -6.0))]
# The turntable: its axis lies in the laser sheet, turned 30 degrees in it from the sheet's
# steepest line towards the camera's -x, so that the camera looks down on the table from
# about 32 degrees and the stripe runs aslant across the object. The pattern lies on the
# table in TABLE_FRAMES positions over TABLE_SPAN degrees; the object turns SCAN_STEP
# degrees between the SCAN_FRAMES frames of its scan.
TABLE_TILT_DEG, TABLE_FRAMES, TABLE_SPAN = 30.0, 7, 90.0
SCAN_FRAMES, SCAN_STEP = 36, 10.0
# The object (mm): a cylinder standing on the table, a sphere resting on its top disc,
# SPHERE_OFF mm off the axis (so that the frames differ as the table turns).
CYL_RADIUS, CYL_HEIGHT, SPHERE_RADIUS, SPHERE_OFF = 25.0, 30.0, 18.0, 8.0


class Steps:
    """Times each step of the chain."""

    def __init__(self):
        self.times = []

    def __call__(self, label, fn, *args, **kwargs):
        t0 = time.perf_counter()
        result = fn(*args, **kwargs)
        self.times.append((label, time.perf_counter() - t0))
        return result


def largest_contour(mask):
    contours, _ = cv2.findContours(mask, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_NONE)
    if not contours:
        raise SystemExit("demo: the object mask holds no object")
    return max(contours, key=cv2.contourArea)


def section_on_plane(tv, mask, cam, p_cos_one_point, RRa, normal_vec):
    """The section's contour mapped onto the plane, the ellipse fitted to it there (a
    framemeasure.PlaneEllipse: its full axes in mm), and its outline (plot_ellipse) carried
    back into the image as integer pixels (x, y)."""
    c = largest_contour(mask)
    crt, hor, _, _, _ = tv.from_cnt2cnt(c[:, 0, 0], c[:, 0, 1], *cam, p_cos_one_point, RRa,
                                        normal_vec)
    RRa_inv = np.linalg.inv(RRa)
    ellipse = framemeasure.ellipse_on_plane(crt, hor, RRa_inv)
    rows, cols = camera.project(cam, framemeasure.outline_points(ellipse, RRa_inv))
    return ellipse, np.stack([cols, rows], axis=1)


def overlay(frame, stripe_points, axes, outline, path):
    img = cv2.cvtColor(frame, cv2.COLOR_GRAY2BGR)
    for x, y in stripe_points:
        cv2.circle(img, (int(x), int(y)), 3, (0, 200, 255), -1)
    if axes is not None:
        pt_short, pt_long0 = axes.pt_short, axes.pt_long0
        cv2.line(img, tuple(map(int, pt_long0[0])), tuple(map(int, pt_long0[1])), (0, 0, 255), 2)
        cv2.line(img, tuple(map(int, pt_short[0])), tuple(map(int, pt_short[1])), (255, 0, 0), 2)
    if outline is not None:
        cv2.polylines(img, [outline.astype(np.int32).reshape(-1, 1, 2)], True, (0, 255, 0), 2)
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    cv2.imwrite(path, img)


def torvel_rig(steps, label, argv):
    """One torvel-rig command, timed, its own report silenced; a failure stops the demo."""
    with contextlib.redirect_stdout(io.StringIO()):
        status = steps(label, rig_main, [str(a) for a in argv])
    if status != 0:
        raise SystemExit(f"demo: '{label}' failed with status {status}")


def run_synthetic(out_dir=OUT_DIR, quiet=False):
    """The whole path on the embedded synthetic rig: chessboard views -> calibrate-camera,
    stripe-on-target frames -> calibrate-laser, frames of the lit section -> measure."""
    steps = Steps()
    synth = Rig()
    board = ["--pattern", synth.pattern, "--cols", synth.cols, "--rows", synth.rows,
             "--square", synth.square]
    os.makedirs(out_dir, exist_ok=True)
    with tempfile.TemporaryDirectory() as tmp:
        views = steps("render chessboard views", synth.write_views, os.path.join(tmp, "views"), 24)
        calib = os.path.join(out_dir, "calib.pkl")
        torvel_rig(steps, "calibrate-camera", ["calibrate-camera", *views, *board, "-o", calib,
                                               "--pixel-size", synth.pixel_size, "--quiet"])
        on, off = steps("render stripe-on-target frames", synth.write_laser_frames,
                        os.path.join(tmp, "laser"), 6, laser="red")
        plane_path = os.path.join(out_dir, "plane.json")
        torvel_rig(steps, "calibrate-laser", ["calibrate-laser", *on, "--background", *off,
                                              "--calib", calib, *board, "--laser", "red",
                                              "-o", plane_path, "--quiet"])
        frames = []
        for i, (axes, angle, centre) in enumerate(SECTIONS):
            path = os.path.join(tmp, f"section{i}.png")
            cv2.imwrite(path, synth.render_section(axes, angle, centre, seed=i))
            frames.append(path)
        torvel_rig(steps, "measure", ["measure", *frames, "--calib", calib, "--plane",
                                      plane_path, "-o", out_dir, "--overlays", "--quiet"])
        scanned = run_scan(steps, synth, board, calib, plane_path, tmp, out_dir)
    with open(os.path.join(out_dir, "measurements.csv"), newline="") as f:
        rows = list(csv.DictReader(f))
    k = calibfile.read_calibration(calib).camera_matrix
    plane = planefile.read_plane(plane_path)
    normal_err, offset_err = synth.plane_error(plane["unit_normal"], [0, 0, plane["plane"]["c"]],
                                               synth.plane_frame()[0])
    true_phi = math.degrees(math.acos(abs(synth.plane_normal[2])))
    result = {
        "intrinsics": [(name, synth.camera_matrix[i, j], k[i, j]) for name, i, j in
                       (("fx (px)", 0, 0), ("fy (px)", 1, 1), ("cx (px)", 0, 2),
                        ("cy (px)", 1, 2))],
        "normal_error_deg": normal_err,
        "offset_error_mm": offset_err,
        "plane_angle_deg": (true_phi, math.degrees(plane["Phi"])),
        "stripe_points": sum(p["points"] for p in plane["points_per_frame"]),
        "sections": [((2 * a, 2 * b), (float(r["long_mm"]), float(r["short_mm"])),
                      (float(r["long_px"]), float(r["short_px"])))
                     for ((a, b), _, _), r in zip(SECTIONS, rows)],
        "overlay": os.path.join(out_dir, "overlays", "0000_section0.png"),
        "image_size": (synth.height, synth.width),
        "times": steps.times,
        **scanned,
    }
    result["true_axes_mm"], result["axes_mm"], result["axes_px"] = result["sections"][0]
    if not quiet:
        report(result)
    return result


# --- the turntable and the scan --------------------------------------------------------

class Scene(NamedTuple):
    """The scanned object's truth, placed as at frame 0: the table's axis (its point where
    the table's top meets it), the cylinder standing there and the sphere on its top."""
    axis: turntable.Axis
    cylinder: Cylinder
    sphere: Sphere


def scene(synth):
    o, u, v = synth.plane_frame()
    tilt = math.radians(TABLE_TILT_DEG)
    up = -math.cos(tilt) * v - math.sin(tilt) * u          # in the sheet, towards the camera
    across = np.cross(up, synth.plane_normal)               # in the sheet, across the axis
    base = o - 0.5 * (CYL_HEIGHT + 2 * SPHERE_RADIUS) * up  # the object's middle on o
    cylinder = Cylinder(base, up, CYL_RADIUS, CYL_HEIGHT)
    sphere = Sphere(cylinder.top + SPHERE_RADIUS * up + SPHERE_OFF * across, SPHERE_RADIUS)
    return Scene(turntable.Axis(base, up), cylinder, sphere)


def write_frames(folder, prefix, frames):
    """Each image of `frames` as folder/prefixNN.png; their paths."""
    os.makedirs(folder, exist_ok=True)
    paths = []
    for i, img in enumerate(frames):
        paths.append(os.path.join(folder, f"{prefix}{i:02d}.png"))
        images.write_image(paths[-1], img)
    return paths


def fit_sphere(p):
    """Centre and radius of the sphere nearest the N x 3 points (least squares on their
    distances to it, from the algebraic fit)."""
    from scipy.optimize import least_squares
    a = np.c_[2 * p, np.ones(len(p))]
    sol = np.linalg.lstsq(a, (p * p).sum(axis=1), rcond=None)[0]
    start = np.r_[sol[:3], math.sqrt(sol[3] + sol[:3] @ sol[:3])]
    x = least_squares(lambda q: np.linalg.norm(p - q[:3], axis=1) - q[3], start).x
    return x[:3], float(x[3])


def fit_cylinder(p, axis):
    """The infinite cylinder nearest the N x 3 points (least squares on their distances to
    it), from the line `axis` (a turntable.Axis): its axis and radius."""
    from scipy.optimize import least_squares
    e1, e2 = turntable.plane_basis(axis.direction)

    def line(q):
        d = axis.direction + q[2] * e1 + q[3] * e2
        return turntable.Axis(axis.point + q[0] * e1 + q[1] * e2, d / np.linalg.norm(d))

    start = [0.0, 0.0, 0.0, 0.0, float(np.median(axis.distance(p)))]
    x = least_squares(lambda q: line(q).distance(p) - q[4], start).x
    return line(x), float(x[4])


def cloud_figure(p, dist, truth, path):
    """Two views of the cloud in the table's frame, the points coloured by their distance
    to the true surfaces: across the axis (height against one side) and along it."""
    e1, e2 = turntable.plane_basis(truth.axis.direction)
    q = p - truth.axis.point
    x, y, h = q @ e1, q @ e2, q @ truth.axis.direction
    fig = figure(figsize=(10, 4.6), dpi=100, layout="constrained")
    top = float(np.percentile(dist, 99))
    for k, (a, b, xl, yl, title) in enumerate(((x, h, "across the axis (mm)", "height (mm)",
                                                 "side view"),
                                                (x, y, "across the axis (mm)", "across (mm)",
                                                 "view along the axis"))):
        ax = fig.add_subplot(1, 2, k + 1)
        dots = ax.scatter(a, b, c=dist, s=1.5, cmap="viridis", vmin=0.0, vmax=top)
        ax.set_aspect("equal")
        ax.set_xlabel(xl)
        ax.set_ylabel(yl)
        ax.set_title(title)
    fig.colorbar(dots, ax=fig.axes, label="distance to the true surfaces (mm)", shrink=0.8)
    fig.suptitle(f"scan: {len(p)} points, a sphere on a cylinder turned on the table")
    save_figure(fig, path)


def run_scan(steps, synth, board, calib, plane_path, tmp, out_dir):
    """The pattern lying on the table -> calibrate-turntable; the object turning on it ->
    scan with the camera's calibration, the laser plane and the table found; the cloud
    against the object's truth."""
    truth = scene(synth)
    table = steps("render turntable frames", lambda: write_frames(
        os.path.join(tmp, "table"), "table",
        (synth.render_board(pose, seed=i) for i, pose in
         enumerate(synth.turntable_poses(TABLE_FRAMES, TABLE_SPAN, axis=truth.axis)))))
    table_path = os.path.join(out_dir, "turntable.json")
    torvel_rig(steps, "calibrate-turntable", ["calibrate-turntable", *table, "--calib", calib,
                                              *board, "-o", table_path, "--quiet"])
    shapes = [truth.cylinder, truth.sphere]
    frames = steps("render scan frames", lambda: write_frames(
        os.path.join(tmp, "scan"), "scan",
        (render_scan_frame(synth, shapes, turned(*truth.axis, SCAN_STEP * k), seed=k)
         for k in range(SCAN_FRAMES))))
    cloud_path = os.path.join(out_dir, "cloud.ply")
    torvel_rig(steps, "scan", ["scan", *frames, "--calib", calib, "--plane", plane_path,
                               "--turntable", table_path, "--step", SCAN_STEP, "-o",
                               cloud_path, "--quiet"])
    with open(table_path) as f:
        rec = json.load(f)
    found = turntable.Axis(np.array(rec["point"]), np.array(rec["direction"]))
    v = plyfile.read_ply(cloud_path).vertices
    p = np.stack([v["x"], v["y"], v["z"]], axis=1).astype(np.float64)
    to_sphere, to_cylinder = truth.sphere.distance(p), truth.cylinder.distance(p)
    on_sphere = to_sphere < to_cylinder
    on_side = ~on_sphere & (truth.cylinder.part_distances(p).argmin(axis=0) == 0)
    centre, sphere_radius = fit_sphere(p[on_sphere])
    _, cylinder_radius = fit_cylinder(p[on_side], found)
    dist = np.minimum(to_sphere, to_cylinder)
    view = os.path.join(out_dir, "cloud.png")
    cloud_figure(p, dist, truth, view)
    middle = truth.axis.point + 0.5 * (CYL_HEIGHT + 2 * SPHERE_RADIUS) * truth.axis.direction
    cos = float(np.clip(found.direction @ truth.axis.direction, -1.0, 1.0))
    return {
        "axis_angle_deg": math.degrees(math.acos(cos)),
        "axis_distance_mm": float(found.distance(middle)),
        "sphere_radius_mm": (SPHERE_RADIUS, sphere_radius),
        "sphere_centre_mm": float(np.linalg.norm(centre - truth.sphere.centre)),
        "cylinder_radius_mm": (CYL_RADIUS, cylinder_radius),
        "surface_rms_mm": float(np.sqrt(np.mean(dist ** 2))),
        "cloud_points": (len(p), int(on_sphere.sum()), int(on_side.sum())),
        "cloud": cloud_path,
        "cloud_view": view,
    }


def report(r):
    h, w = r["image_size"]
    print(f"torvel demo: synthetic camera {w} x {h} with lens distortion, a red line laser "
          f"tilted {r['plane_angle_deg'][0]:.1f} deg; calibrate-camera, calibrate-laser, "
          "measure, calibrate-turntable and a scan of a sphere on a cylinder turning on the "
          "table")
    print(f"\n  {'quantity':<38} {'true':>10} {'measured':>10} {'error':>10}")
    for name, true, got in r["intrinsics"]:
        print(f"  {'camera ' + name:<38} {true:10.2f} {got:10.2f} {got - true:+10.3f}")
    t, m = r["plane_angle_deg"]
    print(f"  {'laser plane tilt from the axis (deg)':<38} {t:10.4f} {m:10.4f} {m - t:+10.4f}")
    print(f"  {'laser plane normal direction (deg)':<38} {0:10.4f} {r['normal_error_deg']:10.4f} "
          f"{r['normal_error_deg']:+10.4f}")
    print(f"  {'laser plane offset (mm)':<38} {0:10.4f} {r['offset_error_mm']:10.4f} "
          f"{r['offset_error_mm']:+10.4f}")
    for i, (true, got, px) in enumerate(r["sections"]):
        for name, t_, g_ in zip(("long", "short"), true, got):
            label = f"section {i + 1} {name} axis (mm)"
            print(f"  {label:<38} {t_:10.3f} {g_:10.3f} {100 * (g_ - t_) / t_:+9.2f}%")
    print(f"  {'stripe points on the targets':<38} {'':>10} {r['stripe_points']:10d}")
    for label, value in (("turntable axis direction (deg)", r["axis_angle_deg"]),
                         ("turntable axis at the object (mm)", r["axis_distance_mm"]),
                         ("scanned sphere centre (mm)", r["sphere_centre_mm"]),
                         ("cloud RMS to the true surfaces (mm)", r["surface_rms_mm"])):
        print(f"  {label:<38} {0:10.4f} {value:10.4f} {value:+10.4f}")
    for name in ("sphere", "cylinder"):
        t, m = r[name + "_radius_mm"]
        label = f"scanned {name} radius (mm)"
        print(f"  {label:<38} {t:10.3f} {m:10.3f} {100 * (m - t) / t:+9.2f}%")
    total, sphere, side = r["cloud_points"]
    print(f"  {'cloud points (sphere, cylinder side)':<38} {'':>10} {total:10d}  "
          f"({sphere}, {side})")
    print("\n  step                                              time")
    for label, seconds in r["times"]:
        print(f"  {label:<46} {1e3 * seconds:8.1f} ms")
    print(f"\n  overlay: {r['overlay']}")
    print(f"  cloud: {r['cloud']}, its views: {r['cloud_view']}")


# --- real inputs ----------------------------------------------------------------------

def read_image(path, what):
    try:
        return images.read_image(path, what=what)
    except RigError as e:
        raise SystemExit(f"demo: {e}") from None


class Chain(NamedTuple):
    """The chain's results on one frame: the corrected frame, the stripe's points (x, y) and
    their points on the target plane (N x 3), the object's axes in pixels
    (framemeasure.Axes) and on the plane (framemeasure.PlaneEllipse), and the outline of
    the ellipse in the image; the last three None when there is no object."""
    frame: np.ndarray
    stripe: np.ndarray
    points: np.ndarray
    axes: Optional[framemeasure.Axes]
    ellipse: Optional[framemeasure.PlaneEllipse]
    outline: Optional[np.ndarray]


def run_frame(tv, calib, frame_path, mask1, mask2, object_mask, args):
    _, maparray, w1, w2, w3, w4 = calib
    raw = read_image(frame_path, "frame")
    frame = tv.undistort_bilinear(raw, maparray, w1, w2, w3, w4)
    h, w = frame.shape
    cam = camera.Camera(args.focus, args.pixel, args.pixel, (h - 1) / 2, (w - 1) / 2)
    th2 = np.where(frame > args.threshold, 255, 0).astype(np.uint8)
    cols, rows = tv.get_laser_line(mask1, mask2, th2, 1)
    cols, rows = np.atleast_1d(cols), np.atleast_1d(rows)
    pts = camera.points_on_plane(cam, cols, rows, [0.0, 0.0, args.depth], [0.0, 0.0, 1.0])
    found = tv.get_short_long_intersection(object_mask)
    axes = ellipse = outline = None
    if found is not None:
        axes = framemeasure.Axes(*found)
        ellipse, outline = section_on_plane(tv, object_mask, cam,
                                            np.array([0.0, 0.0, args.depth]), np.eye(3),
                                            np.array([0.0, 0.0, 1.0]))
    return Chain(frame, np.stack([cols, rows], axis=1), pts, axes, ellipse, outline)


def run_real(args):
    tv = torvel_class()
    if not os.path.isfile(args.calib):
        raise SystemExit(f"demo: calibration file '{args.calib}' does not exist")
    try:
        calib = tv.get_calib_res(args.calib)
    except (KeyError, *calibfile.READ_ERRORS) as e:  # a file that is not a calibration file
        raise SystemExit(f"demo: cannot read calibration file '{args.calib}': {e}")
    mask1 = read_image(args.mask1, "mask1")
    mask2 = read_image(args.mask2, "mask2")
    object_mask = read_image(args.object_mask, "object mask")
    if args.frames:
        if not os.path.isdir(args.frames):
            raise SystemExit(f"demo: frames folder '{args.frames}' does not exist")
        names = sorted(n for n in os.listdir(args.frames)
                       if n.lower().endswith((".png", ".bmp", ".tif", ".tiff", ".jpg", ".pgm")))
        os.makedirs(OUT_DIR, exist_ok=True)
        with open(os.path.join(OUT_DIR, "frames.csv"), "w") as out:
            out.write("frame,stripe_points,long_px,short_px,long_mm,short_mm\n")
            for i, name in enumerate(names, 1):
                r = run_frame(tv, calib, os.path.join(args.frames, name), mask1, mask2,
                              object_mask, args)
                px = (r.axes.long_px, r.axes.short_px) if r.axes else ("", "")
                mm = (r.ellipse.long_mm, r.ellipse.short_mm) if r.ellipse else ("", "")
                out.write(f"{name},{len(r.points)},{px[0]},{px[1]},{mm[0]},{mm[1]}\n")
                done = int(30 * i / len(names))
                sys.stderr.write(f"\r  [{'#' * done}{'.' * (30 - done)}] {i}/{len(names)} {name[:30]:<30}")
                sys.stderr.flush()
        sys.stderr.write("\n")
        print(f"{len(names)} frames measured: {os.path.join(OUT_DIR, 'frames.csv')}")
        return
    r = run_frame(tv, calib, args.frame, mask1, mask2, object_mask, args)
    print(f"stripe points: {len(r.points)}")
    if len(r.points):
        print(f"stripe on the target at {args.depth} mm: x from {r.points[:, 0].min():.2f} to "
              f"{r.points[:, 0].max():.2f} mm")
    if r.axes is None:
        print("object: none larger than 100 pixels")
    else:
        print(f"object axes: long {r.axes.long_px:.2f} px, short {r.axes.short_px:.2f} px; on "
              f"the plane at {args.depth} mm: {r.ellipse.long_mm:.3f} x "
              f"{r.ellipse.short_mm:.3f} mm")
    path = os.path.join(OUT_DIR, "overlay.png")
    overlay(r.frame, r.stripe, r.axes, r.outline, path)
    print(f"overlay: {path}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calib", help="calibration file (pickle with param, map, w1..w4)")
    parser.add_argument("--frame", help="raw camera frame")
    parser.add_argument("--frames", help="folder of raw camera frames")
    parser.add_argument("--mask1", help="first stripe region mask")
    parser.add_argument("--mask2", help="second stripe region mask")
    parser.add_argument("--object-mask", help="mask of the object to measure")
    parser.add_argument("--focus", type=float, default=LensRig.FOCUS, help="focal length, mm")
    parser.add_argument("--pixel", type=float, default=LensRig.PIXEL, help="pixel pitch, mm")
    parser.add_argument("--depth", type=float, default=600.0, help="target depth, mm")
    parser.add_argument("--threshold", type=int, default=100, help="stripe threshold")
    args = parser.parse_args(argv)
    real = [args.calib, args.frame or args.frames, args.mask1, args.mask2, args.object_mask]
    if any(real):
        if not all(real):
            parser.error("real inputs need --calib, --frame (or --frames), --mask1, --mask2 "
                         "and --object-mask")
        run_real(args)
    else:
        run_synthetic()


if __name__ == "__main__":
    main()
