"""Axis measurement against the same steps composed with cv2 and NumPy."""
import math
import re
import warnings

import cv2
import imutils
import numpy as np
import pytest

import conftest
import samples
import torvel
from conftest import library_message, raised_by_installed_opencv

t = torvel.torvel_class()


class Composition:
    """get_short_long_intersection written plainly with cv2 and NumPy."""

    def distance_2pts(self, p1, p2):
        return math.sqrt((p1[0] - p2[0]) ** 2 + (p1[1] - p2[1]) ** 2)

    def probe(self, img, cx, cy, R, angle):
        temp_canvas = np.zeros((img.shape[0], img.shape[1]), np.uint8)
        rad = angle * (np.pi / 180)
        co, si = np.cos(rad), np.sin(rad)
        p1 = (int(cx - R * co), int(cy - R * si))
        p2 = (int(cx + R * co), int(cy + R * si))
        cv2.line(temp_canvas, p1, p2, 255, 1)
        temp_img = cv2.bitwise_and(temp_canvas, img)
        aa4 = cv2.findNonZero(temp_img)
        if aa4 is None:
            raise ValueError("empty probe")
        aa4 = aa4.reshape(-1, 2)  # N x 1 x 2 before OpenCV 5, N x 2 from it on
        pt0, pt1 = aa4[:, 0], aa4[:, 1]
        max_index, min_index = np.argmax(pt0), np.argmin(pt0)
        max_index1, min_index1 = np.argmax(pt1), np.argmin(pt1)
        if pt0[max_index] == pt0[min_index]:
            max_index, min_index = np.argmax(pt1), np.argmin(pt1)
        lx = self.distance_2pts([pt0[max_index], pt1[max_index]], [pt0[min_index], pt1[min_index]])
        ly = self.distance_2pts([pt0[max_index1], pt1[max_index1]],
                                [pt0[min_index1], pt1[min_index1]])
        if ly > lx:
            pair = [[pt0[max_index1], pt1[max_index1]], [pt0[min_index1], pt1[min_index1]]]
        else:
            pair = [[pt0[max_index], pt1[max_index]], [pt0[min_index], pt1[min_index]]]
        return pair, max(lx, ly)

    def profile(self, img, cx, cy, warp_radius):
        map_img = cv2.warpPolar(img, (300, 720), (cx, cy), warp_radius,
                                cv2.INTER_NEAREST + cv2.WARP_FILL_OUTLIERS + cv2.WARP_POLAR_LINEAR)
        accum1 = np.sum(map_img[:360], axis=1) / 255
        accum2 = np.sum(map_img[360:], axis=1) / 255
        accum = accum1 + accum2
        return np.argmax(accum) / 2, np.argmin(accum) / 2

    def get_short_long_intersection(self, img, margin_length=100):
        cnts = imutils.grab_contours(cv2.findContours(img.astype(np.uint8), cv2.RETR_EXTERNAL,
                                                      cv2.CHAIN_APPROX_NONE))
        for c in cnts:
            if cv2.contourArea(c) > 100:
                M = cv2.moments(c)
                cx, cy = int(M["m10"] / M["m00"]), int(M["m01"] / M["m00"])
                warp_radius = int(max(img.shape[0], img.shape[1]) * 1.415 / 2)
                angle_max, _ = self.profile(img, cx, cy, warp_radius)
                _, long_intersection = self.probe(img, cx, cy, warp_radius, angle_max)
                warp_radius = int(long_intersection / 2 + margin_length)
                angle_max, angle_min = self.profile(img, cx, cy, warp_radius)
                pt_long0, long_intersection = self.probe(img, cx, cy, warp_radius, angle_max)
                pt_short, short_intersection = self.probe(img, cx, cy, warp_radius, angle_min)
                pt_long1, short_90 = self.probe(img, cx, cy, warp_radius, angle_min + 90)
                return (pt_short, pt_long0, pt_long1, short_intersection, long_intersection,
                        short_90)
        return None


ref = Composition()


def assert_same(got, want):
    """conftest's assert_same, with the documented types: int32 end points, float lengths."""
    conftest.assert_same(got, want)
    if got is not None:
        assert {type(v) for pair in got[:3] for pt in pair for v in pt} == {np.int32}
        assert {type(v) for v in got[3:]} == {float}


