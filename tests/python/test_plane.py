"""Laser plane fit and contour-to-plane mapping against the same steps written with NumPy,
cv2 and scikit-learn."""
import math
import os
import warnings

import cv2
import numpy as np
import numpy.linalg as LA
import pytest
from sklearn import linear_model

import torvel
from conftest import BLAS_RTOL, assert_blas_same, blas_close
from samples import CAM, ref_intersect, ref_line_of_sight

t = torvel.torvel_class()


# --- the reference composition -------------------------------------------------------

def ref_fit_plane(all_laser_3d_pts, shift_ratio):
    points = np.transpose(all_laser_3d_pts)
    xs2, ys2, zs2 = points[0], points[1], points[2]
    xsys = np.vstack((xs2, ys2)).T
    ransac_plane = linear_model.RANSACRegressor(residual_threshold=0.01, max_trials=300,
                                                random_state=42)
    ransac_plane.fit(xsys, zs2)
    coef = ransac_plane.estimator_.coef_
    normal_vec = np.array([-coef[0], -coef[1], 1])
    normal_vec = normal_vec / LA.norm(normal_vec)
    aaa = np.cross(normal_vec, np.array([0, 0, 1]))
    Axis = aaa / LA.norm(aaa)
    u = Axis.reshape(3, 1)
    Phi = math.acos(normal_vec[2])
    RRa, _ = cv2.Rodrigues(u * Phi)
    RRa_inv = LA.inv(RRa)
    Ox_lpts = np.mean(xsys[0])
    Oy_lpts = np.mean(xsys[1])
    Oz_lpts = ransac_plane.predict(np.array([[Ox_lpts, Oy_lpts]]))[0]
    p_cos_one_point = np.zeros(3)
    trans = all_laser_3d_pts
    trans[:, 0] = trans[:, 0] - Ox_lpts
    trans[:, 1] = trans[:, 1] - Oy_lpts
    trans[:, 2] = trans[:, 2] - Oz_lpts
    temp1 = RRa @ trans.T
    mean_dist = np.mean(np.abs(temp1[2]))
    shift = np.mean(temp1[2][temp1[2] < 0])
    p_cos_one_point[0] = xsys[0][0] - shift * normal_vec[0] * 2
    p_cos_one_point[1] = xsys[0][1] - shift * normal_vec[1] * 2
    p_cos_one_point[2] = (ransac_plane.predict(np.array([[xsys[0][0], xsys[0][1]]]))[0]
                          - shift * normal_vec[2] * shift_ratio)
    return (Phi, normal_vec, RRa, RRa_inv, Ox_lpts, Oy_lpts, Oz_lpts, p_cos_one_point, mean_dist,
            shift)


def ref_from_cnt2cnt(xs, ys, focus, pixel_sizer, pixel_sizec, center_row, center_col,
                     p_cos_one_point, RRa, normal_vec):
    vecpt1s = ref_line_of_sight(ys, xs, focus, pixel_sizer, pixel_sizec, center_row, center_col).T
    vecpt0s = np.zeros(vecpt1s.shape)
    p_cos = np.zeros(vecpt1s.shape)
    p_cos[:, 0] = p_cos_one_point[0]
    p_cos[:, 1] = p_cos_one_point[1]
    p_cos[:, 2] = p_cos_one_point[2]
    pts3d_contour = ref_intersect(vecpt0s, vecpt1s, p_cos, normal_vec, epsion=1e-6)
    hor_points2 = RRa @ pts3d_contour.T
    fy = (10000 * (hor_points2[0] - np.min(hor_points2[0]))).astype(np.int64)
    fx = (10000 * (hor_points2[1] - np.min(hor_points2[1]))).astype(np.int64)
    cr = np.array([fy + 10, fx + 10])
    crt = cr.T.astype(np.int32)[:, np.newaxis, :]
    return crt, hor_points2, fx, fy, pts3d_contour


# --- scenes --------------------------------------------------------------------------

def laser_scene(seed, n=2000, outliers=0.2):
    """Laser points on a tilted plane seen by the camera, with noise and outliers."""
    rng = np.random.default_rng(seed)
    normal = np.array([rng.uniform(-0.4, 0.4), rng.uniform(-0.6, -0.2), 1.0])
    normal /= LA.norm(normal)
    point = np.array([0.0, 0.0, rng.uniform(400, 900)])
    rows = rng.uniform(0, 1080, n)
    cols = rng.uniform(0, 1920, n)
    sight = ref_line_of_sight(rows, cols, *CAM).T
    pts = ref_intersect(np.zeros((n, 3)), sight, point, normal)
    pts[:, 2] += rng.normal(0, 0.002, n)
    bad = rng.random(n) < outliers
    pts[bad, 2] += rng.choice([-1, 1], bad.sum()) * rng.uniform(0.5, 40, bad.sum())
    return pts


