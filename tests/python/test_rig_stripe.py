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

from torvel_rig import calibrate_laser, cli, planefile, synthetic  # noqa: E402

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
