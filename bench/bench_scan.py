"""torvel-rig scan over 1920 x 1080 frames of the synthetic rig (a sphere on a turntable
beside a step, red laser) on one worker thread and on two. The torvel column is two
workers, the composition column one: the speed-up is what the second worker gains; frames
per second are FRAMES over a row's time, points per second the label's points over it. A
scan's first frame also searches for the stripe's direction, once, on its own: FRAMES is a
scan's length (RENDERS renders, each repeated), so that this search weighs as in a scan. The
frames are PNG files on disk (as a run reads them), BMP files (the same pixels in a format
that decodes by a copy), or already decoded (the per-frame work alone); the last rows time
one frame's steps on one thread. OpenCV's own threads are off
(cv2.setNumThreads(1)) so each frame runs on its worker."""
import atexit
import contextlib
import io
import os
import shutil
import tempfile

import cv2
from bench_measure import _single_threaded_opencv

RENDERS = 16
FRAMES = 64


def _files():
    from torvel_rig import synthetic as S

    d = tempfile.mkdtemp(prefix="bench-scan-")
    atexit.register(shutil.rmtree, d, ignore_errors=True)
    rig = S.Rig(width=1920, height=1080, supersample=1)
    rig.write_true_calibration(os.path.join(d, "calib.pkl"))
    S.write_true_plane(rig, os.path.join(d, "plane.json"))
    o, u, v = rig.plane_frame()
    axis = o + 40 * v
    shapes = [S.Sphere(o + 12 * rig.plane_normal - 5 * v, 25.0),
              S.Step(o + 30 * v, -v, u + rig.plane_normal, 8.0)]
    with open(os.path.join(d, "table.json"), "w") as f:
        f.write('{"point": [%r, %r, %r], "direction": [%r, %r, %r]}' % (*axis, *(-v)))
    frames = []
    for k in range(RENDERS):
        frames.append(os.path.join(d, f"f{k:02d}.png"))
        cv2.imwrite(frames[-1], S.render_scan_frame(rig, shapes, S.turned(axis, -v, 10 * k),
                                                    seed=k))
    return d, frames * (FRAMES // RENDERS)


def _bmp(d, frames):
    """The frames again as BMP files (the same pixels; decoding is a copy)."""
    out = []
    for f in frames:
        out.append(f[:-4] + ".bmp")
        if not os.path.exists(out[-1]):
            cv2.imwrite(out[-1], cv2.imread(f, cv2.IMREAD_COLOR))
    return out


def _context(d):
    from torvel_rig import calibfile, scan
    calib = calibfile.read_calibration(os.path.join(d, "calib.pkl"))
    return scan.Context(calib, *scan.laser_plane(os.path.join(d, "plane.json")), "red")


def _frames(ctx, frames, workers):
    from torvel_rig import scan

    def run():
        scan.run_frames(ctx, [(f, None) for f in frames], workers, None, lambda i, p: None)
    return _single_threaded_opencv(run)


def _decoded(ctx, frames, workers):
    """The per-frame work on frames already in memory: scan's reader swapped for a lookup."""
    from torvel_rig import scan
    images = {f: cv2.imread(f, cv2.IMREAD_COLOR) for f in frames}
    real = scan.read_image

    def run():
        scan.read_image = lambda path, color, what: images[path]
        try:
            return _frames(ctx, frames, workers)()
        finally:
            scan.read_image = real
    return run


def _command(d, frames, workers):
    from torvel_rig.cli import main
    args = ["scan", *frames, "--calib", os.path.join(d, "calib.pkl"), "--plane",
            os.path.join(d, "plane.json"), "--turntable", os.path.join(d, "table.json"),
            "--step", "10", "-o", os.path.join(d, f"cloud{workers}.ply"), "--quiet",
            "--workers", str(workers)]

    def run():
        with contextlib.redirect_stdout(io.StringIO()):
            assert main(args) == 0
    return _single_threaded_opencv(run)


def _steps(ctx, frame):
    from torvel_rig import scan, stripe
    raw = cv2.imread(frame, cv2.IMREAD_COLOR)
    own, rest = stripe.laser_and_rest(raw, "red")
    fixed = [ctx.calib.undistort(own), ctx.calib.undistort(rest)]
    con = stripe.contrast_of_laser(*fixed)
    angle = stripe.find_stripe(con).angle
    later = scan.Context(ctx.calib, ctx.plane_point, ctx.plane_normal, ctx.laser, angle)
    one = _single_threaded_opencv
    return [("scan, one frame: PNG read (cv2.imread)",
             one(lambda: cv2.imread(frame, cv2.IMREAD_COLOR)), None),
            ("scan, one frame: laser channel and the others' mean",
             one(lambda: stripe.laser_and_rest(raw, "red")), None),
            ("scan, one frame: their correction (2 planes)",
             one(lambda: [ctx.calib.undistort(own), ctx.calib.undistort(rest)]), None),
            ("scan, one frame: contrast",
             one(lambda: stripe.contrast_of_laser(*fixed)), None),
            ("scan, one frame: stripe search, angle given",
             one(lambda: stripe.find_stripe(con, angle=angle)), None),
            ("scan, one frame: stripe search with its direction search",
             one(lambda: stripe.find_stripe(con)), None),
            ("scan, one frame after the first: all of it (scan_frame, BMP)",
             one(lambda: scan.scan_frame(frame[:-4] + ".bmp", None, later)), None)]


def rows():
    d, frames = _files()
    ctx = _context(d)
    counted = []
    from torvel_rig import scan
    scan.run_frames(ctx, [(f, None) for f in frames], 1, None,
                    lambda i, p: counted.append(len(p.quality)))
    points = sum(counted)
    bmp = _bmp(d, frames)
    return [(f"scan, {FRAMES} PNG frames 1920 x 1080, {points} pts: 2 workers vs 1",
             _frames(ctx, frames, 2), _frames(ctx, frames, 1)),
            (f"scan, {FRAMES} BMP frames: 2 workers vs 1",
             _frames(ctx, bmp, 2), _frames(ctx, bmp, 1)),
            (f"scan, {FRAMES} decoded frames: 2 workers vs 1",
             _decoded(ctx, frames, 2), _decoded(ctx, frames, 1)),
            (f"torvel-rig scan command, {FRAMES} PNG frames: 2 workers vs 1",
             _command(d, frames, 2), _command(d, frames, 1))] + _steps(ctx, frames[0])
