"""Axis measurement: torvel against the cv2 and NumPy composition of the tests."""
import os
import sys

import cv2
import numpy as np

import torvel

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))
from test_contour import Composition  # noqa: E402  (the composition the tests compare against)

t = torvel.torvel_class()
ref = Composition()


def rows():
    out = []
    for h, w in ((480, 640), (1080, 1920)):
        img = np.zeros((h, w), np.uint8)
        cv2.ellipse(img, (w // 2 - 40, h // 2 + 25), (w // 5, h // 7), 28, 0, 360, 255, -1)
        out.append((f"get_short_long_intersection, {w} x {h} mask",
                    lambda img=img: t.get_short_long_intersection(img),
                    lambda img=img: ref.get_short_long_intersection(img)))
    # A large object: an 840 x 500 px ellipse in a full frame.
    img = np.zeros((1080, 1920), np.uint8)
    cv2.ellipse(img, (900, 560), (420, 250), 17, 0, 360, 255, -1)
    out.append(("get_short_long_intersection, 1920 x 1080, 840 x 500 px object",
                lambda: t.get_short_long_intersection(img),
                lambda: ref.get_short_long_intersection(img)))
    return out
