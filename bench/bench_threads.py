"""Throughput of two Python threads against one, on the two heaviest per-frame methods.

The interpreter lock is released while the core works, so two threads calling at once
should use both cores. OpenCV's own worker threads are switched off for these rows
(cv2.setNumThreads(1): the module and cv2 share one OpenCV), so each call runs on its
caller's thread. The "composition" column is one thread doing all the calls, the torvel
column two threads sharing them: the speed-up is the throughput gained.
"""
import threading

import cv2
import numpy as np

import torvel

t = torvel.torvel_class()
CALLS = 16


def run_threads(fn, nthreads):
    def work(count):
        for _ in range(count):
            fn()

    def run():
        previous = cv2.getNumThreads()
        cv2.setNumThreads(1)
        try:
            threads = [threading.Thread(target=work, args=(CALLS // nthreads,))
                       for _ in range(nthreads)]
            for th in threads:
                th.start()
            for th in threads:
                th.join()
        finally:
            cv2.setNumThreads(previous)
    return run


def rows():
    rng = np.random.default_rng(4)
    h, w = 1080, 1920
    img = rng.integers(0, 256, (h, w), dtype=np.uint8)
    maparray = (np.arange(h * w).reshape(h, w) + rng.uniform(-3, 3, (h, w))).clip(0, h * w - 1)
    weights = [rng.integers(0, 16384, (h, w), dtype=np.uint16) for _ in range(4)]
    mask = np.zeros((h, w), np.uint8)
    cv2.ellipse(mask, (900, 560), (380, 150), 28, 0, 360, 255, -1)
    bilinear = lambda: t.undistort_bilinear(img, maparray, *weights)  # noqa: E731
    axes = lambda: t.get_short_long_intersection(mask)  # noqa: E731
    return [
        (f"undistort_bilinear 1920 x 1080, {CALLS} calls: 2 threads vs 1",
         run_threads(bilinear, 2), run_threads(bilinear, 1)),
        (f"get_short_long_intersection 1920 x 1080, {CALLS} calls: 2 threads vs 1",
         run_threads(axes, 2), run_threads(axes, 1)),
    ]
