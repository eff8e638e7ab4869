"""Laser line extraction: torvel against the composition of NumPy, cv2 and scikit-learn (the
reference function of tests/python/test_laser.py) on 1920 x 1080 frames: 50 blobs with sensor
specks, and a clean stripe of 30 blobs (about 2,300 stripe pixels) beside the cost of reading
the inputs once."""
import os
import sys

import cv2
import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))

import torvel  # noqa: E402
from samples import ref_get_laser_line  # noqa: E402

t = torvel.torvel_class()

ROWS, COLS = 1080, 1920


def frame(seed, blobs=50, outliers=10, margin=20, lengths=(3, 9), specks=200):
    """A stripe across the frame: blobs along a line, outlier blobs and sensor specks."""
    rng = np.random.default_rng(seed)
    th2 = np.zeros((ROWS, COLS), np.uint8)
    for x in np.linspace(margin, COLS - margin, blobs).astype(int):
        y = int(500 + 0.08 * x + rng.normal(0, 1.0))
        cv2.ellipse(th2, (int(x), y), (int(rng.integers(*lengths)), int(rng.integers(2, 4))), 0,
                    0, 360, 255, -1)
    for _ in range(outliers):
        cv2.circle(th2, (int(rng.integers(0, COLS)), int(rng.integers(0, ROWS))), 3, 255, -1)
    if specks:
        th2[rng.integers(0, ROWS, specks), rng.integers(0, COLS, specks)] = 255
    return th2


def stripe_frame(seed):
    """A clean stripe across the frame: 30 dashes along a line and two stray reflections."""
    return frame(seed, blobs=30, outliers=2, margin=30, lengths=(5, 10), specks=0)


def band_masks():
    """The two halves of a 240-row band around the expected stripe."""
    mask1 = np.zeros((ROWS, COLS), np.uint8)
    mask2 = np.zeros((ROWS, COLS), np.uint8)
    mask1[420:660, :COLS // 2] = 255
    mask2[480:720, COLS // 2:] = 255
    return mask1, mask2


def half_masks():
    """The left and right halves of the whole frame."""
    mask1 = np.zeros((ROWS, COLS), np.uint8)
    mask2 = np.zeros((ROWS, COLS), np.uint8)
    mask1[:, :COLS // 2] = 255
    mask2[:, COLS // 2:] = 255
    return mask1, mask2


def rows():
    th2 = frame(1)
    out = []
    for label, (mask1, mask2) in (("band masks", band_masks()), ("frame-half masks", half_masks())):
        for direction in (1, 0):
            args = (mask1, mask2, th2, direction)
            out.append((f"get_laser_line 1920x1080, 50 blobs, {label}, dir {direction}",
                        lambda args=args: t.get_laser_line(*args),
                        lambda args=args: ref_get_laser_line(*args)))
    stripe = stripe_frame(1)
    mask1, mask2 = half_masks()
    pixels = int(np.count_nonzero(stripe))
    out.append((f"get_laser_line, frame-half masks, 30 blobs ({pixels:,} px), dir 1",
                lambda: t.get_laser_line(mask1, mask2, stripe, 1),
                lambda: ref_get_laser_line(mask1, mask2, stripe, 1)))
    # What reading the three inputs once costs: the bound the row above is measured against.
    out.append(("  np.count_nonzero of th2, mask1 and mask2 (read once)",
                lambda: (np.count_nonzero(stripe), np.count_nonzero(mask1),
                         np.count_nonzero(mask2)), None))
    return out
