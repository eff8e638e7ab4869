"""Camera model and line-plane intersection against the same steps written with NumPy."""
import math
import os
import re

import numpy as np
import pytest

import torvel
from conftest import assert_same, library_message
from samples import CAM, ref_intersect, ref_line_of_sight

t = torvel.torvel_class()
def ref_img_coord(x, y, z, focus, center_col, center_row, pixel_sizec, pixel_sizer):
    k = z / focus
    row = ((y / k) / pixel_sizer) + center_row
    col = ((x / k) / pixel_sizec) + center_col
    with np.errstate(invalid="ignore"):
        return row.astype(np.int64), col.astype(np.int64)


# --- lines of sight ------------------------------------------------------------------

@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("shape", [(0,), (1,), (7,), (1000,), (4, 5), (2, 3, 4)])
def test_lines_of_sight_match_numpy_bit_for_bit(seed, shape):
    rng = np.random.default_rng(seed)
    rows = rng.uniform(-100, 1180, shape)
    cols = rng.uniform(-100, 2020, shape)
    if seed % 2:
        rows, cols = rows.astype(np.int64), cols.astype(np.int32)
    cam = CAM if seed < 4 else (12, 0.0031, 0.0029, 600, 900)
    assert_same(t.get_line_of_sight_pts(rows, cols, *cam), ref_line_of_sight(rows, cols, *cam))


def test_lines_of_sight_of_lists_scalars_and_views():
    assert_same(t.get_line_of_sight_pts([1, 2], [3, 4], *CAM), ref_line_of_sight([1, 2], [3, 4], *CAM))
    assert_same(t.get_line_of_sight_pts(5, 6.5, *CAM), ref_line_of_sight(5, 6.5, *CAM))
    grid = np.arange(60.0).reshape(6, 10)
    view = grid[::-2, 1::3]
    assert_same(t.get_line_of_sight_pts(view, view.T.T, *CAM), ref_line_of_sight(view, view, *CAM))


def test_lines_of_sight_geometry():
    d = t.get_line_of_sight_pts([539.5, 539.5, 540.5], [959.5, 960.5, 959.5], 8, 8, 8, 539.5, 959.5)
    np.testing.assert_array_equal(d[:, 0], [0, 0, 1])
    np.testing.assert_allclose(d[:, 1], [2 ** -0.5, 0, 2 ** -0.5], rtol=1e-15)
    np.testing.assert_allclose(d[:, 2], [0, 2 ** -0.5, 2 ** -0.5], rtol=1e-15)
    assert t.get_line_of_sight_pts([], [], *CAM).shape == (3, 0)


def test_lines_of_sight_errors_name_the_argument():
    with pytest.raises(ValueError, match="rows and cols"):
        t.get_line_of_sight_pts([1, 2, 3], [1, 2], *CAM)
    with pytest.raises(TypeError, match="^rows: "):
        t.get_line_of_sight_pts(np.array([1j]), [1], *CAM)
    with pytest.raises(TypeError, match="^focus: "):
        t.get_line_of_sight_pts([1], [1], "8", *CAM[1:])


# --- projection ----------------------------------------------------------------------

@pytest.mark.parametrize("seed", range(6))
def test_projection_matches_numpy(seed):
    rng = np.random.default_rng(100 + seed)
    n = [0, 1, 13, 1000, 5000, 300][seed]
    z = rng.uniform(-50, 500, n)
    x = rng.uniform(-100, 100, n)
    y = rng.uniform(-100, 100, n)
    if seed == 3:
        z[::7] = 0.0
        x[::11] = np.nan
    if seed == 4:
        x, y, z = (np.round(v).astype(np.int64) for v in (x, y, z))
    args = (8, 959.5, 539.5, 0.0048, 0.0047)
    got = t.get_img_coord_from_3d_pts(x, y, z, *args)
    want = ref_img_coord(x, y, z, *args)
    assert isinstance(got, tuple) and len(got) == 2
    assert_same(got[0], want[0])
    assert_same(got[1], want[1])


def test_projection_roundtrips_lines_of_sight_and_truncates_toward_zero():
    rows = np.array([10.0, 540.0, 1079.0])
    cols = np.array([3.0, 960.0, 1919.0])
    d = t.get_line_of_sight_pts(rows, cols, 8, 0.0048, 0.0048, 540, 960)
    p = d * 750.0
    r, c = t.get_img_coord_from_3d_pts(p[0], p[1], p[2], 8, 960, 540, 0.0048, 0.0048)
    assert np.all(np.abs(r - rows) <= 1) and np.all(np.abs(c - cols) <= 1)
    r, c = t.get_img_coord_from_3d_pts(np.array([-0.7, 12.9]), np.array([-0.7, -12.9]),
                                       np.array([1.0, 1.0]), 1, 0, 0, 1, 1)
    assert c.tolist() == [0, 12] and r.tolist() == [0, -12]


