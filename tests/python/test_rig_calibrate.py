"""torvel-rig calibrate-camera and calibrate-laser: the calibration file's layout and its
round trip through get_calib_res, accuracy on OpenCV's sample views and on the package's
synthetic rig, and one refusal per kind of bad input."""
import glob
import json
import math
import os
import pickle
import subprocess
import sys

import cv2
import numpy as np
import pytest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "python"))   # the working tree's package first

import torvel  # noqa: E402
from torvel_rig import calibfile, camera, cli, planefile, stripe, synthetic  # noqa: E402

SAMPLES = "/usr/share/doc/opencv-doc/examples/data"
SAMPLE_VIEWS = sorted(glob.glob(os.path.join(SAMPLES, "left[01][0-9].jpg")))
CHESS = ["--cols", "9", "--rows", "6"]
try:
    import matplotlib  # noqa: F401
    HAVE_MPL = True
except ImportError:
    HAVE_MPL = False

tv = torvel.torvel_class()


def rig_cli(capsys, *argv):
    """Run torvel-rig in this process: (exit status, stdout, stderr lines)."""
    status = cli.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return status, out, [line for line in err.splitlines() if line.strip()]


def refused(capsys, output, *argv):
    """The command refuses with one line, status 2, and leaves no output file behind."""
    status, out, err = rig_cli(capsys, *argv)
    assert status == 2
    assert len(err) == 1 and err[0].startswith("torvel-rig: ")
    assert "Traceback" not in err[0]
    assert not os.path.exists(output)
    assert not [n for n in os.listdir(os.path.dirname(output)) if n.startswith(".")]
    return err[0]


def plain(value):
    """Only Python's plain data: dicts with text keys, lists, numbers, text, None."""
    if isinstance(value, dict):
        return all(type(k) is str and plain(v) for k, v in value.items())
    if isinstance(value, list):
        return all(plain(v) for v in value)
    return value is None or type(value) in (bool, int, float, str)


# --- the calibration file ---------------------------------------------------------------

def test_calibration_file_layout_and_round_trip(tmp_path):
    w, h = 64, 48
    k = np.array([[70.0, 0, 31.2], [0, 69.0, 24.4], [0, 0, 1]])
    dist = np.array([0.35, 0.1, 0.002, -0.001, 0.0])   # pincushion: corners have no source
    path = str(tmp_path / "c.pkl")
    calibfile.write_calibration(path, k, dist, (w, h), pixel_size=0.005, rms=0.2,
                                pattern="chessboard", cols=9, rows=6, square=25.0,
                                views_used=["a.png"])
    with open(path, "rb") as f:
        raw = pickle.load(f)
    assert set(raw) == {"param", "map", "w1", "w2", "w3", "w4"}     # no "shift": map as stored
    params, maparray, *weights = tv.get_calib_res(path)
    assert plain(params)
    for key in ("camera_matrix", "dist_coeffs", "image_size", "rms", "pattern", "square_size",
                "views_used", "focus", "pixel_sizer", "pixel_sizec", "center_row", "center_col"):
        assert key in params
    assert params["image_size"] == [w, h] and params["views_used"] == ["a.png"]
    assert params["focus"] == pytest.approx(70.0 * 0.005)
    assert params["pixel_sizer"] == pytest.approx(0.005 * 70.0 / 69.0)
    assert (params["center_row"], params["center_col"]) == (24.4, 31.2)
    assert maparray.dtype == np.int64 and maparray.shape == (h, w)
    np.testing.assert_array_equal(maparray, raw["map"])
    total = sum(x.astype(np.int64) for x in weights)
    assert all(x.dtype == np.uint16 and x.shape == (h, w) for x in weights)
    none = maparray == -1
    assert none[0, 0] and none.sum() < 0.2 * w * h               # corners fall outside
    assert np.all(total[~none] == 65535) and np.all(total[none] == 0)
    assert maparray.min() >= -1 and maparray.max() <= (h - 1) * w - 2
    # map and weights are the bilinear decomposition of the source positions
    xs, ys = calibfile.source_positions(k, dist, w, h)
    ok = ~none
    r0, c0 = maparray[ok] // w, maparray[ok] % w
    sx = c0 + weights[1][ok] / 65535 + weights[3][ok] / 65535
    sy = r0 + weights[2][ok] / 65535 + weights[3][ok] / 65535
    assert np.abs(sx - xs[ok]).max() < 1e-4 and np.abs(sy - ys[ok]).max() < 1e-4
    # the source positions are OpenCV's undistortion model
    mx, my = cv2.initUndistortRectifyMap(k, dist, None, k, (w, h), cv2.CV_32FC1)
    assert np.abs(xs - mx).max() < 1e-3 and np.abs(ys - my).max() < 1e-3
    c = calibfile.read_calibration(path)
    assert c.shape == (h, w) and c.camera == camera.camera_parameters(k, 0.005)
    np.testing.assert_allclose(camera.camera_matrix(c.camera), k)


