"""torvel-rig scan on the synthetic rig: a sphere turning on a table and a step sliding
through the laser sheet come back on their true surfaces; the PLY's layout byte for byte;
the same cloud on one thread, two and a Dask cluster; the refusals and a frame that fails."""
import json

import cv2
import numpy as np
import pytest

from torvel_rig import plyfile
from torvel_rig import synthetic as S
from torvel_rig.cli import main

TURNS = 24                  # frames of the turning sphere, 15 degrees apart
SLIDES, SLIDE_MM = 16, 1.5  # frames of the sliding step


@pytest.fixture(scope="module")
def scene(tmp_path_factory):
    d = tmp_path_factory.mktemp("scan")
    rig = S.Rig()
    rig.write_true_calibration(str(d / "calib.pkl"))
    S.write_true_plane(rig, str(d / "plane.json"))
    o, u, v = rig.plane_frame()
    up = -v                                        # the table's axis lies in the sheet
    axis = o + 40 * v
    (d / "table.json").write_text(json.dumps({"point": axis.tolist(), "direction": up.tolist(),
                                              "rms_mm": 0.1}))
    sphere = S.Sphere(o + 12 * rig.plane_normal + 5 * up, 25.0)
    turns = []
    for k in range(TURNS):
        turns.append(str(d / f"turn{k:02d}.png"))
        cv2.imwrite(turns[-1], S.render_scan_frame(rig, [sphere], S.turned(axis, up, 15 * k),
                                                   seed=k))
    # A conveyor across the sheet; the step's edge meets the sheet between frames 7 and 8.
    slide = -rig.plane_normal
    across = np.cos(np.radians(30)) * rig.plane_normal + np.sin(np.radians(30)) * u
    step = S.Step(o + 30 * v - 7.5 * SLIDE_MM * slide, up, across, 8.0)
    slides = []
    for k in range(SLIDES):
        slides.append(str(d / f"slide{k:02d}.png"))
        cv2.imwrite(slides[-1], S.render_scan_frame(rig, [step], S.moved(slide, k * SLIDE_MM),
                                                    seed=k))
    return dict(d=d, rig=rig, axis=axis, up=up, sphere=sphere, turns=turns, step=step,
                slide=slide, slides=slides)


def scan(scene, frames, out, *motion):
    d = scene["d"]
    return main(["scan", *frames, "--calib", str(d / "calib.pkl"), "--plane",
                 str(d / "plane.json"), *motion, "-o", str(out), "--quiet"])


def xyz(path):
    v = plyfile.read_ply(path).vertices
    return np.stack([v["x"], v["y"], v["z"]], axis=1).astype(np.float64)


def sphere_fit(p):
    """Centre and radius of the least-squares sphere through N x 3 points."""
    a = np.c_[2 * p, np.ones(len(p))]
    sol = np.linalg.lstsq(a, (p ** 2).sum(axis=1), rcond=None)[0]
    return sol[:3], float(np.sqrt(sol[3] + sol[:3] @ sol[:3]))


def test_a_turning_sphere_comes_back_on_the_sphere(scene, tmp_path):
    table = str(scene["d"] / "table.json")
    assert scan(scene, scene["turns"], tmp_path / "step.ply", "--turntable", table,
                "--step", "15") == 0
    # The same frames backwards, by an angle log: turns of minus 15 degrees, the cloud in
    # the camera frame of the last pose.
    angles = tmp_path / "angles.txt"
    angles.write_text("# encoder\n" + "".join(f"{-15 * k}\n" for k in range(TURNS)))
    assert scan(scene, scene["turns"][::-1], tmp_path / "log.ply", "--turntable", table,
                "--angles", str(angles)) == 0
    R, t = S.turned(scene["axis"], scene["up"], 15 * (TURNS - 1))
    last = S.Sphere(R @ scene["sphere"].centre + t, scene["sphere"].radius)
    for cloud, truth in ((tmp_path / "step.ply", scene["sphere"]), (tmp_path / "log.ply", last)):
        p = xyz(cloud)
        assert len(p) > 20 * TURNS
        centre, radius = sphere_fit(p)
        assert abs(radius / truth.radius - 1) < 0.002
        assert np.linalg.norm(centre - truth.centre) < 0.2
        assert np.sqrt(np.mean(truth.distance(p) ** 2)) <= 0.1