def test_projection_broadcasts_and_keeps_scalars_numpy():
    r, c = t.get_img_coord_from_3d_pts(np.arange(3.0), 1.0, 2.0, 1, 0, 0, 1, 1)
    assert r.shape == c.shape == (3,)
    r, c = t.get_img_coord_from_3d_pts(np.float64(1.0), 2.0, 4.0, 1, 0, 0, 1, 1)
    assert type(r) is np.int64 and (r, c) == (0, 0)
    with pytest.raises(AttributeError):
        t.get_img_coord_from_3d_pts(1.0, 2.0, 4.0, 1, 0, 0, 1, 1)
    with pytest.raises(ValueError, match="broadcast"):
        t.get_img_coord_from_3d_pts(np.zeros(3), np.zeros(4), 1.0, 1, 0, 0, 1, 1)


# --- distance ------------------------------------------------------------------------

def square(d):
    """d ** 2 as NumPy 1.x computes it: a NumPy integer squared by the Python int 2 is
    promoted to int64 first (NumPy 2 would keep int32 and overflow)."""
    return d ** (np.int64(2) if isinstance(d, np.integer) else 2)


def test_distance_of_two_points():
    assert t.distance_2pts([0, 0], [3, 4]) == 5.0
    assert t.distance_2pts((0, 0, 0), (3, 4, 12)) == 5.0
    assert type(t.distance_2pts(np.array([1, 2]), np.array([4, 6]))) is float
    rng = np.random.default_rng(7)
    for _ in range(2000):
        a = rng.normal(0, 10.0 ** rng.integers(-3, 12), 2)
        b = rng.normal(0, 10.0 ** rng.integers(-3, 12), 2)
        ia, ib = np.fmod(a, 30000).astype(np.int32), np.fmod(b, 30000).astype(np.int32)
        for p1, p2 in ((tuple(a), tuple(b)), (a, b), (ia, ib),
                       ([int(a[0]), int(a[1])], [int(b[0]), int(b[1])])):
            want = math.sqrt(square(p1[0] - p2[0]) + square(p1[1] - p2[1]))
            assert t.distance_2pts(p1, p2) == want


def test_distance_squares_python_floats_as_the_interpreter():
    # float ** 2 is the C library's pow, which is not always the product d * d: with the C
    # library here these two differences square one unit in the last place apart.
    p1, p2 = (float.fromhex("0x1.f88c0f6aaed34p+0"), float.fromhex("0x1.9889b117cffbcp-22")), (0, 0)
    assert t.distance_2pts(p1, p2) == math.sqrt((p1[0] - p2[0]) ** 2 + (p1[1] - p2[1]) ** 2)
    with pytest.raises(OverflowError, match=re.escape(library_message(lambda: 1e200 ** 2))):
        t.distance_2pts((1e200, 0.0), (0.0, 0.0))
    assert t.distance_2pts((math.inf, 0.0), (0.0, 0.0)) == math.inf


def test_distance_errors():
    with pytest.raises(IndexError):
        t.distance_2pts((0,), (3, 4))
    with pytest.raises(TypeError):
        t.distance_2pts((0, 0), (3, "4"))
    with pytest.raises(TypeError):
        t.distance_2pts((0, 1j), (3, 4))


# --- intersection --------------------------------------------------------------------

@pytest.mark.parametrize("seed", range(8))
def test_intersection_matches_numpy_bit_for_bit(seed):
    rng = np.random.default_rng(200 + seed)
    n = [0, 1, 2, 17, 1000, 4097, 50, 9][seed]
    v0 = rng.normal(0, 5, (n, 3))
    v1 = rng.normal(0, 5, (n, 3))
    p_cos = rng.normal(0, 50, (n, 3)) if seed % 2 else rng.normal(0, 50, 3)
    p_nos = rng.normal(0, 1, (n, 3)) if seed % 3 else rng.normal(0, 1, 3)
    if seed == 6:  # exactly parallel rows and rows at the threshold
        p_nos = np.array([0.0, 0.0, 1.0])
        v1[::3, 2] = v0[::3, 2]
        v1[1::3, 2] = v0[1::3, 2] + 1e-6
        p_cos = p_cos[:1]
    if seed == 7:
        v0, v1 = v0.astype(np.int64), v1.astype(np.int32)
    assert_same(t.intersect_line_plane(v0, v1, p_cos, p_nos), ref_intersect(v0, v1, p_cos, p_nos))
    assert_same(t.intersect_line_plane(v0, v1, p_cos, p_nos, 0.5), ref_intersect(v0, v1, p_cos, p_nos, 0.5))


