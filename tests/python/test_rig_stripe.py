"""calibrate-laser on renders with what real frames bring: a reflection off the target, a
stripe continuing onto a wall behind it, a stripe saturating on white, a monochrome camera's
frames stored as three channels, a slanted stripe; the report of a refusal; a frame of a
moved laser dropped by its held-out error; a sheet edge-on to the camera."""
import csv
import json
import math
import os
import sys

import cv2
import numpy as np
import pytest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "python"))   # the working tree's package first

from torvel_rig import calibrate_laser, cli, pattern, planefile, stripe, synthetic  # noqa: E402

CHESS = ["--cols", "9", "--rows", "6", "--square", "15"]
FRAMES = 6


def calibrate(capsys, folder, frames, *extra):
    status = cli.main([str(a) for a in ["calibrate-laser", *frames, "--calib",
                                        folder / "true.pkl", *CHESS, "-o",
                                        folder / "plane.json", "--quiet", *extra]])
    out, err = capsys.readouterr()
    return status, out, err


def write(folder, name, img):
    path = str(folder / name)
    cv2.imwrite(path, img)
    return path


def reflect(img, rng):
    """A bright specular spot of the laser's colour somewhere on the frame."""
    spot = np.zeros(img.shape[:2], np.float32)
    x, y = int(rng.integers(150, 490)), int(rng.integers(120, 360))
    cv2.circle(spot, (x, y), 9, 255.0, -1)
    out = img.astype(np.float32)
    out[..., 2] += cv2.GaussianBlur(spot, (0, 0), 2.0)
    return np.clip(out, 0, 255).astype(np.uint8)


NUISANCES = {
    "reflection": dict(laser="red"),
    "wall": dict(laser="red", wall=150.0),
    "saturated": dict(laser="red", power=600.0),
    "monochrome": dict(laser="gray"),
    "slanted": dict(laser="red"),
}


@pytest.mark.parametrize("nuisance", sorted(NUISANCES))
def test_plane_holds_against_real_frames_nuisances(nuisance, tmp_path, capsys):
    rig = synthetic.Rig()
    if nuisance == "slanted":                  # a sheet whose stripe runs at about 40 deg
        rig.plane_normal = np.array([0.42, -0.5, 0.76]) / np.linalg.norm([0.42, -0.5, 0.76])
        rig.plane_offset = float(rig.plane_normal[2] * rig.axis_crossing)
    rig.write_true_calibration(str(tmp_path / "true.pkl"))
    rng = np.random.default_rng(5)
    render = dict(NUISANCES[nuisance])
    frames, offs = [], []
    for i, pose in enumerate(rig.laser_poses(FRAMES)):
        img = rig.render_board(pose, seed=i, **render)
        if nuisance == "reflection":
            img = reflect(img, rng)
        if nuisance == "monochrome":            # with its laser-off frames, as such rigs come
            off = rig.render_board(pose, laser_on=False, seed=i, **render)
            img = np.dstack([img, img, img])
            offs.append(write(tmp_path, f"off{i}.png", np.dstack([off, off, off])))
        frames.append(write(tmp_path, f"f{i}.png", img))
    extra = ["--background", *offs] if offs else []
    status, out, err = calibrate(capsys, tmp_path, frames, "--laser", "red", *extra)
    assert status == 0, err
    assert f"from {FRAMES} of {FRAMES} frames" in out
    assert ("is grey" in err) == (nuisance == "monochrome")
    plane = planefile.read_plane(str(tmp_path / "plane.json"))
    o = np.array([plane["Ox_lpts"], plane["Oy_lpts"], plane["Oz_lpts"]])
    angle, offset = rig.plane_error(plane["unit_normal"], o, o)
    assert angle < 0.1 and abs(offset) < 0.1 and plane["rms_mm"] < 0.1


def frames_table(folder):
    with open(folder / "frames.csv", newline="") as f:
        return list(csv.DictReader(f))