def test_a_sliding_step_keeps_its_height_and_place(scene, tmp_path):
    direction = ",".join(repr(float(x)) for x in scene["slide"])
    assert scan(scene, scene["slides"], tmp_path / "c.ply", "--linear", str(SLIDE_MM),
                f"--direction={direction}") == 0
    p = xyz(tmp_path / "c.ply")
    step = scene["step"]
    u, z = step._coords(p.T)
    away = np.abs(u) > 1.5                  # the edge's mixed pixels aside
    assert np.count_nonzero(away & (u > 0)) > 1000 and np.count_nonzero(away & (u < 0)) > 1000
    assert abs(z[away & (u > 0)].mean() - z[away & (u < 0)].mean() - step.height) < 0.05
    # a wrong or missing slide would put the faces' points beside the edge, not on it
    assert np.sqrt(np.mean(step.distance(p[away]) ** 2)) <= 0.1


def test_ply_layout_byte_for_byte(tmp_path):
    v = np.zeros(2, plyfile.VERTEX)
    v["x"], v["y"], v["z"] = [1.5, -2.0], [0.25, 3.0], [400.0, 401.0]
    v["red"], v["green"], v["blue"] = [255, 1], [2, 3], [4, 5]
    v["frame"], v["quality"] = [0, 70000], [12.5, 0.0]
    plyfile.write_ply(tmp_path / "c.ply", v, ["camera frame of frame 0", "a\nb.pkl"])
    data = (tmp_path / "c.ply").read_bytes()
    head = (b"ply\nformat binary_little_endian 1.0\ncomment camera frame of frame 0\n"
            b"comment a b.pkl\nelement vertex 2\nproperty float x\nproperty float y\n"
            b"property float z\nproperty uchar red\nproperty uchar green\n"
            b"property uchar blue\nproperty uint frame\nproperty float quality\nend_header\n")
    assert data[:len(head)] == head
    rec = (np.float32(1.5).tobytes() + np.float32(0.25).tobytes() + np.float32(400).tobytes()
           + bytes([255, 2, 4]) + np.uint32(0).tobytes() + np.float32(12.5).tobytes())
    assert len(data) == len(head) + 2 * 23 and data[len(head):len(head) + 23] == rec
    back = plyfile.read_ply(tmp_path / "c.ply")
    assert back.comments == ["camera frame of frame 0", "a b.pkl"]
    assert back.vertices.dtype == plyfile.VERTEX and np.array_equal(back.vertices, v)


def test_same_cloud_on_threads_and_a_cluster(scene, tmp_path):
    frames = scene["turns"][:6]
    motion = ("--turntable", str(scene["d"] / "table.json"), "--step", "15")
    assert scan(scene, frames, tmp_path / "1.ply", *motion, "--workers", "1",
                "--profiles", str(tmp_path / "p.csv")) == 0
    assert scan(scene, frames, tmp_path / "2.ply", *motion, "--workers", "2") == 0
    one = (tmp_path / "1.ply").read_bytes()
    assert (tmp_path / "2.ply").read_bytes() == one
    table = np.loadtxt(tmp_path / "p.csv", delimiter=",", skiprows=1)
    v = plyfile.read_ply(tmp_path / "1.ply").vertices
    assert np.array_equal(table[:, 0], v["frame"]) and np.allclose(table[:, 3], v["x"], atol=1e-4)
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False,
                                  dashboard_address=None) as cluster:
        assert scan(scene, frames, tmp_path / "d.ply", *motion, "--scheduler",
                    cluster.scheduler_address) == 0
    assert (tmp_path / "d.ply").read_bytes() == one


