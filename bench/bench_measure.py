"""torvel-rig measure over 1920 x 1080 frames of the synthetic rig on one worker thread and
on two. The frames are PNG files on disk (as a run reads them); the calibration and plane
files are written outside the timed region. The torvel column is two workers, the
composition column one: the speed-up is what the second worker gains. The first row times
the frames alone (what frames per second counts), the second the whole command, which also
reads the 32 MB calibration file and writes the table and the plot on one thread. OpenCV's
own threads are off (cv2.setNumThreads(1)) so each frame runs on its worker."""
import atexit
import contextlib
import io
import os
import shutil
import sys
import tempfile

import cv2
import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))

FRAMES = 16


def _files():
    from test_rig_measure import true_plane_file
    from torvel_rig.synthetic import Rig

    d = tempfile.mkdtemp(prefix="bench-measure-")
    atexit.register(shutil.rmtree, d, ignore_errors=True)
    rig = Rig(width=1920, height=1080, supersample=1)
    rig.write_true_calibration(os.path.join(d, "calib.pkl"))
    true_plane_file(rig, os.path.join(d, "plane.json"))
    rng = np.random.default_rng(8)
    frames = []
    for i in range(FRAMES):
        path = os.path.join(d, f"section{i}.png")
        img = rig.render_section((rng.uniform(30, 45), rng.uniform(18, 28)),
                                 rng.uniform(0, 180), tuple(rng.uniform(-8, 8, 2)), seed=i)
        cv2.imwrite(path, img)
        frames.append(path)
    return d, frames


def _single_threaded_opencv(fn):
    def run():
        previous = cv2.getNumThreads()
        cv2.setNumThreads(1)
        try:
            fn()
        finally:
            cv2.setNumThreads(previous)
    return run


def _frames(d, frames, workers):
    from torvel_rig import calibfile, measure, planefile
    from torvel_rig.framemeasure import Context

    calib = calibfile.read_calibration(os.path.join(d, "calib.pkl"))
    plane = planefile.read_plane(os.path.join(d, "plane.json"))
    ctx = Context(calib, plane)
    jobs = [(f, None) for f in frames]

    def check(i, result):
        assert result.row["status"] == "ok"
    return _single_threaded_opencv(
        lambda: measure.run_frames(ctx, jobs, workers, None, check))


def _run(d, frames, workers):
    from torvel_rig.cli import main

    args = ["measure", *frames, "--calib", os.path.join(d, "calib.pkl"), "--plane",
            os.path.join(d, "plane.json"), "-o", os.path.join(d, f"out{workers}"), "--quiet",
            "--workers", str(workers)]

    def run():
        with contextlib.redirect_stdout(io.StringIO()):
            assert main(args) == 0
    return _single_threaded_opencv(run)


def rows():
    d, frames = _files()
    return [(f"measure, {FRAMES} frames 1920 x 1080: 2 workers vs 1",
             _frames(d, frames, 2), _frames(d, frames, 1)),
            (f"torvel-rig measure command, {FRAMES} frames: 2 workers vs 1",
             _run(d, frames, 2), _run(d, frames, 1))]
