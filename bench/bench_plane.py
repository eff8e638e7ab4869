"""Laser plane fit and contour-to-plane mapping: torvel against the composition of NumPy,
cv2 and scikit-learn (the reference functions of tests/python/test_plane.py)."""
import os
import sys

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))

import torvel  # noqa: E402
from test_plane import (CAM, ellipse_contour, laser_scene, ref_fit_plane,  # noqa: E402
                        ref_from_cnt2cnt)

t = torvel.torvel_class()


def rows():
    out = []
    for n in (2000, 20000):
        # fit_plane centres its argument in place: both sides fit a fresh copy.
        pts = laser_scene(1, n, 0.2)
        out.append((f"fit_plane, N = {n:,}, 20 % outliers",
                    lambda pts=pts: t.fit_plane(pts.copy(), 1.0),
                    lambda pts=pts: ref_fit_plane(pts.copy(), 1.0)))
    _, normal_vec, RRa, _, _, _, _, p_cos, _, _ = t.fit_plane(laser_scene(2), 1.0)
    xs, ys = ellipse_contour(3)
    while len(xs) < 2000:
        xs, ys = np.concatenate([xs, xs]), np.concatenate([ys, ys])
    xs, ys = xs[:2000], ys[:2000]
    args = (xs, ys, *CAM, p_cos, RRa, normal_vec)
    out.append(("from_cnt2cnt, 2,000-point contour",
                lambda: t.from_cnt2cnt(*args), lambda: ref_from_cnt2cnt(*args)))
    return out