def ellipse_contour(seed):
    rng = np.random.default_rng(seed)
    mask = np.zeros((1080, 1920), np.uint8)
    center = (int(rng.integers(500, 1400)), int(rng.integers(300, 800)))
    axes = (int(rng.integers(40, 400)), int(rng.integers(20, 250)))
    cv2.ellipse(mask, center, axes, float(rng.uniform(0, 180)), 0, 360, 255, -1)
    cnts, _ = cv2.findContours(mask, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_NONE)
    cnt = cnts[0]
    return cnt[:, 0, 0], cnt[:, 0, 1]


def quiet(fn, *args):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        return fn(*args)


# --- fit_plane -----------------------------------------------------------------------

@pytest.mark.parametrize("seed", range(9))
def test_fit_plane_matches_reference_and_centres_alike(seed):
    outliers = (0.1, 0.2, 0.3)[seed % 3]
    n = (2000, 2000, 4097, 299, 300, 20000, 2000, 2000, 2000)[seed]
    pts = laser_scene(seed, n, outliers)
    ours, theirs = pts.copy(), pts.copy()
    if seed == 6:  # column-major
        ours, theirs = np.asfortranarray(pts), np.asfortranarray(pts)
    if seed == 7:  # strided columns: no BLAS layout
        ours, theirs = np.repeat(pts, 2, axis=1)[:, ::2], np.repeat(pts, 2, axis=1)[:, ::2]
    if seed == 8:  # rows in reverse order through a negative stride
        ours, theirs = pts.copy()[::-1], pts.copy()[::-1]
    got = t.fit_plane(ours, 1.5)
    want = ref_fit_plane(theirs, 1.5)
    assert type(got) is tuple and len(got) == 10
    for g, w in zip(got, want):
        assert_blas_same(g, w)
    assert_blas_same(ours, theirs)


@pytest.mark.parametrize("dtype", [np.int64, np.int32, np.int16])
def test_integer_points_are_centred_with_truncation(dtype):
    pts = (laser_scene(11, 500, 0.1) * 10).astype(dtype)
    ours, theirs = pts.copy(), pts.copy()
    got = t.fit_plane(ours, 2)
    want = ref_fit_plane(theirs, 2)
    for g, w in zip(got, want):
        assert_blas_same(g, w)
    assert_blas_same(ours, theirs)
    assert ours.dtype == dtype


def test_known_planes():
    x = np.arange(12.0)
    y = (x * 7) % 5
    # z = x + 5: normal (-1, 0, 1)/sqrt(2), Phi = pi/4.
    got = t.fit_plane(np.column_stack([x, y, x + 5]), 1.0)
    Phi, normal_vec, RRa, RRa_inv = got[:4]
    assert Phi == pytest.approx(math.pi / 4, abs=1e-15)
    np.testing.assert_allclose(normal_vec, [-2 ** -0.5, 0, 2 ** -0.5], atol=1e-15)
    np.testing.assert_allclose(RRa @ normal_vec, [0, 0, 1], atol=1e-15)
    np.testing.assert_allclose(RRa_inv, RRa.T, atol=1e-15)
    for g, w in zip(got, ref_fit_plane(np.column_stack([x, y, x + 5]), 1.0)):
        assert_blas_same(g, w, scale=17.0)  # the coordinates' scale: mean_dist is a rounding residue
    # The first two points (1, 2, .), (3, 5, .) give O's x and y whatever follows.
    pts = laser_scene(3, 400)
    pts[0, :2], pts[1, :2] = (1, 2), (3, 5)
    assert t.fit_plane(pts, 1.0)[4:6] == (1.5, 4.0)


