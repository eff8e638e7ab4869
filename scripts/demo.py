"""torvel on a synthetic rig: a pinhole camera (8 mm, 4.8 um pixels, 1920 x 1080) looking
at a laser plane tilted 20 degrees; what each step computes, against the rig's truth."""
import math
import time

import numpy as np

from torvel import torvel_class

FOCUS, PIXEL, H, W = 8.0, 0.0048, 1080, 1920
CENTER_ROW, CENTER_COL = (H - 1) / 2, (W - 1) / 2
TILT = math.radians(20.0)
PLANE_POINT = np.array([0.0, 0.0, 600.0])                  # mm, camera frame
PLANE_NORMAL = np.array([0.0, math.sin(TILT), math.cos(TILT)])


def timed(label, fn, *args, **kwargs):
    t0 = time.perf_counter()
    result = fn(*args, **kwargs)
    print(f"  {label:<44} {1e3 * (time.perf_counter() - t0):8.3f} ms")
    return result


def main():
    tv = torvel_class()
    rng = np.random.default_rng(2026)
    print("Synthetic rig: camera 8 mm / 4.8 um / 1920 x 1080, laser plane tilted 20 deg at 600 mm")

    # The laser stripe as the camera sees it: pixels along a row band, with sub-pixel noise.
    cols = np.linspace(100, 1820, 2000)
    rows = 540 + 0.05 * (cols - 960) + rng.normal(0, 0.3, cols.size)
    print("Steps:")
    sight = timed("lines of sight of 2,000 stripe pixels", tv.get_line_of_sight_pts,
                  rows, cols, FOCUS, PIXEL, PIXEL, CENTER_ROW, CENTER_COL)
    pts = timed("intersection with the laser plane", tv.intersect_line_plane,
                np.zeros((cols.size, 3)), sight.T, PLANE_POINT, PLANE_NORMAL)
    back_row, back_col = timed("projection back to pixels", tv.get_img_coord_from_3d_pts,
                               pts[:, 0], pts[:, 1], pts[:, 2], FOCUS, CENTER_COL, CENTER_ROW,
                               PIXEL, PIXEL)
    width = timed("stripe length on the plane (end points)", tv.distance_2pts, pts[0], pts[-1])

    on_plane = np.abs((pts - PLANE_POINT) @ PLANE_NORMAL).max()
    print("Results:")
    print(f"  {'quantity':<44} {'true':>12} {'measured':>12} {'error':>10}")
    print(f"  {'largest distance of a point from the plane':<44} {0.0:12.6f} {on_plane:12.3e} {on_plane:10.1e}")
    row_err = int(np.max(np.abs(back_row - np.trunc(rows))))
    col_err = int(np.max(np.abs(back_col - np.trunc(cols))))
    print(f"  {'round trip pixel -> 3-D -> pixel (rows)':<44} {'0':>12} {row_err:12d} {row_err:10d}")
    print(f"  {'round trip pixel -> 3-D -> pixel (columns)':<44} {'0':>12} {col_err:12d} {col_err:10d}")
    print(f"  {'stripe end-to-end in x-y (mm)':<44} {'':>12} {width:12.3f}")
    print(f"  {'depth range along the stripe (mm)':<44} {'':>12} {np.ptp(pts[:, 2]):12.3f}")


if __name__ == "__main__":
    main()