def test_intersection_of_non_contiguous_and_broadcast_inputs():
    rng = np.random.default_rng(3)
    big = rng.normal(0, 1, (40, 6))
    v0, v1 = big[::2, ::2], big[::-2, 1::2]
    p_cos = rng.normal(0, 1, (1, 3))
    p_nos = np.asfortranarray(rng.normal(0, 1, (20, 3)))
    assert_same(t.intersect_line_plane(v0, v1, p_cos, p_nos), ref_intersect(v0, v1, p_cos, p_nos))
    assert_same(t.intersect_line_plane(np.zeros(3), v1, p_cos, p_nos),
         ref_intersect(np.zeros(3), v1, p_cos, p_nos))


def test_intersection_cases():
    line0, line1 = np.zeros((1, 3)), np.array([[0.0, 0.0, 1.0]])
    np.testing.assert_array_equal(
        t.intersect_line_plane(line0, line1, np.array([0, 0, 5.0]), np.array([0, 0, 2.0])),
        [[0, 0, 5]])
    # Parallel: the first point, the other rows unaffected; a line in its plane too.
    v0 = np.array([[1.0, 2, 5], [0, 0, 0]])
    v1 = np.array([[3.0, 2, 5], [0, 0, 1]])
    out = t.intersect_line_plane(v0, v1, np.array([0, 0, 5.0]), np.array([0, 0, 1.0]))
    np.testing.assert_array_equal(out, [[1, 2, 5], [0, 0, 5]])
    # A plane behind the first point: a negative parameter.
    out = t.intersect_line_plane(np.array([[0, 0, 10.0]]), np.array([[0, 0, 11.0]]),
                                 np.array([0, 0, 5.0]), np.array([0, 0, 1.0]))
    np.testing.assert_array_equal(out, [[0, 0, 5]])
    assert t.intersect_line_plane(np.zeros((0, 3)), np.zeros((0, 3)), np.zeros(3),
                                  np.ones(3)).shape == (0, 3)


def test_intersection_errors():
    ints = np.array([[0, 0, 0]]), np.array([[1, 0, 0]]), np.array([0, 0, 5]), np.array([0, 0, 1])
    with pytest.raises(OverflowError, match="infinity"):  # an integer dots array cannot hold inf
        t.intersect_line_plane(*ints)
    assert t.intersect_line_plane(ints[0], ints[1], ints[2], ints[3].astype(float))[0, 0] == 0
    with pytest.raises(ValueError, match="axis 1"):
        t.intersect_line_plane(np.zeros(3), np.ones(3), np.zeros(3), np.ones(3))
    with pytest.raises(ValueError, match="p_nos"):
        t.intersect_line_plane(np.zeros((4, 3)), np.ones((4, 3)), np.zeros(3), np.ones((2, 3)))
    with pytest.raises(TypeError, match="^epsion: "):
        t.intersect_line_plane(np.zeros((1, 3)), np.ones((1, 3)), np.zeros(3), np.ones(3), "x")


def test_huge_coordinate_views_are_refused():
    # Zero-stride views of one element that no machine can copy.
    huge = np.lib.stride_tricks.as_strided(np.zeros(1), shape=(2 ** 40,), strides=(0,))
    with pytest.raises(TypeError, match=r"^p1: coordinate 0 is an array of shape \(1099511627776,\)"):
        t.distance_2pts((huge, 0.0), (1.0, 2.0))
    with pytest.raises(TypeError, match="^p2: coordinate 1"):
        t.distance_2pts((0.0, 0.0), [1.0, huge])
    # Small arrays still go through NumPy's arithmetic and its errors.
    with pytest.raises(TypeError, match=re.escape(library_message(lambda: float(np.zeros(3))))):
        t.distance_2pts((np.zeros(3), 0.0), (1.0, 2.0))


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer aborts on allocations it cannot make")
def test_conversions_that_cannot_allocate_name_the_argument():
    huge = np.lib.stride_tricks.as_strided(np.zeros(1), shape=(2 ** 40,), strides=(0,))
    with pytest.raises(MemoryError, match="^rows: Unable to allocate"):
        t.get_line_of_sight_pts(huge, huge, *CAM)
    with pytest.raises(MemoryError, match="^x: Unable to allocate"):
        t.get_img_coord_from_3d_pts(huge, huge, huge, 8.0, 0.0, 0.0, 1.0, 1.0)
