"""Error ellipse: torvel against the NumPy and SciPy composition of the tests."""
import os
import sys

import numpy as np
from scipy.stats import chi2

import torvel

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))
import test_ellipse  # noqa: E402  (the composition the tests compare against)

t = torvel.torvel_class()


def ref_multiplier(mass_level):
    """The grid search as the composition runs it on every call (no table kept)."""
    if mass_level is None:
        return np.sqrt(2.279)
    distances = np.linspace(0, 20, 20001)
    err = np.abs(chi2.cdf(distances, df=2) - mass_level)
    return np.sqrt(distances[np.where(err == err.min())[0][0]])


def ref_plot_ellipse(*args, **kwargs):
    saved = test_ellipse.ref_multiplier
    test_ellipse.ref_multiplier = ref_multiplier
    try:
        return test_ellipse.ref_plot_ellipse(*args, **kwargs)
    finally:
        test_ellipse.ref_multiplier = saved


def rows():
    cov = np.array([[4.0, 1.2], [1.2, 2.0]])
    return [
        ("plot_ellipse, semi-axes and angle, 1000 points",
         lambda: t.plot_ellipse(3, 1, 0.4, 10, 20), lambda: ref_plot_ellipse(3, 1, 0.4, 10, 20)),
        ("plot_ellipse, covariance, mass 0.95, 1000 points",
         lambda: t.plot_ellipse(cov=cov, mass_level=0.95),
         lambda: ref_plot_ellipse(cov=cov, mass_level=0.95)),
        ("plot_ellipse, covariance, no mass, 1000 points",
         lambda: t.plot_ellipse(cov=cov, mass_level=None),
         lambda: ref_plot_ellipse(cov=cov, mass_level=None)),
    ]
