"""Error ellipse against the same steps composed with NumPy and SciPy."""
import numpy as np
import pytest
from scipy.stats import chi2

import torvel

t = torvel.torvel_class()

DISTANCES = np.linspace(0, 20, 20001)
CHI2_CDF = chi2.cdf(DISTANCES, df=2)


def ref_multiplier(mass_level):
    if mass_level is None:
        return np.sqrt(2.279)
    err = np.abs(CHI2_CDF - mass_level)
    return np.sqrt(DISTANCES[np.where(err == err.min())[0][0]])


def ref_plot_ellipse(semimaj=1, semimin=1, phi=0, x_cent=0, y_cent=0, theta_num=1e3,
                     cov=None, mass_level=0.68):
    """The method's steps written with NumPy and SciPy (NumPy's decomposition, read by row 0)."""
    if cov is not None:
        eig_vec, eig_val, _ = np.linalg.svd(cov)
        if eig_vec[0][0] < 0:
            eig_vec[0] *= -1
        semimaj = np.sqrt(eig_val[0])
        semimin = np.sqrt(eig_val[1])
        multiplier = ref_multiplier(mass_level)
        semimaj *= multiplier
        semimin *= multiplier
        phi = np.arccos(np.dot(eig_vec[0], [1, 0]))
        if eig_vec[0][1] < 0 and phi > 0:
            phi *= -1
    theta = np.linspace(0, 2 * np.pi, int(theta_num))
    r = 1 / np.sqrt(np.cos(theta) ** 2 + np.sin(theta) ** 2)
    x = r * np.cos(theta)
    y = r * np.sin(theta)
    data = np.array([x, y])
    S = np.array([[semimaj, 0], [0, semimin]])
    R = np.array([[np.cos(phi), -np.sin(phi)], [np.sin(phi), np.cos(phi)]])
    T = np.dot(R, S)
    data = np.dot(T, data)
    data[0] += x_cent
    data[1] += y_cent
    return data[0], data[1]


def arccos_noise(cov):
    """How far the composition's arccos of the factor's first entry may be off: near 0
    and pi the arccos magnifies the entry's last-bit error by 1 / |sin phi|."""
    if cov is None:
        return 0.0
    u, s, _ = np.linalg.svd(cov)
    sin_phi = abs(u[1][0])
    if sin_phi == 0 or not np.isfinite(s[0]):
        return 0.0
    return np.sqrt(s[0]) * 4.5 * 8 * np.finfo(float).eps / sin_phi


def assert_close(got, want, cov=None):
    # NumPy's float64 cos/sin and its BLAS product differ from the C library's and plain
    # products by a few ulp, so the outlines agree to 1e-12 of their size (plus the
    # composition's own arccos noise for directions close to the axes).
    x, y = got
    wx, wy = want
    assert x.dtype == np.float64 and y.dtype == np.float64 and x.shape == wx.shape
    scale = max(1.0, np.max(np.abs(wx), initial=0), np.max(np.abs(wy), initial=0))
    atol = 1e-12 * scale + arccos_noise(cov)
    np.testing.assert_allclose(x, wx, rtol=0, atol=atol)
    np.testing.assert_allclose(y, wy, rtol=0, atol=atol)


def test_defaults_and_point_counts():
    x, y = t.plot_ellipse()
    assert x.shape == (1000,) and y.shape == (1000,)
    assert (x[0], y[0]) == (1.0, 0.0)
    assert x[-1] == 1.0 and y[-1] == pytest.approx(-2.449e-16, abs=1e-19)
    assert x.base is not None and x.base is y.base and x.base.shape == (2, 1000)
    assert_close((x, y), ref_plot_ellipse())
    assert len(t.plot_ellipse(theta_num=10.9)[0]) == 10
    x, y = t.plot_ellipse(theta_num=0)
    assert x.shape == (0,) and y.shape == (0,)
    x, y = t.plot_ellipse(3, 2, 0.4, 5, -7, theta_num=1)
    assert x.tolist() == pytest.approx([5 + 3 * np.cos(0.4)]) and y.tolist() == pytest.approx([-7 + 3 * np.sin(0.4)])
    x, y = t.plot_ellipse(2, 1, np.pi / 2, 10, 20, theta_num=5)
    assert x[0] == pytest.approx(10) and y[0] == 22.0