def test_unreadable_calibration_file_names_it(tmp_path):
    bad = tmp_path / "not.pkl"
    bad.write_bytes(b"no pickle")
    for path in (bad, tmp_path / "missing.pkl"):
        with pytest.raises(calibfile.RigError, match=str(path)):
            calibfile.read_calibration(str(path))


def test_plane_file_round_trip_and_bad_files(tmp_path):
    pts = np.random.default_rng(3).normal(size=(50, 3)) * [20, 20, 0.001] + [0, 0, 300]
    fit = tv.fit_plane(pts.copy(), 1.0)
    fit = fit[:9] + (float("nan"),)                 # shift is NaN when no point lies below
    path = str(tmp_path / "plane.json")
    planefile.write_plane(path, fit, [("a.png", 50)], 0.01, "calib.pkl")
    assert json.loads(open(path).read())["shift"] is None
    back = planefile.read_plane(path)
    assert math.isnan(back["shift"]) and back["points_per_frame"] == [{"frame": "a.png",
                                                                       "points": 50}]
    np.testing.assert_array_equal(back["RRa"], fit[2])
    np.testing.assert_array_equal(planefile.fit_tuple(back)[7], fit[7])
    (tmp_path / "cut.json").write_text(open(path).read()[:100])
    for bad in (tmp_path / "cut.json", tmp_path / "missing.json"):
        with pytest.raises(planefile.RigError, match=str(bad)):
            planefile.read_plane(str(bad))


@pytest.mark.parametrize("vertical", [False, True])
def test_stripe_centre_line_is_sub_pixel_in_either_direction(vertical):
    h, w = 120, 160
    rows, cols = np.mgrid[0:h, 0:w].astype(np.float64)
    along, across = (rows, cols) if vertical else (cols, rows)
    centre = 37.3 + 0.21 * along                    # the true centre line
    img = 20 + 180 * np.exp(-0.5 * ((across - centre) / 2.2) ** 2)
    # a bright surface brighter than the stripe, wider than the window: no stripe there
    img = np.where((along > 100) & (np.abs(across - 105) < 12), 230, img)
    found = stripe.find_stripe(stripe.contrast(np.round(img).astype(np.uint8), "gray"))
    xs, ys = found.xs, found.ys
    assert abs(math.sin(math.radians(found.angle - (90 if vertical else 0)))) < 0.3
    a, c = (ys, xs) if vertical else (xs, ys)
    assert len(a) > 0.6 * (h if vertical else w) and np.abs(c - (37.3 + 0.21 * a)).max() < 0.1


# --- OpenCV's sample views ----------------------------------------------------------------

def reference_intrinsics():
    fs = cv2.FileStorage(os.path.join(SAMPLES, "left_intrinsics.yml"), cv2.FILE_STORAGE_READ)
    k = fs.getNode("camera_matrix").mat()
    fs.release()
    return k