def test_a_refusal_writes_its_report_and_names_the_cause(tmp_path, capsys):
    rig = synthetic.Rig()
    rig.write_true_calibration(str(tmp_path / "true.pkl"))
    poses = rig.laser_poses(3)
    frames = [write(tmp_path, f"off{i}.png", rig.render_board(p, "red", False, seed=i))
              for i, p in enumerate(poses)]
    status, _, err = calibrate(capsys, tmp_path, frames, "--report", tmp_path / "report")
    assert status == 2 and not (tmp_path / "plane.json").exists()
    assert "too few laser stripe points on the board in every frame" in err
    rows = frames_table(tmp_path / "report")
    assert [r["frame"] for r in rows] == frames
    assert all(r["pattern_found"] == "yes" and r["reason"].startswith("too few stripe points")
               for r in rows)
    assert len([n for n in os.listdir(tmp_path / "report") if n.startswith("stripe_")]) == 3


def test_a_frame_of_a_moved_laser_is_dropped_by_its_held_out_error(tmp_path, capsys):
    rig = synthetic.Rig()
    rig.write_true_calibration(str(tmp_path / "true.pkl"))
    poses = rig.laser_poses(FRAMES + 1)
    frames = [write(tmp_path, f"f{i}.png", rig.render_board(p, "red", seed=i))
              for i, p in enumerate(poses[:FRAMES])]
    moved = synthetic.Rig()
    moved.plane_offset += 4.0                   # the laser knocked 4 mm along its normal
    frames.append(write(tmp_path, "moved.png", moved.render_board(poses[FRAMES], "red")))
    status, out, err = calibrate(capsys, tmp_path, frames, "--report", tmp_path / "report")
    assert status == 0, err
    assert f"from {FRAMES} of {FRAMES + 1} frames" in out and "held-out error: median" in out
    raw = json.loads((tmp_path / "plane.json").read_text())
    held = raw["validation"]["held_out_rms_mm"]
    assert sorted(held) == sorted(frames[:FRAMES])
    assert max(held.values()) < 0.1 and raw["validation"]["median_mm"] < 0.1
    moved_row = frames_table(tmp_path / "report")[-1]
    assert moved_row["reason"].startswith(calibrate_laser.Gate.HELD_OUT.value)
    assert float(moved_row["held_out_mm"]) > 1.0


def test_a_sheet_edge_on_to_the_camera_is_fitted():
    """A laser beside the lens: its sheet nearly contains the optical axis, which fit_plane's
    regression of z on x and y cannot represent in the camera frame."""
    rng = np.random.default_rng(2)
    n = np.array([1.0, 0.015, -0.003]) / np.linalg.norm([1.0, 0.015, -0.003])
    u = np.cross(n, [0.0, 1.0, 0.0])
    v = np.cross(n, u)
    s, t = rng.uniform(-60, 60, 2000), rng.uniform(400, 800, 2000)
    pts = -37.0 * n + s[:, None] * v + t[:, None] * u / np.linalg.norm(u)
    pts += rng.normal(0.0, 0.2, pts.shape) * n
    values = calibrate_laser.fit(pts, 1.0)
    normal = np.asarray(values[1])
    assert math.degrees(math.acos(min(1.0, abs(normal @ n)))) < 0.05
    assert np.abs(calibrate_laser.residuals(pts, values)).mean() < 0.2
    np.testing.assert_allclose(values[2] @ normal, [0, 0, 1], atol=1e-10)
    np.testing.assert_allclose(values[2] @ values[3], np.eye(3), atol=1e-10)


# --- the stripe finder and the printed sheet, on images made here -------------------------

def ridge(h=120, w=160, centre=60.3, sigma=2.0, top=200.0, ground=20.0):
    rows = np.arange(h, dtype=np.float64)[:, None]
    return np.broadcast_to(ground + top * np.exp(-0.5 * ((rows - centre) / sigma) ** 2),
                           (h, w)).copy()


