"""The robust line estimator through get_laser_line, against scikit-learn's RANSACRegressor.

Single-pixel blobs have their own pixel as centroid, so an image of isolated pixels hands the
estimator any integer point set (plus the two background centroids). The cases cover the
three ways subsets are drawn (2 rows: no draws; 3..199 rows: permutations; 200 and more
rows: tracking selection), integer data whose residuals land exactly on the 3-pixel
threshold, duplicated rows, a vertical set, ties between equally good lines, single-inlier
trials and a set without consensus. The estimator's index streams, trial counts and
coefficients are compared with scikit-learn's directly by the C++ test ransac_test.
"""
import warnings

import numpy as np
import pytest

import torvel
from conftest import assert_same, assert_same_failure, raised
from samples import ref_get_laser_line

t = torvel.torvel_class()
pytestmark = pytest.mark.filterwarnings("ignore::UserWarning")


def point_image(cols, rows, height, width):
    """th2 with one pixel per point; columns must be distinct and even (no two touch)."""
    th2 = np.zeros((height, width), np.uint8)
    th2[np.asarray(rows), np.asarray(cols)] = 255
    return th2


def split_masks(shape, split, overlap=0):
    mask1 = np.zeros(shape, np.uint8)
    mask2 = np.zeros(shape, np.uint8)
    mask1[:, :split + overlap] = 255
    mask2[:, split - overlap:] = 255
    return mask1, mask2


def line_points(rng, n, width, height, noise, outlier_share):
    cols = 2 * rng.choice(width // 2, n, replace=False)
    slope = rng.uniform(-0.4, 0.4)
    rows = np.floor(height / 2 + slope * (cols - width / 2)) + rng.integers(-noise, noise + 1, n)
    out = rng.random(n) < outlier_share
    rows[out] = rng.integers(0, height, out.sum())
    return cols, np.clip(rows, 0, height - 1).astype(int)


def check(mask1, mask2, th2, direction):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        expected = ref_get_laser_line(mask1, mask2, th2, direction)
    assert_same(t.get_laser_line(mask1, mask2, th2, direction), expected)


@pytest.mark.parametrize("n", [1, 3, 8, 40, 120, 197, 198, 260, 400])
@pytest.mark.parametrize("seed", range(3))
def test_integer_points_with_threshold_ties(n, seed):
    # rows = a line rounded down plus -4..4: many residuals are exactly 3.
    rng = np.random.default_rng(1000 * n + seed)
    width, height = 1000, 400
    cols, rows = line_points(rng, n, width, height, noise=4, outlier_share=0.3)
    th2 = point_image(cols, rows, height, width)
    mask1, mask2 = split_masks(th2.shape, int(rng.integers(100, 900)))
    for direction in (1, 0):
        check(mask1, mask2, th2, direction)


@pytest.mark.parametrize("seed", range(6))
def test_overlapping_masks_duplicate_rows(seed):
    rng = np.random.default_rng(seed)
    cols, rows = line_points(rng, 60, 600, 300, noise=3, outlier_share=0.2)
    th2 = point_image(cols, rows, 300, 600)
    mask1, mask2 = split_masks(th2.shape, 300, overlap=int(rng.integers(20, 200)))
    check(mask1, mask2, th2, 1)


def test_no_blobs_two_rows_without_draws():
    th2 = np.zeros((50, 70), np.uint8)
    mask1, mask2 = split_masks(th2.shape, 30)
    check(mask1, mask2, th2, 1)
    check(mask1, mask2, th2, 0)


def test_vertical_set_and_equally_good_lines():
    # Points in one column (every trial line horizontal) ...
    rows = np.arange(2, 200, 7)
    th2 = point_image(np.full(len(rows), 60), rows, 200, 121)
    mask1, mask2 = split_masks(th2.shape, 61)
    check(mask1, mask2, th2, 1)
    check(mask1, mask2, th2, 0)
    # ... and two crossing lines with the same number of points.
    cols = np.arange(0, 400, 4)
    rows = np.where(np.arange(len(cols)) % 2 == 0, 50 + cols // 4, 250 - cols // 4)
    th2 = point_image(cols, rows, 300, 400)
    mask1, mask2 = split_masks(th2.shape, 200)
    check(mask1, mask2, th2, 1)


def test_no_consensus_set():
    th2 = np.zeros((50, 1), np.uint8)
    th2[2:20] = 255
    th2[45:47] = 255
    mask1 = np.zeros((50, 1), np.uint8)
    mask1[2:29] = 1
    mask2 = np.zeros((50, 1), np.uint8)
    mask2[39:41] = 1
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        expected = raised(lambda: ref_get_laser_line(mask1, mask2, th2, 1))
    assert expected[0] is ValueError and "could not find a valid consensus set" in expected[1]
    assert_same_failure(raised(lambda: t.get_laser_line(mask1, mask2, th2, 1)), expected)


def test_repeated_calls_are_identical():
    rng = np.random.default_rng(5)
    cols, rows = line_points(rng, 150, 800, 300, noise=3, outlier_share=0.4)
    th2 = point_image(cols, rows, 300, 800)
    mask1, mask2 = split_masks(th2.shape, 400)
    first = t.get_laser_line(mask1, mask2, th2, 1)
    assert [v.dtype for v in first] == [np.float64, np.float64]
    for _ in range(3):
        assert_same(t.get_laser_line(mask1, mask2, th2, 1), first)
