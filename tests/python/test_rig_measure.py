"""torvel-rig measure on the embedded synthetic rig: millimetres against the rig's truth,
the same rows on one thread, two threads and a Dask cluster, and the frames or files that
cannot be measured."""
import csv
import pickle
import re

import cv2
import numpy as np
import pytest

from torvel import torvel_class
from torvel_rig import cluster, planefile
from torvel_rig.cli import main
from torvel_rig.synthetic import Rig

SECTIONS = [((40.0, 25.0), 30.0, (0.0, 0.0)), ((30.0, 22.0), 75.0, (8.0, -5.0)),
            ((45.0, 20.0), 150.0, (-6.0, 4.0))]


def true_plane_file(rig, path):
    """plane.json from fit_plane on points of the rig's true laser plane."""
    plane_file(path, *rig.plane_frame(), rig.plane_normal)


def plane_file(path, o, u, v, normal):
    """plane.json from fit_plane on points of the plane through o spanned by u and v."""
    g = np.random.default_rng(3).uniform(-60, 60, (400, 2))
    pts = o + g[:, :1] * u + g[:, 1:] * v
    pts[::2] += 1e-4 * normal       # points on both sides: a finite shift
    pts[1::2] -= 1e-4 * normal
    fit = torvel_class().fit_plane(pts.copy(), 1.0)
    planefile.write_plane(path, fit, [("truth", len(pts))], 1e-4, "calib.pkl")


@pytest.fixture(scope="module")
def rig_files(tmp_path_factory):
    d = tmp_path_factory.mktemp("measure")
    rig = Rig()
    rig.write_true_calibration(str(d / "calib.pkl"))
    true_plane_file(rig, str(d / "plane.json"))
    frames = []
    for i, (axes, angle, centre) in enumerate(SECTIONS):
        p = d / f"section{i}.png"
        cv2.imwrite(str(p), rig.render_section(axes, angle, centre, seed=i))
        frames.append(str(p))
    (d / "broken.png").write_bytes(b"not an image")
    cv2.imwrite(str(d / "dark.png"), np.full((rig.height, rig.width), 20, np.uint8))
    cv2.imwrite(str(d / "large.png"), np.zeros((rig.height + 2, rig.width), np.uint8))
    return d, frames


def measure(d, frames, out, *extra):
    return main(["measure", *frames, "--calib", str(d / "calib.pkl"), "--plane",
                 str(d / "plane.json"), "-o", str(out), "--quiet", *extra])


def rows(out):
    with open(out / "measurements.csv", newline="") as f:
        return list(csv.DictReader(f))


@pytest.fixture(scope="module")
def one_worker(rig_files, tmp_path_factory):
    d, frames = rig_files
    out = tmp_path_factory.mktemp("w1")
    assert measure(d, frames, out, "--overlays") == 0
    return out


def test_axes_in_mm_within_one_percent_of_truth(one_worker):
    errors = []
    for row, ((a, b), _, _) in zip(rows(one_worker), SECTIONS):
        assert row["status"] == "ok"
        errors += [float(row["long_mm"]) / (2 * a) - 1, float(row["short_mm"]) / (2 * b) - 1]
    assert max(map(abs, errors)) < 0.01
    # no half-pixel bias: pixel-centre contours alone come out about 0.6 % short here
    assert abs(np.mean(errors)) < 0.003
    overlay = cv2.imread(str(next((one_worker / "overlays").glob("0000_*.png"))))
    assert overlay is not None and overlay.shape == (480, 640, 3)
    assert (one_worker / "axes.png").stat().st_size > 0


def test_rows_identical_on_two_threads_and_a_cluster(rig_files, one_worker, tmp_path):
    distributed = pytest.importorskip("distributed")
    d, frames = rig_files
    assert measure(d, frames, tmp_path / "w2", "--workers", "2") == 0
    assert rows(tmp_path / "w2") == rows(one_worker)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False,
                                  dashboard_address=None) as cluster:
        assert measure(d, frames, tmp_path / "dask", "--scheduler", cluster.scheduler_address) == 0
    assert rows(tmp_path / "dask") == rows(one_worker)


def test_workers_without_the_toolkit_are_named_before_any_frame_is_sent(rig_files, tmp_path,
                                                                       capsys, monkeypatch):
    distributed = pytest.importorskip("distributed")
    d, frames = rig_files
    monkeypatch.setattr(cluster, "WORKER_MODULES", ("torvel", "torvel_rig_not_installed"))
    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=False,
                                  dashboard_address=None) as local:
        assert measure(d, frames, tmp_path / "out", "--scheduler", local.scheduler_address) == 2
        worker = next(iter(local.workers.values())).address
    err = capsys.readouterr().err.strip()
    assert len(err.splitlines()) == 1 and worker in err
    assert "cannot import torvel_rig_not_installed" in err and "-m dask worker" in err
    assert not (tmp_path / "out").exists()


