"""A turntable's axis from the poses of a pattern lying or standing on it, and turntable.json.

Turning the table by an angle a about its axis (unit direction u through a point c, camera
frame) takes a board pose (R, t) to (Rot(u, a) R, Rot(u, a) (t - c) + c). So the relative
rotation R_k R_j^T of any two table positions is a rotation about u, and every board point
moves on a circle about the axis, in a plane perpendicular to it.

- The direction: the unit vector that all relative rotations leave most nearly where it is,
  the least singular vector of the stacked R_k R_j^T - I over every pair of positions (a
  pair turned by a small angle, whose own axis is ill-defined, weighs little in it).
- The angles: each position's turn from the first about u (the least-squares angle of
  R_k R_0^T about u), unwrapped along the sequence; u is oriented so that the angles sum to
  a positive number (right-hand rule: the table turned that way between the frames given).
- The point: the board points' positions projected onto the plane perpendicular to u, one
  circle per board point, all about one centre (a joint algebraic fit, then the geometric
  one); the axis line through that centre is reported by its point nearest the first
  position's pattern centre.

turntable.json (mm, camera frame of the corrected image):
  "point"            [3 floats] the axis line's point nearest the first frame's pattern centre
  "direction"        [3 floats] unit direction of the axis
  "angles_deg"       each frame's turn from the first, about "direction"
  "span_deg"         the largest minus the smallest angle
  "circle_rms_mm"    RMS distance of the pattern points to their circles about the axis
  "axis_spread_deg"  RMS angle of the frame pairs' rotation axes to "direction"
  "frames", "calib"  the frame paths used (in order) and the calibration file's path
A hand-written file needs only "point" and "direction"."""
import json
import math
import os
import typing

import cv2
import numpy as np

from .output import atomic_output
from .plaindata import plain


class Axis(typing.NamedTuple):
    """A line: a point on it and its unit direction (camera frame, mm)."""
    point: np.ndarray
    direction: np.ndarray

    def nearest(self, at):
        """The line's point nearest `at`."""
        at = np.asarray(at, dtype=np.float64)
        return self.point + ((at - self.point) @ self.direction) * self.direction

    def distance(self, points):
        """Distances of the N x 3 (or 3) `points` to the line."""
        d = np.asarray(points, dtype=np.float64) - self.point
        return np.linalg.norm(d - (d @ self.direction)[..., None] * self.direction, axis=-1)


class Fit(typing.NamedTuple):
    """A turntable fitted to K positions of N board points. `heights` are along the
    direction from axis.point; `residuals` (K x N) each position's 3-D distance to its
    point's circle."""
    axis: Axis
    angles_deg: np.ndarray
    circle_rms_mm: float
    axis_spread_deg: float
    radii: np.ndarray
    heights: np.ndarray
    residuals: np.ndarray

    @property
    def span_deg(self):
        return float(self.angles_deg.max() - self.angles_deg.min())

    def circle(self, i, samples=180):
        """samples x 3 points of board point i's circle."""
        u = self.axis.direction
        e1, e2 = plane_basis(u)
        phi = np.linspace(0.0, 2.0 * math.pi, samples)
        centre = self.axis.point + self.heights[i] * u
        return centre + self.radii[i] * (np.cos(phi)[:, None] * e1 + np.sin(phi)[:, None] * e2)


def plane_basis(u):
    """Two unit vectors that make a right-handed frame (e1, e2, u) with the unit vector u."""
    helper = np.eye(3)[int(np.argmin(np.abs(u)))]
    e1 = np.cross(helper, u)
    e1 /= np.linalg.norm(e1)
    return e1, np.cross(u, e1)


def _vee(m):
    return np.array([m[2, 1] - m[1, 2], m[0, 2] - m[2, 0], m[1, 0] - m[0, 1]])


def _pairs(rotations):
    return [(rotations[k] @ rotations[j].T) for j in range(len(rotations))
            for k in range(j + 1, len(rotations))]


def axis_direction(rotations):
    """The unit vector the relative rotations of all pairs leave most nearly fixed (sign
    arbitrary)."""
    stacked = np.concatenate([q - np.eye(3) for q in _pairs(rotations)])
    return np.linalg.svd(stacked)[2][2]