@pytest.fixture(scope="module")
def sample_calibration(tmp_path_factory):
    if len(SAMPLE_VIEWS) != 13:
        pytest.skip("OpenCV's sample views (Debian's opencv-doc) are not installed")
    d = tmp_path_factory.mktemp("samples")
    argv = ["calibrate-camera", *SAMPLE_VIEWS, *CHESS, "--square", "25", "-o", d / "calib.pkl",
            "--quiet"] + (["--report", d / "report"] if HAVE_MPL else [])
    assert cli.main([str(a) for a in argv]) == 0
    return d


def test_sample_views_match_the_reference_intrinsics(sample_calibration):
    c = calibfile.read_calibration(str(sample_calibration / "calib.pkl"))
    ref = reference_intrinsics()
    k = c.camera_matrix
    assert abs(k[0, 0] / ref[0, 0] - 1) < 0.01 and abs(k[1, 1] / ref[1, 1] - 1) < 0.01
    assert math.hypot(k[0, 2] - ref[0, 2], k[1, 2] - ref[1, 2]) < 3.0
    assert c.params["views_used"] == SAMPLE_VIEWS and c.params["rms"] < 0.5


def test_undistort_bilinear_is_within_one_grey_level_of_exact_bilinear(sample_calibration):
    c = calibfile.read_calibration(str(sample_calibration / "calib.pkl"))
    xs, ys = calibfile.source_positions(c.camera_matrix, c.dist_coeffs, c.width, c.height)
    # weights summing to 65535 in 16-bit fixed point err by at most 4 * 255 / 65535 / 2
    slack = 2 * 255 / 65535
    for path in SAMPLE_VIEWS[::4]:
        raw = cv2.imread(path, cv2.IMREAD_GRAYSCALE)
        got = tv.undistort_bilinear(raw, c.maparray, *c.weights).astype(np.float64)
        exact = calibfile.bilinear_reference(raw, xs, ys)
        interior = np.isfinite(exact)
        interior[:2], interior[-2:], interior[:, :2], interior[:, -2:] = False, False, False, False
        diff = got[interior] - exact[interior]
        assert diff.max() <= slack and diff.min() >= -1 - slack     # truncation toward zero
        assert interior.sum() > 0.9 * raw.size


@pytest.mark.skipif(not HAVE_MPL, reason="matplotlib is not installed")
def test_camera_report(sample_calibration):
    rep = sample_calibration / "report"
    rows = (rep / "per_view_errors.csv").read_text().splitlines()
    assert rows[0] == "view,rms_px,points,detector,reason" and len(rows) == 14
    for name in ("per_view_errors.png", "first_view_undistorted.png"):
        img = cv2.imread(str(rep / name))
        assert img is not None and img.std() > 10
    assert cv2.imread(str(rep / "first_view_undistorted.png")).shape == (480, 640, 3)


# --- the synthetic rig --------------------------------------------------------------------

@pytest.fixture(scope="module")
def rig_files(tmp_path_factory):
    """The synthetic rig's files: chessboard views, ten stripe frames with their laser-off
    frames, the calibration file of the true intrinsics."""
    d = tmp_path_factory.mktemp("rig")
    rig = synthetic.Rig()
    views = rig.write_views(str(d / "views"), 12)
    on, off = rig.write_laser_frames(str(d / "laser"), 10)
    rig.write_true_calibration(str(d / "true.pkl"))
    return rig, d, views, on, off


def test_synthetic_camera_intrinsics(rig_files, capsys):
    rig, d, views, _, _ = rig_files
    status, out, _ = rig_cli(capsys, "calibrate-camera", *views, *CHESS, "--square",
                             rig.square, "--pixel-size", rig.pixel_size, "-o", d / "cam.pkl")
    assert status == 0 and "12 of 12 views" in out
    c = calibfile.read_calibration(str(d / "cam.pkl"))
    k, t = c.camera_matrix, rig.camera_matrix
    assert abs(k[0, 0] / t[0, 0] - 1) < 0.002 and abs(k[1, 1] / t[1, 1] - 1) < 0.002
    assert math.hypot(k[0, 2] - t[0, 2], k[1, 2] - t[1, 2]) < 1.0
    assert c.focus == pytest.approx(rig.focus, rel=0.002)
    # the lens: the corrected image's source positions agree with the truth's
    xs, ys = calibfile.source_positions(k, c.dist_coeffs, rig.width, rig.height)
    tx, ty = calibfile.source_positions(t, rig.dist_coeffs, rig.width, rig.height)
    assert np.hypot(xs - tx, ys - ty)[20:-20, 20:-20].max() < 0.5