def test_refusals_and_a_frame_that_fails(scene, tmp_path, capsys):
    frames = scene["turns"][:3]
    table = str(scene["d"] / "table.json")
    with pytest.raises(SystemExit) as e:                  # no motion given
        scan(scene, frames, tmp_path / "c.ply")
    assert e.value.code == 2
    (tmp_path / "a.txt").write_text("0\n15\n")
    (tmp_path / "zero.json").write_text('{"point": [0, 0, 300], "direction": [0, 0, 0]}')
    dark = tmp_path / "dark.png"
    cv2.imwrite(str(dark), np.full((480, 640, 3), 20, np.uint8))
    for args, says in (((frames, "--turntable", table, "--angles", str(tmp_path / "a.txt")),
                        "gives 2 angles for 3 frames"),
                       ((frames, "--turntable", str(tmp_path / "zero.json"), "--step", "5"),
                        "zero vector"),
                       (([str(dark)] * 2, "--static"), "no stripe point in any of the 2")):
        capsys.readouterr()
        assert scan(scene, args[0], tmp_path / "c.ply", *args[1:]) == 2
        err = capsys.readouterr().err.strip().splitlines()
        assert says in err[-1] and err[-1].startswith("torvel-rig: ")
        assert not (tmp_path / "c.ply").exists()
    broken = tmp_path / "broken.png"
    broken.write_bytes(b"not an image")
    assert scan(scene, [frames[0], str(broken)], tmp_path / "c.ply", "--static") == 0
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and str(broken) in err[0]
    assert set(plyfile.read_ply(tmp_path / "c.ply").vertices["frame"]) == {0}


def test_clean_drops_a_reflection_and_keeps_the_surface(scene, tmp_path):
    rig, step = scene["rig"], scene["step"]
    img = S.render_scan_frame(rig, [step], seed=50)
    img[60:63, 100:600:50, 2] = 255             # specks of glare far above the stripe
    frame = str(tmp_path / "speck.png")
    cv2.imwrite(frame, img)
    off = str(tmp_path / "off.png")
    cv2.imwrite(off, S.render_scan_frame(rig, [step], laser_on=False, seed=51))
    for extra in ((), ("--clean",)):
        assert scan(scene, [frame], tmp_path / "c.ply", "--static", "--background", off,
                    *extra) == 0
        v = plyfile.read_ply(tmp_path / "c.ply").vertices
        stray = step.distance(xyz(tmp_path / "c.ply")) > 5
        assert np.count_nonzero(stray) == (0 if extra else 10)
        assert len(v) > 550
    # colours of the laser-off frame: grey, no red stripe in them
    assert np.abs(v["red"].astype(int) - v["green"]).max() <= 8


def test_colours_come_from_the_raw_pixel_nearest_each_points_source(tmp_path):
    # A strongly distorted camera: a corrected pixel's colour is the raw image's at its
    # source, not the raw image's at the same place.
    from torvel_rig import calibfile, scan
    w, h = 64, 48
    k = np.array([[60.0, 0, 31.5], [0, 60.0, 23.5], [0, 0, 1]])
    dist = np.array([-0.3, 0.1, 0.002, -0.001, 0.0])
    calibfile.write_calibration(tmp_path / "c.pkl", k, dist, (w, h))
    calib = calibfile.read_calibration(tmp_path / "c.pkl")
    raw = np.arange(h * w * 3, dtype=np.uint32).reshape(h, w, 3).astype(np.uint8)
    ys, xs = np.mgrid[4:h - 4, 4:w - 4]
    ys, xs = ys.ravel().astype(float), xs.ravel().astype(float)
    sx, sy = calibfile.source_positions(k, dist, w, h)
    sx, sy = sx[ys.astype(int), xs.astype(int)], sy[ys.astype(int), xs.astype(int)]
    clear = (np.abs(sx % 1 - 0.5) > 0.01) & (np.abs(sy % 1 - 0.5) > 0.01)  # no near-ties
    want = raw[np.rint(sy).astype(int), np.rint(sx).astype(int)][:, ::-1]
    got = scan._colours(raw, calib, xs, ys)
    assert np.array_equal(got[clear], want[clear])
    assert np.count_nonzero(np.any(want != raw[ys.astype(int), xs.astype(int)][:, ::-1], 1)) > 100