@pytest.mark.parametrize("h, w", [(480, 640), (1080, 1920)])
def test_measurement_matches_composition(h, w):
    rng = np.random.default_rng(h)
    for img in samples.axis_masks(rng, h, w):
        for margin in (0, 100, 300):
            try:
                want = ref.get_short_long_intersection(img, margin)
            except ValueError:
                with pytest.raises(ValueError, match="met no object pixel"):
                    t.get_short_long_intersection(img, margin)
                continue
            assert_same(t.get_short_long_intersection(img, margin), want)


def test_many_small_masks_match_composition():
    # Small random shapes at random places: centroids near borders, radii far beyond the
    # image, every profile angle, the probes' tie and fallback rules.
    rng = np.random.default_rng(11)
    for k in range(300):
        h, w = int(rng.integers(30, 120)), int(rng.integers(30, 160))
        img = np.zeros((h, w), np.uint8)
        for _ in range(int(rng.integers(1, 4))):
            shape = rng.integers(0, 3)
            centre = (int(rng.integers(0, w)), int(rng.integers(0, h)))
            if shape == 0:
                cv2.ellipse(img, centre, (int(rng.integers(3, 40)), int(rng.integers(3, 40))),
                            float(rng.uniform(0, 360)), 0, 360, 255, -1)
            elif shape == 1:
                cv2.rectangle(img, centre, (int(rng.integers(0, w)), int(rng.integers(0, h))), 255, -1)
            else:
                cv2.line(img, centre, (int(rng.integers(0, w)), int(rng.integers(0, h))), 255,
                         int(rng.integers(1, 8)))
        margin = int(rng.choice([0, 3, 100, 1000]))
        try:
            want = ref.get_short_long_intersection(img, margin)
        except ValueError:
            with pytest.raises(ValueError):
                t.get_short_long_intersection(img, margin)
            continue
        assert_same(t.get_short_long_intersection(img, margin), want)


def test_probe_end_points_use_numpy_cosine():
    for img, margin in samples.cosine_boundary_masks():
        assert_same(t.get_short_long_intersection(img, margin),
                    ref.get_short_long_intersection(img, margin))


def test_horizontal_ellipse_values():
    img = np.zeros((300, 400), np.uint8)
    cv2.ellipse(img, (200, 150), (120, 50), 0, 0, 360, 255, -1)
    got = t.get_short_long_intersection(img)
    assert got == ([[202, 200], [195, 100]], [[320, 153], [80, 146]], [[318, 142], [81, 157]],
                   100.24470060806208, 240.10206163213175, 237.47420912595962)
    for pair, length in zip(got[:3], got[3:]):
        assert length == t.distance_2pts(pair[0], pair[1])
    img = img.copy()
    before = img.copy()
    t.get_short_long_intersection(img, margin_length=0.5)
    assert np.array_equal(img, before)  # the caller's image is left as it was


def test_nothing_qualifies():
    img = np.zeros((60, 80), np.uint8)
    assert t.get_short_long_intersection(img) is None
    img[5:16, 5:16] = 255  # area exactly 100
    assert t.get_short_long_intersection(img) is None
    # The margin is only used once an object qualifies.
    assert t.get_short_long_intersection(img, "not a number") is None
    img[15, 16] = 255  # area 100.5
    assert t.get_short_long_intersection(img) is not None


def test_probe_meeting_no_object_pixel():
    img = np.zeros((120, 160), np.uint8)
    cv2.circle(img, (80, 60), 23, 255, 1)  # the short-axis line slips through the ring
    with pytest.raises(ValueError) as ref_err:
        ref.get_short_long_intersection(img)
    with pytest.raises(ValueError, match="the probe line through the centroid met no object pixel"):
        t.get_short_long_intersection(img)