def angle_about(q, u):
    """The angle (radians) of the rotation about u nearest to the rotation matrix q (least
    squares over the matrix entries)."""
    return math.atan2(float(u @ _vee(q)), float(np.trace(q) - u @ q @ u))


def turn_angles(rotations, u):
    """Each rotation's turn from the first about u (radians), unwrapped along the sequence
    so that consecutive positions differ by less than half a turn."""
    raw = np.array([angle_about(r @ rotations[0].T, u) for r in rotations])
    steps = (np.diff(raw) + math.pi) % (2.0 * math.pi) - math.pi
    return np.concatenate([[0.0], np.cumsum(steps)])


def axis_spread(rotations, u):
    """RMS angle (degrees) between the rotation axes of the pairs and the line u, each pair
    weighted by its squared angle: a pair turned by little has an ill-defined axis."""
    weights, errors = [], []
    for q in _pairs(rotations):
        w = cv2.Rodrigues(q)[0].ravel()
        angle = float(np.linalg.norm(w))
        if angle < 1e-9:
            continue
        weights.append(angle * angle)
        errors.append(math.atan2(float(np.linalg.norm(np.cross(w, u))), abs(float(w @ u))))
    if not weights:
        return float("nan")
    return math.degrees(math.sqrt(np.average(np.square(errors), weights=weights)))


def fit_circles(points, u, iterations=50):
    """The centre (2-vector in plane_basis(u), mm) shared by the circles on which each board
    point moves, from its K x N x 2 projected positions: the algebraic (Kasa) fit with
    every point's own radius, then Gauss-Newton on the distances to the circles, whose
    radii follow the centre (each the mean distance of its point's positions)."""
    e1, e2 = plane_basis(u)
    xy = np.stack([points @ e1, points @ e2], axis=-1)
    origin = xy.reshape(-1, 2).mean(axis=0)          # conditioning: lengths of the board
    xy = xy - origin
    # |p - c|^2 = r_i^2, minus its mean over the positions: 2 (p - mean p) . c = |p|^2 - mean
    sq = np.sum(xy * xy, axis=-1)
    a = 2.0 * (xy - xy.mean(axis=0)).reshape(-1, 2)
    b = (sq - sq.mean(axis=0)).ravel()
    c = np.linalg.lstsq(a, b, rcond=None)[0]
    for _ in range(iterations):
        d = np.maximum(np.linalg.norm(xy - c, axis=-1), 1e-12)
        n = (xy - c) / d[..., None]
        jac = -(n - n.mean(axis=0)).reshape(-1, 2)
        step = np.linalg.lstsq(jac, -(d - d.mean(axis=0)).ravel(), rcond=None)[0]
        c = c + step
        if np.linalg.norm(step) < 1e-10:
            break
    return c + origin


def fit_turntable(rotations, points):
    """The Fit of K board rotations (3 x 3) and the board's N points at each position
    (K x N x 3, camera frame)."""
    points = np.asarray(points, dtype=np.float64)
    u = axis_direction(rotations)
    angles = turn_angles(rotations, u)
    if angles.sum() < 0:
        u, angles = -u, -angles
    e1, e2 = plane_basis(u)
    centre = fit_circles(points, u)
    on_axis = centre[0] * e1 + centre[1] * e2
    axis = Axis(on_axis, u)
    axis = Axis(axis.nearest(points[0].mean(axis=0)), u)
    rel = points - axis.point
    h = rel @ u
    d = axis.distance(points)
    radii, heights = d.mean(axis=0), h.mean(axis=0)
    residuals = np.hypot(d - radii, h - heights)
    return Fit(axis, np.degrees(angles), float(np.sqrt(np.mean(residuals ** 2))),
               axis_spread(rotations, u), radii, heights, residuals)


def write_turntable(path, fit, frames, calib):
    """turntable.json at `path` (written whole or not at all); returns the dict written."""
    rec = plain({"point": fit.axis.point, "direction": fit.axis.direction,
                 "angles_deg": fit.angles_deg, "span_deg": fit.span_deg,
                 "circle_rms_mm": fit.circle_rms_mm, "axis_spread_deg": fit.axis_spread_deg,
                 "frames": [os.fspath(f) for f in frames], "calib": os.fspath(calib)},
                nan_as_none=True)
    text = json.dumps(rec, indent=2, allow_nan=False) + "\n"
    with atomic_output(path, "w") as f:
        f.write(text)
    return rec
