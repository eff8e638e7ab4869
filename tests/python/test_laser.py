"""Laser line extraction against the same steps written with NumPy, cv2 and scikit-learn."""
import warnings

import cv2
import numpy as np
import pytest

import torvel
from conftest import assert_same, assert_same_failure, raised
from samples import ref_get_laser_line

t = torvel.torvel_class()
pytestmark = pytest.mark.filterwarnings("ignore::UserWarning")


# --- inputs --------------------------------------------------------------------------

def stripe_scene(seed, rows=480, cols=640, blobs=40, outliers=8):
    """th2 with blobs along a line, outlier blobs and specks; two region masks."""
    rng = np.random.default_rng(seed)
    th2 = np.zeros((rows, cols), np.uint8)
    slope = rng.uniform(-0.3, 0.3)
    offset = rng.uniform(0.3, 0.7) * rows
    for _ in range(blobs):
        x = int(rng.integers(0, cols))
        y = int(offset + slope * x + rng.normal(0, 1.0))
        axes = (int(rng.integers(1, 7)), int(rng.integers(1, 4)))
        cv2.ellipse(th2, (x, y), axes, float(rng.uniform(0, 180)), 0, 360,
                    int(rng.integers(1, 256)), -1)
    for _ in range(outliers):
        cv2.circle(th2, (int(rng.integers(0, cols)), int(rng.integers(0, rows))),
                   int(rng.integers(1, 4)), 255, -1)
    th2[rng.integers(0, rows, blobs), rng.integers(0, cols, blobs)] = 7  # single-pixel specks
    split = int(rng.integers(cols // 4, 3 * cols // 4))
    top, bottom = sorted(rng.integers(0, rows, 2))
    mask1 = np.zeros((rows, cols), np.uint8)
    mask2 = np.zeros((rows, cols), np.int32)
    mask1[:, :split] = rng.integers(1, 256)
    mask2[top:bottom + 1, split - 10:] = rng.choice([1, 255, 257, -1])  # all non-zero mod 256
    return mask1, mask2, th2


# --- values --------------------------------------------------------------------------

@pytest.mark.parametrize("seed", range(12))
@pytest.mark.parametrize("direction", [1, 0])
def test_matches_composition_on_stripe_scenes(seed, direction):
    mask1, mask2, th2 = stripe_scene(seed)
    assert_same(t.get_laser_line(mask1, mask2, th2, direction),
                ref_get_laser_line(mask1, mask2, th2, direction))


def labelling_scenes(rows=481, cols=643):
    """Sparse, dense, noisy, touching-border and single-pixel th2 of odd size."""
    rng = np.random.default_rng(11)
    sparse = stripe_scene(3, rows, cols)[2]
    dense = np.where(rng.random((rows, cols)) < 0.6, 255, 0).astype(np.uint8)
    noisy = np.where(rng.random((rows, cols)) < 0.04, 9, 0).astype(np.uint8)
    border = sparse.copy()
    border[0, :] = border[:, -1] = 255
    border[-1, : cols // 3] = 3
    single = np.zeros((rows, cols), np.uint8)
    single[0, 3] = single[1, 0] = single[-1, -1] = 1  # (1, 0) is labelled before (0, 3)
    return {"sparse": sparse, "dense": dense, "noisy": noisy, "touching border": border,
            "single pixels": single}


def labelling_masks(rows=481, cols=643):
    full = np.ones((rows, cols), np.uint8)
    left, right, band, disc, pixel = (np.zeros((rows, cols), np.uint8) for _ in range(5))
    left[:, : cols // 2] = 255
    right[:, cols // 2:] = 1
    band[rows // 3 + 1: 2 * rows // 3, 3:-3] = 255
    cv2.circle(disc, (cols // 2, rows // 2), rows // 3, 255, -1)
    pixel[-1, -1] = 255
    return [(left, right), (full, band), (disc, pixel), (np.zeros_like(full), full)]


@pytest.mark.parametrize("scene", ["sparse", "dense", "noisy", "touching border", "single pixels"])
def test_labelling_matches_opencvs_on_every_scene_and_mask_shape(scene):
    th2 = labelling_scenes()[scene]
    for mask1, mask2 in labelling_masks():
        for direction in (1, 0):
            assert_same(t.get_laser_line(mask1, mask2, th2, direction),
                        ref_get_laser_line(mask1, mask2, th2, direction))


def test_camera_frame():
    mask1, mask2, th2 = stripe_scene(99, rows=1080, cols=1920, blobs=50, outliers=10)
    for direction in (1, 0):
        assert_same(t.get_laser_line(mask1, mask2, th2, direction),
                    ref_get_laser_line(mask1, mask2, th2, direction))


@pytest.mark.parametrize("direction", [1, 1.0, True, np.int64(1), 0, 2, -1, 0.5, False, "1"])
def test_direction_values(direction):
    mask1, mask2, th2 = stripe_scene(5)
    got = t.get_laser_line(mask1, mask2, th2, direction)
    assert_same(got, ref_get_laser_line(mask1, mask2, th2, direction))
    across = t.get_laser_line(mask1, mask2, th2, 1)
    down = t.get_laser_line(mask1, mask2, th2, 0)
    assert_same(got, across if direction == 1 else down)


def test_mask_dtypes_convert_modulo_256():
    mask1, mask2, th2 = stripe_scene(3)
    m = np.where(mask1 > 0, 256, 0)  # 256 is 0 in eight bits: nothing selected
    for variant in (m.astype(np.int16), m.astype(np.int64), m.astype(np.float64),
                    m.astype(np.uint16)):
        assert_same(t.get_laser_line(variant, mask2, th2, 1),
                    ref_get_laser_line(variant, mask2, th2, 1))
    floats = np.where(mask1 > 0, 0.5, 3.7)  # truncated: 0 inside, 3 outside
    bools = mask1 > 0
    listed = mask1.tolist()
    for variant in (floats, bools, listed, -np.asarray(mask2, np.int8)):
        assert_same(t.get_laser_line(variant, mask2, th2, 0),
                    ref_get_laser_line(variant, mask2, th2, 0))


def test_strided_and_sliced_images():
    mask1, mask2, th2 = stripe_scene(8, rows=300, cols=500)
    big = np.zeros((600, 1000), np.uint8)
    big[::2, ::2] = th2
    strided = big[::2, ::2]   # column stride 2: not a plain row-major view
    window = np.zeros((300, 700), np.uint8)
    window[:, 100:600] = th2
    sliced = window[:, 100:600]  # rows longer than the image
    for image in (strided, sliced):
        assert_same(t.get_laser_line(mask1, mask2, image, 1),
                    ref_get_laser_line(mask1, mask2, image, 1))


def test_no_stripe_pixels_gives_the_two_background_centres():
    th2 = np.zeros((101, 80), np.uint8)
    mask1, mask2, _ = stripe_scene(1, rows=101, cols=80)
    got = t.get_laser_line(mask1, mask2, th2, 1)
    assert_same(got, ref_get_laser_line(mask1, mask2, th2, 1))
    assert got[0].tolist() == [39.5, 39.5] and got[1].tolist() == [50.0, 50.0]


def test_one_inlier_gives_zero_dimensional_arrays():
    # One column: every centroid has x = 0, so every trial line is horizontal through the
    # mean of its two rows; only single points fall within 3 pixels of such a line.
    th2 = np.zeros((40, 1), np.uint8)
    th2[0:15] = 255
    th2[30:40] = 255
    mask1 = np.zeros((40, 1), np.uint8)
    mask1[0:30] = 1
    mask2 = np.zeros((40, 1), np.uint8)
    mask2[15:40] = 1
    got = t.get_laser_line(mask1, mask2, th2, 1)
    assert_same(got, ref_get_laser_line(mask1, mask2, th2, 1))
    assert got[0].shape == () and got[1].shape == ()


def test_mask_value_256_is_outside():
    mask1, mask2, th2 = stripe_scene(4)
    outside = np.full(th2.shape, 256, np.int32)
    got = t.get_laser_line(outside, mask2, th2, 1)
    assert_same(got, ref_get_laser_line(outside, mask2, th2, 1))
    assert_same(got, t.get_laser_line(np.zeros_like(th2), mask2, th2, 1))


def test_arguments_are_left_unchanged():
    mask1, mask2, th2 = stripe_scene(6)
    copies = [a.copy() for a in (mask1, mask2, th2)]
    t.get_laser_line(mask1, mask2, th2, 1)
    for a, c in zip((mask1, mask2, th2), copies):
        assert np.array_equal(a, c) and a.dtype == c.dtype


# --- errors --------------------------------------------------------------------------

def test_opencv_errors_are_opencvs():
    mask1, mask2, th2 = stripe_scene(2, rows=60, cols=80)
    cases = [
        (mask1, mask2, np.dstack([th2, th2, th2])),   # three channels: labelling refuses
        (mask1, mask2, th2.astype(np.float32)),       # not 8-bit: labelling refuses
        (mask1[:, :-1], mask2, th2),                  # mask of another size
        (mask1, mask2[:-2], th2),                     # the second mask of another size
        (mask1, mask2, th2.astype(bool)),             # no OpenCV type for bool
        (mask1, mask2, np.zeros((0, 80), np.uint8)),  # empty image, masks of another size
    ]
    # The labelling is the installed cv2's: what a later release takes, both take alike.
    for m1, m2, image in cases:
        want = raised(lambda: ref_get_laser_line(m1, m2, image, 1))
        assert_same_failure(raised(lambda: t.get_laser_line(m1, m2, image, 1)), want)


def test_estimator_errors_are_scikit_learns():
    # Regions full of stripe pixels: the backgrounds have no pixel, their centroids are NaN.
    th2 = np.full((30, 40), 255, np.uint8)
    mask = np.ones((30, 40), np.uint8)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        expected = raised(lambda: ref_get_laser_line(mask, mask, th2, 1))
    assert expected == (ValueError, "Input y contains NaN.")
    assert_same_failure(raised(lambda: t.get_laser_line(mask, mask, th2, 1)), expected)


def test_direction_is_compared_after_labelling():
    mask1, mask2, th2 = stripe_scene(7, rows=60, cols=80)
    bad = np.array([1, 0])
    expected = raised(lambda: ref_get_laser_line(mask1, mask2, th2, bad))
    assert expected is not None and expected[0] is ValueError
    assert_same_failure(raised(lambda: t.get_laser_line(mask1, mask2, th2, bad)), expected)
    # A labelling error comes first.
    assert raised(lambda: t.get_laser_line(mask1, mask2, th2[:, :-1], bad))[0] is cv2.error


def test_read_only_inputs():
    mask1, mask2, th2 = stripe_scene(9)
    for a in (mask1, mask2, th2):
        a.setflags(write=False)
    assert_same(t.get_laser_line(mask1, mask2, th2, 1), ref_get_laser_line(mask1, mask2, th2, 1))


def test_empty_and_unaddressable_images_are_refused_by_name():
    for shape in ((0, 0), (0, 5), (5, 0)):
        e = np.zeros(shape, np.uint8)
        with pytest.raises(ValueError, match="th2: .* is empty"):
            t.get_laser_line(e, e, e, 1)
    with pytest.raises(ValueError, match="th2: .* is empty"):  # an empty mask is no mask
        t.get_laser_line([[]], np.zeros((17, 34), np.uint8), np.zeros((0, 0), np.uint8), 2)
    with pytest.raises(ValueError, match="th2: .* is empty"):  # a sequence, as cv2 takes it
        t.get_laser_line(np.zeros((0, 28), np.uint8), np.zeros((20, 28), np.uint8), (), 2)
    huge = np.lib.stride_tricks.as_strided(np.zeros(1, np.uint8), shape=(1, 2**31 + 5),
                                           strides=(0, 0))
    m = np.zeros((15, 29), np.uint8)
    with pytest.raises(ValueError, match="th2: .* too large"):
        t.get_laser_line(m, m, huge, 1)
    with pytest.raises(ValueError, match="mask2: .* too large"):
        t.get_laser_line(m, huge, m, 1)


def test_an_array_direction_has_no_single_truth_value():
    m1, m2, th2 = stripe_scene(1)
    direction = np.lib.stride_tricks.as_strided(np.ones(1), shape=(70000, 70000), strides=(0, 0))
    with pytest.raises(ValueError, match="truth value of an array"):
        t.get_laser_line(m1, m2, th2, direction)
    assert_same(t.get_laser_line(m1, m2, th2, np.array([1])),
                ref_get_laser_line(m1, m2, th2, np.array([1])))


@pytest.mark.parametrize("th2", [None, 14, 2.5, "th2"])
def test_th2_that_is_no_image_is_refused_by_name(th2):
    # cv2 takes these as an empty image or a scalar and crashes in its labelling.
    for mask in (np.zeros((0, 5), np.uint8), np.zeros((6, 5), np.uint8)):
        with pytest.raises(TypeError, match="th2: expected an image"):
            t.get_laser_line(mask, mask, th2, 1)