def laser_argv(d, frames, calib, out, *extra):
    return ["calibrate-laser", *frames, "--calib", calib, *CHESS, "--square", "15", "-o", out,
            "--quiet", *extra]


def test_synthetic_laser_plane(rig_files, capsys):
    rig, d, _, on, off = rig_files
    out = d / "plane.json"
    extra = ["--background", *off] + (["--report", d / "laser_report"] if HAVE_MPL else [])
    status, text, _ = rig_cli(capsys, *laser_argv(d, on, d / "true.pkl", out, *extra))
    assert status == 0 and "from 10 of 10 frames" in text
    raw = json.loads(out.read_text())
    assert set(raw) == set(planefile.KEYS) | {"validation"}
    assert set(raw["plane"]) == {"a", "b", "c"} and raw["calib"] == str(d / "true.pkl")
    assert [p["frame"] for p in raw["points_per_frame"]] == on
    plane = planefile.read_plane(str(out))
    assert plane["RRa"].shape == (3, 3) and plane["normal_vec"].dtype == np.float64
    n = plane["unit_normal"]
    o = np.array([plane["Ox_lpts"], plane["Oy_lpts"], plane["Oz_lpts"]])
    a, b, c = (plane["plane"][k] for k in "abc")
    assert o[2] == pytest.approx(a * o[0] + b * o[1] + c)
    np.testing.assert_allclose(plane["RRa"] @ n, [0, 0, 1], atol=1e-10)
    angle, offset = rig.plane_error(n, o, o)
    assert angle < 0.05 and abs(offset) < 0.05
    assert plane["rms_mm"] < 0.05 and sum(p["points"] for p in raw["points_per_frame"]) > 300
    if HAVE_MPL:
        names = os.listdir(d / "laser_report")
        assert {"plane_3d.png", "residuals.png", "residuals.csv"} <= set(names)
        assert len([n for n in names if n.startswith("stripe_")]) == 10


def test_synthetic_laser_plane_on_an_asymmetric_circle_grid(tmp_path, capsys):
    """Circles: blob centres, the circles' measured radius keeps stripe windows off them."""
    rig = synthetic.Rig(pattern="acircles")
    on, _ = rig.write_laser_frames(str(tmp_path), 8, laser="green", background=False)
    rig.write_true_calibration(str(tmp_path / "true.pkl"))
    out = tmp_path / "plane.json"
    status, _, _ = rig_cli(capsys, "calibrate-laser", *on, "--calib", tmp_path / "true.pkl",
                           "--pattern", "acircles", "--cols", rig.cols, "--rows", rig.rows,
                           "--square", rig.square, "--laser", "green", "-o", out, "--quiet")
    assert status == 0
    plane = planefile.read_plane(str(out))
    o = np.array([plane["Ox_lpts"], plane["Oy_lpts"], plane["Oz_lpts"]])
    angle, offset = rig.plane_error(plane["unit_normal"], o, o)
    assert angle < 0.05 and abs(offset) < 0.05


# --- refusals -----------------------------------------------------------------------------

def test_refuses_a_pattern_found_in_too_few_views(rig_files, tmp_path, capsys):
    _, _, views, _, _ = rig_files
    out = str(tmp_path / "c.pkl")
    msg = refused(capsys, out, "calibrate-camera", *views[:2], "--cols", "7", "--rows", "5",
                  "--square", "15", "-o", out)
    assert "found in only 0 of 2 views" in msg and "--cols" in msg