def test_a_saturated_stripe_centres_on_the_middle_of_its_flat_top():
    # A red stripe clipped by the sensor turns white at its core: its red excess over the
    # other channels dips there, so the clipped run itself must give the centre.
    img = np.zeros((120, 160, 3), np.float64)
    red = ridge(centre=60.0, sigma=4.0, top=600.0, ground=30.0)
    img[..., 2] = red
    img[..., 0] = img[..., 1] = np.clip(red - 300.0, 30.0, None)    # the core turns white
    img = np.clip(img, 0, 255).astype(np.uint8)
    img[:, ::2] = np.roll(img[:, ::2], 1, axis=0)      # every other column one row lower
    found = stripe.find_stripe(stripe.contrast(img, "red"))
    truth = 60.0 + (found.xs % 2 == 0)
    assert found.size == 160 and np.abs(found.ys - truth).max() < 0.3


def test_grey_frames_are_found_grey_whatever_the_laser():
    grey = np.clip(ridge(), 0, 255).astype(np.uint8)
    con = stripe.contrast(np.dstack([grey, grey, grey]), "green")
    assert con.grey and con.reflectance is None
    np.testing.assert_array_equal(con.image, grey.astype(np.float32))


def test_the_line_fit_weighs_peaks_and_leaves_a_reflection_off():
    rng = np.random.default_rng(1)
    xs = np.arange(200.0)
    ys = 0.3 * xs + 40 + rng.normal(0, 0.3, xs.size)
    # a reflection: more points than the stripe's, but faint ones, on a line of their own
    rx, ry = np.arange(300.0), np.full(300, 150.0)
    weights = np.concatenate([np.full(200, 50.0), np.full(300, 5.0)])
    line, inliers = stripe.fit_line(np.r_[xs, rx], np.r_[ys, ry], 1.5, weights)
    assert inliers[:200].mean() > 0.95 and inliers[200:].sum() < 10
    assert abs(line.direction[1] / line.direction[0] - 0.3) < 0.01


def test_the_printed_sheet_ends_at_its_edge_on_a_floor_as_bright():
    h, w = 240, 320
    scene = np.full((h, w), 150.0)                      # the floor
    scene[40:200, 60:260] = 175.0                       # the sheet, barely brighter
    board = np.zeros((h, w), np.uint8)
    board[80:160, 100:220] = 255
    scene[80:160, 100:220] = np.where((np.add.outer(np.arange(80), np.arange(120)) // 20) % 2,
                                      175.0, 40.0)     # the print
    bound = np.full((h, w), 255, np.uint8)
    sheet = pattern.printed_sheet(scene.astype(np.float32), board, bound)
    assert sheet[100, 70] == 255 and sheet[190, 250] == 255    # the sheet's margin
    assert sheet[20, 20] == 0 and sheet[220, 300] == 0 and sheet[120, 280] == 0   # floor


def test_windows_beyond_the_print_count_as_uniform():
    a = np.array([[-30.0, 10.0], [200.0, 40.0], [7.0, 7.0], [14.0, 7.0]])
    b = np.array([[-30.0, 20.0], [200.0, 45.0], [8.0, 8.0], [16.0, 7.0]])
    np.testing.assert_array_equal(pattern.uniform_segments("chessboard", 9, 6, 15, a, b),
                                  [True, True, True, False])


def test_the_fast_paths_give_the_same_stripe():
    # The scan's contrast from corrected channels and its unmasked search give what the
    # calibration's general path gives, to the bit.
    rig = synthetic.Rig()
    pose = rig.laser_poses(1)[0]
    img = rig.render_board(pose, "red", power=400.0, seed=3)
    whole = stripe.contrast(img, "red")
    planes = stripe.contrast_of_planes([img[..., c] for c in range(3)], "red", False)
    np.testing.assert_array_equal(planes.image, whole.image)
    np.testing.assert_array_equal(planes.saturated, whole.saturated)
    assert planes.noise == whole.noise
    a = stripe.find_stripe(whole, angle=3.0)
    b = stripe.find_stripe(whole, np.full(img.shape[:2], 255, np.uint8), angle=3.0)
    for name in ("xs", "ys", "peak", "width"):
        np.testing.assert_array_equal(getattr(a, name), getattr(b, name))
    assert a.size > 100 and a.half_window == b.half_window