def test_outline_matches_composition():
    rng = np.random.default_rng(1)
    for _ in range(300):
        args = dict(semimaj=float(rng.uniform(0, 50)), semimin=float(rng.uniform(0, 50)),
                    phi=float(rng.uniform(-7, 7)), x_cent=float(rng.normal(0, 100)),
                    y_cent=float(rng.normal(0, 100)), theta_num=int(rng.integers(1, 3000)))
        assert_close(t.plot_ellipse(**args), ref_plot_ellipse(**args))
    assert_close(t.plot_ellipse(2, 3, 1, 4, 5, 17), ref_plot_ellipse(2, 3, 1, 4, 5, 17))  # integers


def random_covariances(rng, n):
    for k in range(n):
        kind = k % 5
        if kind == 0:
            a = rng.normal(size=(2, 2)) * rng.uniform(0.01, 100)
            yield a @ a.T
        elif kind == 1:  # nearly singular
            v = rng.normal(size=2)
            yield np.outer(v, v) + np.diag(rng.uniform(1e-6, 1e-3, 2))
        elif kind == 2:  # symmetric indefinite
            a = rng.normal(size=(2, 2))
            yield (a + a.T) / 2
        elif kind == 3:  # diagonal, either order, zeros allowed
            yield np.diag(rng.choice([0.0, 0.5, 1.0, 4.0, 9.0], 2))
        else:  # not symmetric
            yield rng.normal(size=(2, 2))


def row0_phi(u):
    """The row-0 reading of the factor: sign of row 0, arccos of its first entry."""
    u = u.copy()
    if u[0][0] < 0:
        u[0] *= -1
    phi = np.arccos(np.dot(u[0], [1, 0]))
    return -phi if u[0][1] < 0 and phi > 0 else phi


def column0_phi(u):
    """The first principal direction (column 0), folded into (-pi/2, pi/2]."""
    c = u[:, 0] if u[0][0] >= 0 else -u[:, 0]
    phi = np.arccos(c[0])
    phi = -phi if c[1] < 0 and phi > 0 else phi
    return phi + np.pi if phi <= -np.pi / 2 else phi


def test_numpy_factors_read_by_row_or_column_agree():
    # NumPy's left factor has determinant -1 for every non-diagonal 2 x 2 matrix, where its
    # row 0 is its column 0; for diagonal ones both readings agree as well.
    rng = np.random.default_rng(4)
    dets = set()
    for cov in random_covariances(rng, 5000):
        u = np.linalg.svd(cov)[0]
        if cov[0][1] != 0 or cov[1][0] != 0:
            dets.add(round(np.linalg.det(u)))
        assert row0_phi(u) == column0_phi(u)
    assert dets == {-1}


def test_covariance_matches_composition_with_numpy_svd():
    rng = np.random.default_rng(2)
    masses = [None, 0.68, 0.5, 0.95, 0.99, 0.0, 1.0, -2.0, 3.0]
    for k, cov in enumerate(random_covariances(rng, 3000)):
        mass = masses[k % len(masses)] if k % 2 else float(rng.uniform(-0.1, 1.1))
        args = dict(x_cent=float(rng.normal()), y_cent=float(rng.normal()), theta_num=int(rng.integers(1, 400)),
                    cov=cov, mass_level=mass)
        assert_close(t.plot_ellipse(**args), ref_plot_ellipse(**args), cov)
    assert_close(t.plot_ellipse(cov=[[4, 0], [0, 1]]), ref_plot_ellipse(cov=np.array([[4, 0], [0, 1]])))
    assert_close(t.plot_ellipse(cov=[[1, 0], [0, 4]]), ref_plot_ellipse(cov=np.array([[1, 0], [0, 4]])))


