"""Calibration file and undistortion of a 1920 x 1080 frame: torvel against the NumPy
composition of the same steps, and against the memory traffic each call must cause.

A "bound" row times a call on one thread against a NumPy copy that moves the same number
of bytes (reads plus writes) as the call must: map, weights and image read, image written
(for the reader: the file's bytes read and the arrays written). The copy runs through
memory, not cache, so its time is those bytes over the machine's copy bandwidth. The row's
speed-up column is the fraction of that bound reached (1.0x would be memory speed; 0.5x is
twice the bound).
"""
import atexit
import os
import pickle
import sys
import shutil
import tempfile

import cv2
import numpy as np

import torvel

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))
from test_calib import (ref_get_calib_res, ref_undistort_bilinear,  # noqa: E402  (the tests' composition)
                        ref_undistortion)

t = torvel.torvel_class()
H, W = 1080, 1920
N = H * W


def distortion_map():
    """A radial lens distortion: real source positions, the nearest map and bilinear weights."""
    r, c = np.mgrid[0:H, 0:W].astype(np.float64)
    y, x = (r - 539.5) / 1000.0, (c - 959.5) / 1000.0
    k = 1 + 0.08 * (x * x + y * y)
    sr, sc = y * k * 1000.0 + 539.5, x * k * 1000.0 + 959.5
    fr, fc = np.floor(sr), np.floor(sc)
    inside = (fr >= 0) & (fr < H) & (fc >= 0) & (fc < W)
    nearest = np.where(inside, np.rint(sr).clip(0, H - 1) * W + np.rint(sc).clip(0, W - 1), -1)
    real_map = np.where(inside, fr * W + fc + 0.5, -1.0)
    ar, ac = sr - fr, sc - fc
    w = [(1 - ar) * (1 - ac), (1 - ar) * ac, ar * (1 - ac), ar * ac]
    w16 = [np.floor(x * 65535).astype(np.uint16) for x in w]
    return nearest.astype(np.int64), real_map, w16


def on_threads(n, fn):
    """fn on n OpenCV threads; the switch is made once, in the untimed warm-up call."""
    def run():
        if cv2.getNumThreads() != n:
            cv2.setNumThreads(n)
        return fn()
    return run


_POOL = {}


def copy_moving(nbytes):
    """A NumPy copy that reads and writes nbytes in total, from memory rather than cache:
    each call copies the next window of a pool far larger than the caches."""
    if not _POOL:
        _POOL["src"] = np.ones(256 << 20, np.uint8)
        _POOL["dst"] = np.ones(256 << 20, np.uint8)  # touched, so no page faults in the timing
    src, dst = _POOL["src"], _POOL["dst"]
    half = nbytes // 2
    windows = len(src) // half
    state = {"i": 0}

    def run():
        k = state["i"] % windows
        state["i"] += 1
        np.copyto(dst[k * half:(k + 1) * half], src[k * half:(k + 1) * half])
    return run


def rows():
    rng = np.random.default_rng(1)
    img = rng.integers(0, 256, size=(H, W)).astype(np.uint8)
    nearest, real_map, w16 = distortion_map()
    w64 = [w.astype(np.int64) for w in w16]
    mb = lambda n: f"{n / 1e6:.1f} MB"

    threads = cv2.getNumThreads()
    out = []
    moved = nearest.nbytes + 2 * N
    out.append((f"undistortion, int64 map ({threads} threads)",
                on_threads(threads, lambda: t.undistortion(nearest, img)),
                lambda: ref_undistortion(nearest, img)))
    out.append((f"  1 thread vs bound ({mb(moved)} moved)",
                on_threads(1, lambda: t.undistortion(nearest, img)), copy_moving(moved)))

    for name, w in (("uint16", w16), ("int64", w64)):
        moved = real_map.nbytes + sum(x.nbytes for x in w) + 2 * N
        out.append((f"undistort_bilinear, float64 map, {name} weights ({threads} thr.)",
                    on_threads(threads, lambda w=w: t.undistort_bilinear(img, real_map, *w)),
                    lambda w=w: ref_undistort_bilinear(img, real_map, *w)))
        out.append((f"  1 thread vs bound ({mb(moved)} moved)",
                    on_threads(1, lambda w=w: t.undistort_bilinear(img, real_map, *w)),
                    copy_moving(moved)))

    folder = tempfile.mkdtemp(prefix="torvel-bench-")
    atexit.register(shutil.rmtree, folder, True)
    path = os.path.join(folder, "calibration.pkl")
    with open(path, "wb") as f:
        pickle.dump({"param": {"focus": 8.0, "size": (H, W)}, "map": real_map,
                     "w1": w16[0], "w2": w16[1], "w3": w16[2], "w4": w16[3]}, f, protocol=4)
    size = os.path.getsize(path)
    out.append(("get_calib_res, float64 map, uint16 weights",
                on_threads(threads, lambda: t.get_calib_res(path)), lambda: ref_get_calib_res(path)))
    out.append((f"  vs bound ({mb(2 * size)} moved)", lambda: t.get_calib_res(path),
                copy_moving(2 * size)))
    return out
