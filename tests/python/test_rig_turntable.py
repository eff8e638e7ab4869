"""torvel-rig calibrate-turntable: the axis and angles on the synthetic rig's renders, the
geometry's orientation and unwrapping on exact poses, one refusal per kind of bad input."""
import json
import math
import os
import sys

import numpy as np
import pytest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "python"))   # the working tree's package first

from torvel_rig import cli, images, synthetic, turntable  # noqa: E402

try:
    import matplotlib  # noqa: F401
    HAVE_MPL = True
except ImportError:
    HAVE_MPL = False

N, SPAN = 7, 90.0


def rig_cli(capsys, *argv):
    status = cli.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return status, out, [line for line in err.splitlines() if line.strip()]


def write_frames(rig, folder, poses, prefix="table"):
    os.makedirs(folder, exist_ok=True)
    paths = [os.path.join(folder, f"{prefix}{i:02d}.png") for i in range(len(poses))]
    for i, (path, pose) in enumerate(zip(paths, poses)):
        images.write_image(path, rig.render_board(pose, seed=i))
    return paths


def argv(frames, calib, out, *extra):
    return ["calibrate-turntable", *frames, "--calib", calib, "--cols", "9", "--rows", "6",
            "--square", "15", "-o", out, "--quiet", *extra]


def angle_deg(a, b):
    return math.degrees(math.atan2(np.linalg.norm(np.cross(a, b)), float(a @ b)))


@pytest.fixture(scope="module")
def table(tmp_path_factory):
    d = tmp_path_factory.mktemp("turntable")
    rig = synthetic.Rig()
    poses = rig.turntable_poses(N, SPAN)
    rig.write_true_calibration(str(d / "true.pkl"))
    return rig, d, poses, write_frames(rig, str(d / "frames"), poses)


def test_axis_and_angles_on_the_synthetic_rig(table, capsys):
    rig, d, poses, frames = table
    out = d / "turntable.json"
    report = ["--report", d / "report"] if HAVE_MPL else []
    status, text, _ = rig_cli(capsys, *argv(frames, d / "true.pkl", out, *report))
    assert status == 0 and f"from {N} of {N} frames" in text
    rec = json.loads(out.read_text())
    assert rec["frames"] == frames and rec["calib"] == str(d / "true.pkl")
    truth = rig.turntable_axis()
    fitted = turntable.Axis(np.array(rec["point"]), np.array(rec["direction"]))
    assert angle_deg(fitted.direction, truth.direction) < 0.1
    centre = poses[0].R @ rig.object_points().mean(axis=0) + poses[0].t
    assert fitted.distance(truth.nearest(centre)) < 0.2
    # the point is the one nearest the first frame's pattern centre
    assert abs((centre - fitted.point) @ fitted.direction) < 0.1
    np.testing.assert_allclose(rec["angles_deg"], np.linspace(0, SPAN, N), atol=0.05)
    assert rec["circle_rms_mm"] < 0.05 and rec["axis_spread_deg"] < 0.1
    if HAVE_MPL:
        assert {"frames.csv", "circles.png", "axis_3d.png"} <= set(os.listdir(d / "report"))


def test_direction_is_oriented_by_the_turn_and_angles_unwrap_past_half_a_turn():
    """Exact poses: frames given in reverse order flip the direction, not the angles' sign;
    a turn of 300 degrees in steps below half a turn comes out as 300, not -60."""
    rig = synthetic.Rig()
    truth = rig.turntable_axis()
    obj = rig.object_points()
    poses = rig.turntable_poses(8, 300.0)[::-1]
    fit = turntable.fit_turntable([p.R for p in poses],
                                  np.stack([obj @ p.R.T + p.t for p in poses]))
    assert angle_deg(fit.axis.direction, -truth.direction) < 1e-6
    np.testing.assert_allclose(fit.angles_deg, np.linspace(0, 300.0, 8), atol=1e-6)
    assert truth.distance(fit.axis.point) < 1e-6 and fit.circle_rms_mm < 1e-6


def blank(folder):
    path = os.path.join(folder, "blank.png")
    images.write_image(path, np.full((480, 640), 90, np.uint8))
    return path


def slid(poses, mm=4.0):
    """The pattern pushed `mm` along its rows on the table after the third frame."""
    return poses[:3] + [synthetic.Pose(p.R, p.t + mm * p.R[:, 0]) for p in poses[3:]]


@pytest.mark.parametrize("case, expect", [
    ("two usable", "only 2 of 4 frames usable (2 pattern not found)"),
    ("small span", "turned through only 10.0 degrees"),
    ("slid", "do not move on circles"),
    ("by hand", "not of one turntable"),
])
def test_refusals_are_one_line_and_write_no_file_but_the_report(table, tmp_path, capsys,
                                                                case, expect):
    rig, d, poses, frames = table
    if case == "two usable":
        frames = frames[:2] + [blank(str(tmp_path))] * 2
    elif case == "small span":
        frames = write_frames(rig, str(tmp_path), rig.turntable_poses(3, 10.0))
    elif case == "slid":
        frames = write_frames(rig, str(tmp_path), slid(poses))
    else:
        frames = write_frames(rig, str(tmp_path), rig.view_poses(4))
    out = tmp_path / "out" / "turntable.json"
    status, _, err = rig_cli(capsys, *argv(frames, d / "true.pkl", out, "--report",
                                            tmp_path / "report"))
    assert status == 2 and len(err) - sum("not used" in e for e in err) == 1
    assert err[-1].startswith("torvel-rig: ") and expect in err[-1]
    assert not os.path.exists(out)
    rows = (tmp_path / "report" / "frames.csv").read_text().splitlines()
    assert len(rows) == len(frames) + 1