def test_refuses_a_missing_view(rig_files, tmp_path, capsys):
    _, _, views, _, _ = rig_files
    out = str(tmp_path / "c.pkl")
    msg = refused(capsys, out, "calibrate-camera", views[0], tmp_path / "gone.png", *CHESS,
                  "--square", "15", "-o", out)
    assert str(tmp_path / "gone.png") in msg


def test_refuses_fewer_than_two_usable_frames(rig_files, tmp_path, capsys):
    _, d, _, on, off = rig_files
    out = str(tmp_path / "plane.json")
    msg = refused(capsys, out, *laser_argv(d, on[:1], d / "true.pkl", out))
    assert "only 1 of 1 frames usable" in msg and "two board poses" in msg


def test_refuses_board_poses_that_are_nearly_coplanar(rig_files, tmp_path, capsys):
    rig, d, _, _, _ = rig_files
    pose = rig.laser_poses(1)[0]
    frames = []
    for i in range(3):          # one pose, three exposures
        path = str(tmp_path / f"same{i}.png")
        cv2.imwrite(path, rig.render_board(pose, "red", seed=10 + i))
        frames.append(path)
    out = str(tmp_path / "plane.json")
    msg = refused(capsys, out, *laser_argv(d, frames, d / "true.pkl", out))
    assert "nearly coplanar" in msg


def test_refuses_too_few_stripe_points_on_the_board(rig_files, tmp_path, capsys):
    _, d, _, _, off = rig_files
    out = str(tmp_path / "plane.json")
    msg = refused(capsys, out, *laser_argv(d, off[:3], d / "true.pkl", out))   # laser off
    assert "too few laser stripe points on the board" in msg


def test_refuses_a_calibration_of_another_image_size(rig_files, tmp_path):
    """Through the real command line: status 2, one line, no traceback, no file."""
    _, d, _, on, _ = rig_files
    small = synthetic.Rig(320, 240)
    small.write_true_calibration(str(tmp_path / "small.pkl"))
    out = tmp_path / "plane.json"
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.join(ROOT, "python")] + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    proc = subprocess.run([sys.executable, "-m", "torvel_rig",
                           *map(str, laser_argv(d, on[:3], tmp_path / "small.pkl", out))],
                          capture_output=True, text=True, env=env, timeout=120)
    assert proc.returncode == 2 and proc.stdout == ""
    lines = proc.stderr.strip().splitlines()
    assert len(lines) == 1 and "Traceback" not in proc.stderr
    assert lines[0].startswith(f"torvel-rig: frame {on[0]} is 640 x 480")
    assert "320 x 240" in lines[0] and not out.exists()


def test_outputs_get_the_mode_a_plain_open_gives(tmp_path):
    from torvel_rig.output import atomic_output
    umask = os.umask(0o022)
    try:
        with atomic_output(tmp_path / "out.json", "w") as f:
            f.write("{}")
    finally:
        os.umask(umask)
    assert os.stat(tmp_path / "out.json").st_mode & 0o777 == 0o644


def test_a_view_far_worse_than_the_rest_is_left_out(rig_files, tmp_path, capsys):
    """A view whose board does not fit the others' camera (here sheared, as a rolling
    shutter or a warped print does) is left out, and the report says why."""
    rig, _, views, _, _ = rig_files
    bad = cv2.imread(views[0], cv2.IMREAD_GRAYSCALE)
    shear = np.float32([[1, 0.08, -20], [0, 1, 0]])
    cv2.imwrite(str(tmp_path / "sheared.png"), cv2.warpAffine(bad, shear, bad.shape[::-1]))
    given = [str(tmp_path / "sheared.png")] + views[1:]
    status, out, err = rig_cli(capsys, "calibrate-camera", *given, *CHESS, "--square",
                               rig.square, "-o", tmp_path / "c.pkl", "--report",
                               tmp_path / "report")
    assert status == 0 and "from 11 of 12 views" in out
    assert any("left out for a reprojection error" in line for line in err)
    rows = (tmp_path / "report" / "per_view_errors.csv").read_text().splitlines()
    assert any(r.startswith(given[0]) and "reprojection error" in r for r in rows)