def test_flat_plane_uses_the_identity_and_warns_when_nothing_lies_below():
    x = np.arange(10.0)
    pts = np.column_stack([x, (x * 3) % 4, np.full(10, 2.0)])
    with pytest.warns(RuntimeWarning, match="Mean of empty slice"):
        got = t.fit_plane(pts.copy(), 1.0)
    Phi, normal_vec, RRa, RRa_inv, Ox, Oy, Oz, p_cos, mean_dist, shift = got
    assert Phi == 0.0 and normal_vec[2] == 1.0
    assert_blas_same(RRa, np.eye(3))
    assert_blas_same(RRa_inv, np.eye(3))
    assert mean_dist == 0.0
    assert np.isnan(shift) and np.isnan(p_cos).all()
    # The composition divides by a zero-length axis; everything before that agrees.
    want = quiet(ref_fit_plane, pts.copy(), 1.0)
    for g, w in zip(got[:2] + got[4:7], want[:2] + want[4:7]):
        assert_blas_same(g, w)


def test_nothing_below_a_tilted_plane_gives_nan_or_a_rounding_residue():
    # Eight points exactly on z = x/2 - y/4 + 4, four above. Whether rounding puts any of
    # the eight a few 1e-16 below the fit depends on the BLAS kernels: the shift is NaN
    # (with NumPy's warning) or a residue within rounding of the coordinates' scale.
    rng = np.random.default_rng(17)
    x = rng.integers(0, 20, 12).astype(float)
    y = rng.integers(0, 20, 12).astype(float)
    z = 0.5 * x - 0.25 * y + 4
    z[8:] += rng.uniform(1, 5, 4)
    pts = np.column_stack([x, y, z])
    ours, theirs = pts.copy(), pts.copy()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        got = t.fit_plane(ours, 1.0)
    want = quiet(ref_fit_plane, theirs, 1.0)
    scale = np.max(np.abs(pts))
    for shift in (got[9], want[9]):
        assert np.isnan(shift) or abs(shift) <= BLAS_RTOL * scale, shift
    warned = any("Mean of empty slice" in str(w.message) for w in caught)
    assert warned == bool(np.isnan(got[9])) and np.isnan(got[7]).all() == warned
    assert got[0] > 0.5
    for g, w in zip(got[:7] + got[8:9], want[:7] + want[8:9]):
        assert_blas_same(g, w)
    if not (np.isnan(got[9]) or np.isnan(want[9])):
        blas_close(got[7], want[7], scale=scale)
    assert_blas_same(ours, theirs)


def test_repeated_calls_are_identical_and_refit_the_centred_cloud():
    pts = laser_scene(8, 2000, 0.25)
    a, b = pts.copy(), pts.copy()
    first = t.fit_plane(a, 1.0)
    for g, w in zip(first, t.fit_plane(b, 1.0)):
        assert_blas_same(g, w)
    ref = pts.copy()
    ref_fit_plane(ref, 1.0)
    for g, w in zip(t.fit_plane(a, 1.0), ref_fit_plane(ref, 1.0)):
        assert_blas_same(g, w)
    assert_blas_same(a, ref)


def test_fit_plane_errors():
    pts = laser_scene(9, 50)
    # Too few points: the estimator's error, the array untouched.
    two = pts[:2].copy()
    with pytest.raises(ValueError, match="may not be larger than number of samples: n_samples = 2"):
        t.fit_plane(two, 1.0)
    assert_blas_same(two, pts[:2])
    # A nested list is fitted (so the estimator's errors come first), then fails at the
    # column update and stays unchanged.
    with pytest.raises(ValueError, match="n_samples = 2"):
        t.fit_plane(pts[:2].tolist(), 1.0)
    listed = pts.tolist()
    with pytest.raises(TypeError, match="list indices must be integers or slices, not tuple"):
        t.fit_plane(listed, 1.0)
    assert listed == pts.tolist()
    frozen = pts.copy()
    frozen.flags.writeable = False
    with pytest.raises(ValueError, match="assignment destination is read-only"):
        t.fit_plane(frozen, 1.0)
    with pytest.raises(ValueError, match="expected an N x 3 array"):
        t.fit_plane(pts[:, :2], 1.0)
    # A NaN or an infinity in any column: the estimator's text for X or y, as the reference's.
    for column, value in ((0, np.nan), (1, np.inf), (2, np.nan), (2, -np.inf)):
        bad = laser_scene(9, 300)
        bad[123, column] = value
        with pytest.raises(ValueError) as want:
            ref_fit_plane(bad.copy(), 1.0)
        with pytest.raises(ValueError) as got:
            t.fit_plane(bad.copy(), 1.0)
        assert str(got.value) == str(want.value), (column, value)


