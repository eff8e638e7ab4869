"""Camera model and line-plane intersection: torvel against the NumPy composition."""
import math

import numpy as np

import torvel

t = torvel.torvel_class()
CAM = (8.0, 0.0048, 0.0048, 539.5, 959.5)


class Composition:
    """The method as a calling script would write it in Python."""

    def distance_2pts(self, p1, p2):
        return math.sqrt((p1[0] - p2[0]) ** 2 + (p1[1] - p2[1]) ** 2)


ref = Composition()


def ref_line_of_sight(rows, cols, focus, pixel_sizer, pixel_sizec, center_row, center_col):
    rcs = np.array([rows, cols])
    vec = np.array([(rcs[1] - center_col) * pixel_sizec,
                    (rcs[0] - center_row) * pixel_sizer,
                    np.ones(rcs[0].shape) * focus])
    return vec / np.linalg.norm(vec, axis=0)


def ref_img_coord(x, y, z, focus, center_col, center_row, pixel_sizec, pixel_sizer):
    k = z / focus
    row = ((y / k) / pixel_sizer) + center_row
    col = ((x / k) / pixel_sizec) + center_col
    return row.astype(np.int64), col.astype(np.int64)


def ref_intersect(vecpt0s, vecpt1s, p_cos, p_nos, epsion=1e-6):
    us = vecpt1s - vecpt0s
    dots = np.sum(us * p_nos, axis=1)
    dots[np.abs(dots) < epsion] = np.inf
    ws = vecpt0s - p_cos
    facs = -np.sum(p_nos * ws, axis=1) / dots
    ex_facs = np.zeros((len(facs), 3))
    ex_facs[:, 0] = facs
    ex_facs[:, 1] = facs
    ex_facs[:, 2] = facs
    return vecpt0s + us * ex_facs


def rows():
    rng = np.random.default_rng(1)
    out = [("distance_2pts, one call", lambda: t.distance_2pts((1.0, 2.0), (4.0, 6.0)),
            lambda: ref.distance_2pts((1.0, 2.0), (4.0, 6.0)))]
    for n in (1000, 1_000_000):
        r = rng.uniform(0, 1080, n)
        c = rng.uniform(0, 1920, n)
        out.append((f"get_line_of_sight_pts, N = {n:,}",
                    lambda r=r, c=c: t.get_line_of_sight_pts(r, c, *CAM),
                    lambda r=r, c=c: ref_line_of_sight(r, c, *CAM)))
    for n in (1000, 1_000_000):
        v1 = t.get_line_of_sight_pts(rng.uniform(0, 1080, n), rng.uniform(0, 1920, n), *CAM).T.copy()
        v0 = np.zeros((n, 3))
        p = np.array([0.0, 0.0, 600.0])
        nrm = np.array([0.1, -0.6, 0.79])
        out.append((f"intersect_line_plane, N = {n:,}",
                    lambda v0=v0, v1=v1, p=p, nrm=nrm: t.intersect_line_plane(v0, v1, p, nrm),
                    lambda v0=v0, v1=v1, p=p, nrm=nrm: ref_intersect(v0, v1, p, nrm)))
    n = 1_000_000
    x, y, z = rng.uniform(-100, 100, n), rng.uniform(-100, 100, n), rng.uniform(300, 900, n)
    args = (8, 959.5, 539.5, 0.0048, 0.0048)
    out.append((f"get_img_coord_from_3d_pts, N = {n:,}",
                lambda: t.get_img_coord_from_3d_pts(x, y, z, *args),
                lambda: ref_img_coord(x, y, z, *args)))
    tiny = np.zeros((1, 3)), np.array([[0.0, 0.0, 1.0]]), np.array([0, 0, 5.0]), np.array([0, 0, 1.0])
    out.append(("intersect_line_plane, N = 1 (call overhead)",
                lambda: t.intersect_line_plane(*tiny), lambda: ref_intersect(*tiny)))
    return out
