"""torvel-rig measure over 1920 x 1080 frames of the synthetic rig: frames per second on
one worker thread and on two. The frames are PNG files on disk (as a run reads them); the
calibration and plane files are written outside the timed region. The torvel column is two
workers, the composition column one: the speed-up is what the second worker gains.
OpenCV's own threads are off (cv2.setNumThreads(1)) so each frame runs on its worker."""
import contextlib
import io
import os
import sys
import tempfile

import cv2
import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))

FRAMES = 8


def _files():
    from test_rig_measure import true_plane_file
    from torvel_rig.synthetic import Rig

    d = tempfile.mkdtemp(prefix="bench-measure-")
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


def _run(d, frames, workers):
    from torvel_rig.cli import main

    args = ["measure", *frames, "--calib", os.path.join(d, "calib.pkl"), "--plane",
            os.path.join(d, "plane.json"), "-o", os.path.join(d, f"out{workers}"), "--quiet",
            "--workers", str(workers)]

    def run():
        previous = cv2.getNumThreads()
        cv2.setNumThreads(1)
        try:
            with contextlib.redirect_stdout(io.StringIO()):
                assert main(args) == 0
        finally:
            cv2.setNumThreads(previous)
    return run


def rows():
    d, frames = _files()
    return [(f"measure {FRAMES} frames 1920 x 1080: 2 workers vs 1",
             _run(d, frames, 2), _run(d, frames, 1))]