def test_an_outline_off_the_laser_sheet_says_how_far_it_maps(rig_files, tmp_path):
    """A plane that the lines of sight of the object's top edge graze (its horizon a few
    rows above the object) puts the outline hundreds of metres across: more than
    from_cnt2cnt's grid holds, and no object of this rig."""
    d, frames = rig_files
    rig = Rig()
    k = rig.camera_matrix
    normal = np.array([0.0, 1.0, -(170 - k[1, 2]) / k[1, 1]])
    normal /= np.linalg.norm(normal)
    u = np.array([1.0, 0.0, 0.0])
    plane_file(str(tmp_path / "plane.json"), np.array([0.0, 0.0, 30000.0]), u,
               np.cross(normal, u), normal)
    (tmp_path / "calib.pkl").symlink_to(d / "calib.pkl")
    assert measure(tmp_path, frames[:1], tmp_path / "out") == 1
    error = rows(tmp_path / "out")[0]["error"]
    assert re.fullmatch(r"the object's outline maps \d+ m across the laser plane: it does not "
                        r"lie in the laser sheet, or the plane file is another rig's", error)
    assert 214 < float(error.split()[4]) < 1000


def test_a_broken_calibration_file_is_one_line(rig_files, tmp_path, capsys):
    d, frames = rig_files
    good = (d / "calib.pkl").read_bytes()
    for content in (b"", good[:len(good) // 2], b"plain text", pickle.dumps([1, 2]),
                    pickle.dumps(print)):
        (tmp_path / "calib.pkl").write_bytes(content)
        (tmp_path / "plane.json").write_bytes((d / "plane.json").read_bytes())
        assert measure(tmp_path, frames[:1], tmp_path / "out") == 2
        err = capsys.readouterr().err.strip()
        assert len(err.splitlines()) == 1 and "cannot read calibration file" in err, err


def test_a_failing_frame_is_a_row_and_the_run_goes_on(rig_files, one_worker, tmp_path, capsys):
    d, frames = rig_files
    run = [frames[0], str(d / "broken.png"), str(d / "dark.png"), str(d / "missing.png"),
           frames[1]]
    assert measure(d, run, tmp_path) == 0
    got = rows(tmp_path)
    assert [r["status"] for r in got] == ["ok", "error", "error", "error", "ok"]
    assert "not an image" in got[1]["error"] and "no object" in got[2]["error"]
    assert "does not exist" in got[3]["error"]
    assert got[4] == rows(one_worker)[1]


def test_no_frame_measured_exits_non_zero(rig_files, tmp_path):
    d, _ = rig_files
    assert measure(d, [str(d / "dark.png")], tmp_path) == 1
    assert rows(tmp_path)[0]["status"] == "error"


def test_calibration_of_another_size_is_refused(rig_files, tmp_path, capsys):
    d, _ = rig_files
    assert measure(d, [str(d / "large.png")], tmp_path / "out") == 2
    err = capsys.readouterr().err.strip()
    assert len(err.splitlines()) == 1 and "640 x 480" in err and "640 x 482" in err
    assert not (tmp_path / "out").exists()


def test_a_stray_reflection_and_a_plane_without_shift_change_nothing(rig_files, one_worker,
                                                                     tmp_path):
    """The library measures the first object of 100 pixels in the contour finder's order,
    and fit_plane leaves p_cos_one_point NaN when no point lies below the plane: measure
    keeps the largest object and falls back to the fitted plane's own point."""
    import json
    d, frames = rig_files
    img = cv2.imread(frames[0], cv2.IMREAD_GRAYSCALE)
    img[20:36, 20:36] = 210
    cv2.imwrite(str(tmp_path / "stray.png"), img)
    plane = json.loads((d / "plane.json").read_text())
    plane["shift"], plane["p_cos_one_point"] = None, [None, None, None]
    (tmp_path / "plane.json").write_text(json.dumps(plane))
    (tmp_path / "calib.pkl").symlink_to(d / "calib.pkl")
    assert measure(tmp_path, [str(tmp_path / "stray.png")], tmp_path / "out") == 0
    got, want = rows(tmp_path / "out")[0], rows(one_worker)[0]
    for key in ("long_px", "short_px", "long_mm", "short_mm", "angle_deg"):
        assert abs(float(got[key]) - float(want[key])) < 0.002 * float(want[key]) + 1e-3, key