# --- from_cnt2cnt --------------------------------------------------------------------

def plane_values(seed):
    Phi, normal_vec, RRa, RRa_inv, Ox, Oy, Oz, p_cos, mean_dist, shift = t.fit_plane(
        laser_scene(seed), 1.0)
    return p_cos, RRa, normal_vec


@pytest.mark.parametrize("seed", range(6))
def test_from_cnt2cnt_matches_reference(seed):
    xs, ys = ellipse_contour(seed)
    plane = plane_values(seed)
    if seed == 4:  # the rotation as a transposed view, plain lists for the plane point
        plane = (list(plane[0]), np.ascontiguousarray(plane[1].T).T, plane[2])
    if seed == 5:
        xs, ys = xs.astype(np.float64) + 0.25, ys.astype(np.float64) - 0.5
    got = t.from_cnt2cnt(xs, ys, *CAM, *plane)
    want = ref_from_cnt2cnt(xs, ys, *CAM, *plane)
    assert type(got) is tuple and len(got) == 5
    for g, w in zip(got, want):
        assert_blas_same(g, w)
    assert got[0][:, 0, :].min(axis=0).tolist() == [10, 10]


def test_from_cnt2cnt_edge_cases():
    p_cos, RRa, normal_vec = plane_values(1)
    one = t.from_cnt2cnt(np.array([700]), np.array([400]), *CAM, p_cos, RRa, normal_vec)
    assert_blas_same(one[0], np.array([[[10, 10]]], np.int32))
    assert_blas_same(one[2], np.array([0]))
    assert_blas_same(one[3], np.array([0]))
    for g, w in zip(one, ref_from_cnt2cnt(np.array([700]), np.array([400]), *CAM, p_cos, RRa,
                                          normal_vec)):
        assert_blas_same(g, w)
    # A plane x = 5 seen edge-on: the principal ray is parallel and yields the centre.
    args = (np.array([959.5, 1500.0, 1200.0]), np.array([539.5, 539.5, 900.0]), *CAM,
            np.array([5.0, 0.0, 0.0]), np.eye(3), np.array([1.0, 0.0, 0.0]))
    got = t.from_cnt2cnt(*args)
    assert_blas_same(got[4][0], np.zeros(3))
    for g, w in zip(got, ref_from_cnt2cnt(*args)):
        assert_blas_same(g, w)


def test_from_cnt2cnt_errors():
    p_cos, RRa, normal_vec = plane_values(2)
    empty = np.array([], np.int32)
    with pytest.raises(ValueError, match="zero-size array to reduction operation minimum which "
                                         "has no identity"):
        t.from_cnt2cnt(empty, empty, *CAM, p_cos, RRa, normal_vec)
    # 250000 length units do not fit the 32-bit grid: the composition wraps, we refuse.
    args = (np.array([0.0, 1.0]), np.array([0.0, 0.0]), 1.0, 1.0, 250000.0, 0.0, 0.0,
            np.array([0.0, 0.0, 1.0]), np.eye(3), np.array([0.0, 0.0, 1.0]))
    crt = ref_from_cnt2cnt(*args)[0]
    assert crt[1, 0, 0] != 250000 * 10000 + 10
    with pytest.raises(OverflowError, match="250000 x 0 length units"):
        t.from_cnt2cnt(*args)


def test_fit_plane_refuses_more_points_than_it_can_address():
    for n, dtype in ((2 ** 31, np.float64), (2 ** 40, np.float64), (2 ** 31 + 7, np.int32)):
        # (An int32 array would need a converted copy of 48 GiB: it is refused first.)
        huge = np.lib.stride_tricks.as_strided(np.zeros(3, dtype), shape=(n, 3),
                                               strides=(0, np.dtype(dtype).itemsize),
                                               writeable=False)
        with pytest.raises(ValueError, match=rf"^all_laser_3d_pts: {n} points are more than the "
                                             r"plane fit can address \(at most 2147483647\)"):
            t.fit_plane(huge, 1.0)


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer aborts on allocations it cannot make")
def test_from_cnt2cnt_names_the_argument_it_cannot_copy():
    huge = np.lib.stride_tricks.as_strided(np.zeros(1), shape=(2 ** 40,), strides=(0,))
    with pytest.raises(MemoryError, match="^xs: Unable to allocate"):
        t.from_cnt2cnt(huge, huge, *CAM, np.zeros(3), np.eye(3), np.ones(3))
