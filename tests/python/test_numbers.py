"""Numbers mixed with NumPy values give the results of NumPy 1.x's promotion whichever NumPy
is installed (NumPy 2 keeps int32 ** 2 in int32, refuses 300 beside a uint8 and keeps a
float32 margin in float32); text given for a number is refused by name."""
import math

import cv2
import numpy as np
import pytest

import torvel

t = torvel.torvel_class()


def test_integer_coordinates_are_promoted_before_squaring():
    want = math.sqrt(60000 ** 2 + 2 ** 2)
    assert t.distance_2pts(np.array([40000, 1], np.int32), np.array([-20000, 3], np.int32)) == want
    assert t.distance_2pts((np.int32(40000), 1), (-20000, 3)) == want
    assert t.distance_2pts((np.uint8(200), 0), (300, 0)) == 100.0
    # One-element arrays are numbers, as NumPy 1.x converts them.
    assert t.distance_2pts((np.array([3]), 0), (0, np.array([[4.0]]))) == 5.0


def test_a_float32_margin_is_added_in_double():
    img = np.zeros((300, 400), np.uint8)
    cv2.ellipse(img, (200, 150), (120, 60), 30, 0, 360, 255, -1)
    # The coarse half-length is 119.570063...: in float32 this margin's sum rounds to 120.
    for margin in (np.float32(0.42993686), np.array([5.5], np.float32)):
        want = t.get_short_long_intersection(img, float(np.asarray(margin).item()))
        assert t.get_short_long_intersection(img, margin) == want


def test_float32_points_are_centred_in_float32():
    rng = np.random.default_rng(3)
    xy = rng.uniform(-100, 100, (400, 2))
    pts = np.column_stack([xy, 0.2 * xy[:, 0] - 0.1 * xy[:, 1] + 600]).astype(np.float32)
    ours = pts.copy()
    got = t.fit_plane(ours, 1.0)
    # NumPy 1.x casts the float64 centre to the array's float32 before subtracting.
    for j, o in enumerate(got[4:7]):
        np.testing.assert_array_equal(ours[:, j], pts[:, j] - np.float32(o))


@pytest.mark.parametrize("text", ["2", np.str_("2"), np.array("2"), np.array([b"2"])])
def test_text_is_no_number(text):
    pts = np.random.default_rng(0).uniform(0, 10, (50, 3))
    calls = {
        "shift_ratio": lambda: t.fit_plane(pts, text),
        "focus": lambda: t.get_line_of_sight_pts(np.ones(2), np.ones(2), text, 1, 1, 1, 1),
        "epsion": lambda: t.intersect_line_plane(np.zeros((2, 3)), np.ones((2, 3)),
                                                 np.ones(3), np.ones(3), text),
        "semimaj": lambda: t.plot_ellipse(text),
        "mass_level": lambda: t.plot_ellipse(cov=np.eye(2), mass_level=text),
    }
    for name, call in calls.items():
        with pytest.raises(TypeError, match=f"^{name}: "):
            call()
