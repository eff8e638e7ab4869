"""One whole frame of the measuring chain, torvel against the same chain composed of the
reference steps (NumPy, cv2, scikit-learn) the tests compare against: bilinear undistortion
of a 1920 x 1080 frame, the laser line, lines of sight and intersection of the stripe
points, a plane fit on 2,000 points, the axis measurement, the contour onto the plane and
a covariance ellipse."""
import os
import sys

import cv2
import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))

import torvel  # noqa: E402
from bench_calib import ref_undistort_bilinear  # noqa: E402
from bench_ellipse import ref_plot_ellipse  # noqa: E402
from samples import ref_get_laser_line, ref_intersect, ref_line_of_sight  # noqa: E402
from test_contour import Composition as ContourComposition  # noqa: E402
from test_plane import laser_scene, ref_fit_plane, ref_from_cnt2cnt  # noqa: E402
from torvel_rig.synthetic import LensRig  # noqa: E402

lens = LensRig()


class Composition:
    """The methods the chain calls, written with NumPy, cv2 and scikit-learn."""

    undistort_bilinear = staticmethod(ref_undistort_bilinear)
    get_laser_line = staticmethod(ref_get_laser_line)
    get_line_of_sight_pts = staticmethod(ref_line_of_sight)
    intersect_line_plane = staticmethod(ref_intersect)
    fit_plane = staticmethod(ref_fit_plane)
    from_cnt2cnt = staticmethod(ref_from_cnt2cnt)
    plot_ellipse = staticmethod(ref_plot_ellipse)
    get_short_long_intersection = ContourComposition().get_short_long_intersection


def inputs():
    rng = np.random.default_rng(2026)
    sight = lens.sight_of_raw_pixels()
    maparray, weights = lens.calibration()
    raw_stripe = lens.render_stripe(sight, 550.0, rng)
    raw_section = lens.render_section(sight, rng)
    mask1, mask2 = lens.region_masks()
    t = torvel.torvel_class()
    section = np.where(t.undistort_bilinear(raw_section, maparray, *weights) > 120, 255,
                       0).astype(np.uint8)
    contour = max(cv2.findContours(section, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_NONE)[0],
                  key=cv2.contourArea)
    return dict(raw=raw_stripe, maparray=maparray, weights=weights, mask1=mask1, mask2=mask2,
                plane_pts=laser_scene(7, 2000, 0.2), section=section,
                xs=contour[:, 0, 0], ys=contour[:, 0, 1])


def frame(m, d):
    """The chain on one frame with the methods of m."""
    cam = lens.camera
    img = m.undistort_bilinear(d["raw"], d["maparray"], *d["weights"])
    th2 = cv2.threshold(img, 100, 255, cv2.THRESH_BINARY)[1]
    cols, rows = m.get_laser_line(d["mask1"], d["mask2"], th2, 1)
    sight = m.get_line_of_sight_pts(rows, cols, *cam)
    m.intersect_line_plane(np.zeros((sight.shape[1], 3)), sight.T, np.array([0.0, 0.0, 550.0]),
                           np.array([0.0, 0.0, 1.0]))
    plane = m.fit_plane(d["plane_pts"].copy(), 1.0)
    axes = m.get_short_long_intersection(d["section"])
    crt, hor, fx, fy, pts3d = m.from_cnt2cnt(d["xs"], d["ys"], *cam, plane[7], plane[2], plane[1])
    x, y = m.plot_ellipse(x_cent=hor[0].mean(), y_cent=hor[1].mean(), cov=np.cov(hor[:2]),
                          mass_level=0.95)
    return axes, x, y


def rows():
    d = inputs()
    t, ref = torvel.torvel_class(), Composition()
    return [("one frame of the measuring chain (1920 x 1080)", lambda: frame(t, d),
             lambda: frame(ref, d))]