def test_direction_does_not_depend_on_the_factor_signs():
    # A factor with determinant +1 ([[-0.8, 0.6], [-0.6, -0.8]]) read by row 0 gives
    # phi = -0.6435 although its first direction (-0.8, -0.6) lies at +0.6435.
    u = np.array([[-0.8, 0.6], [-0.6, -0.8]])
    cov = u @ np.diag([4.0, 1.0]) @ u.T
    x, y = t.plot_ellipse(cov=cov, mass_level=None, theta_num=5)
    semimaj = 2 * np.sqrt(2.279)
    assert x[0] == pytest.approx(0.8 * semimaj) and y[0] == pytest.approx(0.6 * semimaj)
    x, y = t.plot_ellipse(cov=[[4, 0], [0, 1]], theta_num=1)
    assert (x[0], y[0]) == (2 * np.sqrt(2.279), 0.0)
    x, y = t.plot_ellipse(cov=[[1, 0], [0, 4]], theta_num=1)  # long axis along y
    assert x[0] == pytest.approx(0, abs=1e-15) and y[0] == 2 * np.sqrt(2.279)


def test_multiplier_grid_index_is_the_composition_s():
    # With cov = I and one point at phi = 0, x equals the multiplier itself.
    rng = np.random.default_rng(3)
    idx = rng.integers(0, 20000, 700)
    mids = CHI2_CDF[idx] + (CHI2_CDF[idx + 1] - CHI2_CDF[idx]) / 2
    masses = np.concatenate([rng.uniform(-0.2, 1.2, 2000), CHI2_CDF[idx], mids,
                             np.nextafter(mids, 0), np.nextafter(mids, 2),
                             [0, -0.0, 1, 0.5, 0.68, 0.9, 0.95, 0.99, -1, 2, 1e17, 1e8, np.inf, -np.inf]])
    for m in masses:
        x, _ = t.plot_ellipse(cov=np.eye(2), theta_num=1, mass_level=float(m))
        assert x[0] == ref_multiplier(m), m
    x, _ = t.plot_ellipse(cov=np.eye(2), theta_num=1, mass_level=None)
    assert x[0] == np.sqrt(2.279)
    table = {0.68: 2.279, 0.5: 1.386, 0.9: 4.605, 0.95: 5.991, 0.99: 9.210, 0: 0, -1: 0, 1: 20, 5: 20}
    for mass, d in table.items():
        x, _ = t.plot_ellipse(cov=np.eye(2), theta_num=1, mass_level=mass)
        assert x[0] == pytest.approx(np.sqrt(d), abs=1e-15)


def test_ignored_and_replaced_arguments():
    base = t.plot_ellipse(3, 1, 0.3, 1, 2, 50)
    other = t.plot_ellipse(3, 1, 0.3, 1, 2, 50, ax=object(), plot_kwargs={"c": 1}, fill=True,
                           fill_kwargs=[], data_out=True, mass_level="unused without cov")
    assert np.array_equal(base[0], other[0]) and np.array_equal(base[1], other[1])
    a = t.plot_ellipse(cov=[[2, 1], [1, 3]], theta_num=20)
    b = t.plot_ellipse(semimaj=None, semimin="x", phi=[], cov=[[2, 1], [1, 3]], theta_num=20)
    assert np.array_equal(a[0], b[0]) and np.array_equal(a[1], b[1])


def test_errors():
    with pytest.raises(ValueError, match="Number of samples, -1, must be non-negative"):
        t.plot_ellipse(theta_num=-1)
    with pytest.raises(TypeError):
        t.plot_ellipse(theta_num=None)
    with pytest.raises(IndexError):
        t.plot_ellipse(cov=[[1.0]])
    with pytest.raises(IndexError):
        t.plot_ellipse(cov=[[1.0, 2.0, 3.0]])
    with pytest.raises(ValueError, match="not aligned"):
        t.plot_ellipse(cov=np.eye(3))
    with pytest.raises(ValueError):
        t.plot_ellipse(cov=np.ones((2, 3)))
    with pytest.raises(np.linalg.LinAlgError):
        t.plot_ellipse(cov=[1.0, 2.0])
    with pytest.raises(np.linalg.LinAlgError, match="SVD did not converge"):
        t.plot_ellipse(cov=[[1.0, np.nan], [0.0, 1.0]])
    with pytest.raises(IndexError):
        t.plot_ellipse(cov=np.eye(2), mass_level=float("nan"))
    with pytest.raises(TypeError):
        t.plot_ellipse(cov=np.eye(2), mass_level="0.5")
    with pytest.raises(TypeError):
        t.plot_ellipse(x_cent=None)
    x, y = t.plot_ellipse(cov=[[1.0, np.inf], [0.0, 1.0]], theta_num=4)
    assert np.isnan(x).all() and np.isnan(y).all()