def test_other_images_fail_like_cv2():
    solid = np.zeros((60, 80), np.uint8)
    solid[10:40, 10:50] = 255
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for img in (solid.astype(np.float32), solid.astype(np.int64), solid.astype(np.int16),
                    solid > 0, solid.astype(np.uint32), np.dstack([solid] * 3),
                    np.zeros((5, 5, 2, 2), np.uint8)):
            with pytest.raises(cv2.error) as ours:
                t.get_short_long_intersection(img)
            if raised_by_installed_opencv(ours.value):
                with pytest.raises(cv2.error):
                    ref.get_short_long_intersection(img)
        # Without a qualifying object nothing reaches the image library's checks.
        assert t.get_short_long_intersection(np.zeros((60, 80), np.float64)) is None
        assert t.get_short_long_intersection((solid.astype(np.float64) * 256 / 255)) is None
    # Views, Fortran order and a trailing unit axis are measured like the contiguous image.
    want = t.get_short_long_intersection(solid)
    wide = np.zeros((60, 160), np.uint8)
    wide[:, ::2] = solid
    assert_same(t.get_short_long_intersection(wide[:, ::2]), want)
    assert_same(t.get_short_long_intersection(np.asfortranarray(solid)), want)
    assert_same(t.get_short_long_intersection(solid[:, :, None]), want)
    with pytest.raises(AttributeError, match="astype"):
        t.get_short_long_intersection(solid.tolist())
    with pytest.raises(TypeError):
        t.get_short_long_intersection(solid, "100")
    with pytest.raises(ValueError):
        t.get_short_long_intersection(solid, float("nan"))
    # Numbers of any kind go through Python's own arithmetic.
    assert_same(t.get_short_long_intersection(solid, np.float32(100.5)),
                ref.get_short_long_intersection(solid, np.float32(100.5)))
    assert_same(t.get_short_long_intersection(solid, True), ref.get_short_long_intersection(solid, True))


def test_images_too_large_to_address_are_refused_before_any_copy():
    # Zero-stride views of one element: converting or copying any of them would need a
    # terabyte, and OpenCV indexes images with int. Each is refused by its shape first.
    for shape, dtype in [((2 ** 20, 2 ** 20), np.uint8), ((3, 2 ** 40), np.float64),
                         ((2 ** 16, 2 ** 16, 2 ** 8), np.int16), ((1, 2 ** 40), np.uint8)]:
        img = np.lib.stride_tricks.as_strided(np.zeros(1, dtype), shape=shape,
                                              strides=(0,) * len(shape))
        with pytest.raises(ValueError, match=r"^img: an image of shape .* is too large"):
            t.get_short_long_intersection(img)
    # The largest images that fit are measured as before.
    assert t.get_short_long_intersection(np.zeros((1, 3), np.uint8)) is None


def test_byte_swapped_and_unaligned_images_are_read_by_value():
    img = np.zeros((60, 80), np.uint8)
    cv2.ellipse(img, (40, 30), (25, 12), 20, 0, 360, 255, -1)
    native = img.astype(np.float64)
    swapped = native.astype(">f8")
    buf = np.zeros(native.nbytes + 1, np.uint8)
    unaligned = buf[1:].view(np.float64).reshape(native.shape)
    unaligned[...] = native
    for variant in (swapped, unaligned):
        # Real-valued images stop at the chord probe's 8-bit check, after the profile.
        with pytest.raises(cv2.error, match="Sizes of input arguments do not match"):
            t.get_short_long_intersection(variant)
    assert_same(t.get_short_long_intersection(img.astype(">u2").astype(np.uint8)),
                t.get_short_long_intersection(img))


def test_a_margin_of_many_values_is_refused_before_numpy_adds_it():
    img = np.zeros((60, 80), np.uint8)
    cv2.ellipse(img, (40, 30), (25, 12), 20, 0, 360, 255, -1)
    huge = np.lib.stride_tricks.as_strided(np.zeros(1), shape=(2 ** 40,), strides=(0,))
    with pytest.raises(TypeError, match=r"^margin_length: an array of shape \(1099511627776,\) "
                                        "is not one number"):
        t.get_short_long_intersection(img, huge)
    with pytest.raises(TypeError, match=re.escape(library_message(lambda: int(np.zeros(3))))):
        t.get_short_long_intersection(img, np.zeros(3))
    assert_same(t.get_short_long_intersection(img, np.array([100])),
                t.get_short_long_intersection(img, 100))
