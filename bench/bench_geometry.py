"""Camera model and line-plane intersection: torvel against the NumPy composition."""
import math
import os
import sys

import numpy as np

import torvel

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))
from samples import ref_intersect, ref_line_of_sight  # noqa: E402
from test_geometry import ref_img_coord  # noqa: E402

t = torvel.torvel_class()
CAM = (8.0, 0.0048, 0.0048, 539.5, 959.5)


class Composition:
    """The method as a calling script would write it in Python."""

    def distance_2pts(self, p1, p2):
        return math.sqrt((p1[0] - p2[0]) ** 2 + (p1[1] - p2[1]) ** 2)


ref = Composition()


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
