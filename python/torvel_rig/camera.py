"""The library's pinhole camera model from an OpenCV camera matrix, and
the geometric steps every command takes through `torvel_class`: lines of sight, their
points on a plane, projection back to pixels.

The corrected (undistorted) image of a calibration file is an ideal pinhole image with the
calibrated camera matrix K: a pixel (row r, column c) looks along
((c - cx) / fx, (r - cy) / fy, 1). The library writes the same direction as
((c - center_col) * pixel_sizec, (r - center_row) * pixel_sizer, focus), so with a sensor
pitch p: focus = fx * p, pixel_sizec = p, pixel_sizer = p * fx / fy, center_col = cx,
center_row = cy. Lengths on planes come out in the unit of the plane's points (mm); the
pitch only sets the unit of `focus`."""
import collections

import numpy as np
from torvel import torvel_class

DEFAULT_PIXEL_SIZE = 0.0048   # mm; any pitch gives the same lines of sight

_TV = torvel_class()

# The five camera arguments in the order get_line_of_sight_pts and from_cnt2cnt take them.
Camera = collections.namedtuple("Camera", "focus pixel_sizer pixel_sizec center_row center_col")


def camera_parameters(camera_matrix, pixel_size=DEFAULT_PIXEL_SIZE):
    """The library's five camera parameters (a Camera, in the library's argument order) of a
    3 x 3 camera matrix and a sensor pitch in mm."""
    k = np.asarray(camera_matrix, dtype=np.float64)
    fx, fy, cx, cy = k[0, 0], k[1, 1], k[0, 2], k[1, 2]
    p = float(pixel_size)
    return Camera(focus=float(fx * p), pixel_sizer=float(p * fx / fy), pixel_sizec=p,
                  center_row=float(cy), center_col=float(cx))


def camera_matrix(cam):
    """The 3 x 3 pinhole camera matrix of a Camera (inverse of camera_parameters)."""
    fx = cam.focus / cam.pixel_sizec
    fy = cam.focus / cam.pixel_sizer
    return np.array([[fx, 0.0, cam.center_col], [0.0, fy, cam.center_row], [0.0, 0.0, 1.0]])


def lines_of_sight(cam, xs, ys):
    """Unit lines of sight, 3 x N, of the corrected-image points (xs = columns, ys = rows),
    by `get_line_of_sight_pts`."""
    xs = np.asarray(xs, dtype=np.float64).ravel()
    ys = np.asarray(ys, dtype=np.float64).ravel()
    return np.asarray(_TV.get_line_of_sight_pts(ys, xs, *cam), dtype=np.float64).reshape(3, -1)


def points_on_plane(cam, xs, ys, plane_point, plane_normal):
    """N x 3 camera-frame points where the lines of sight of the corrected-image points
    (xs, ys) meet the plane through `plane_point` with normal `plane_normal`
    (`get_line_of_sight_pts`, then `intersect_line_plane`)."""
    d = lines_of_sight(cam, xs, ys)
    n = d.shape[1]
    return np.asarray(_TV.intersect_line_plane(
        np.zeros((n, 3)), np.ascontiguousarray(d.T), np.asarray(plane_point, dtype=np.float64),
        np.asarray(plane_normal, dtype=np.float64)), dtype=np.float64).reshape(n, 3)


def project(cam, points):
    """Integer pixel (rows, cols) of N x 3 camera-frame points (`get_img_coord_from_3d_pts`,
    truncating toward zero)."""
    p = np.asarray(points, dtype=np.float64).reshape(-1, 3)
    return _TV.get_img_coord_from_3d_pts(p[:, 0], p[:, 1], p[:, 2], cam.focus, cam.center_col,
                                         cam.center_row, cam.pixel_sizec, cam.pixel_sizer)


def project_float(cam, points):
    """Sub-pixel (xs, ys) of N x 3 camera-frame points under the pinhole (for drawing)."""
    p = np.asarray(points, dtype=np.float64).reshape(-1, 3)
    k = p[:, 2] / cam.focus
    return (p[:, 0] / k / cam.pixel_sizec + cam.center_col,
            p[:, 1] / k / cam.pixel_sizer + cam.center_row)
