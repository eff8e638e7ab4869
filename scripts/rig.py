"""A synthetic camera-and-laser rig, made in code: a pinhole camera with a known radial
lens distortion, a laser plane at a known tilt, flat calibration targets at known depths
and an elliptical section of known size lying in the laser plane. It writes the rig's
calibration file and renders what the camera sees (raw, distorted frames)."""
import math
import pickle

import numpy as np

FOCUS = 8.0             # mm
PIXEL = 0.0048          # mm, square pixels
H, W = 1080, 1920
CENTER_ROW, CENTER_COL = (H - 1) / 2, (W - 1) / 2
K1 = 0.08               # radial distortion per squared normalised radius
SHIFT = 3.0             # the calibration file stores its map with this offset

# The laser sheet: a plane through PLANE_POINT with unit normal PLANE_NORMAL (camera frame).
PLANE_POINT = np.array([0.0, 0.0, 600.0])
PLANE_NORMAL = np.array([0.05, -0.6, 0.8]) / np.linalg.norm([0.05, -0.6, 0.8])
TARGET_DEPTHS = (500.0, 550.0, 675.0, 725.0)   # mm; flat targets facing the camera

# The section: an ellipse in the laser plane (semi-axes in mm, angle in the plane).
SECTION_SEMI_AXES = (45.0, 28.0)
SECTION_ANGLE = math.radians(25.0)


def distort(rows, cols):
    """Raw (distorted) pixel position of ideal pixel positions."""
    dr, dc = rows - CENTER_ROW, cols - CENTER_COL
    k = 1.0 + K1 * (dr * dr + dc * dc) * (PIXEL / FOCUS) ** 2
    return CENTER_ROW + dr * k, CENTER_COL + dc * k


def undistort(rows, cols, iterations=8):
    """Ideal pixel position of raw pixel positions (fixed-point inversion of distort)."""
    ir, ic = rows.astype(np.float64), cols.astype(np.float64)
    for _ in range(iterations):
        dr, dc = ir - CENTER_ROW, ic - CENTER_COL
        k = 1.0 + K1 * (dr * dr + dc * dc) * (PIXEL / FOCUS) ** 2
        ir = CENTER_ROW + (rows - CENTER_ROW) / k
        ic = CENTER_COL + (cols - CENTER_COL) / k
    return ir, ic


def calibration():
    """The bilinear map of the lens: upper-left flat source index and four fixed-point
    weights (65535 = 1) for every corrected pixel."""
    rows, cols = np.mgrid[0:H, 0:W].astype(np.float64)
    sr, sc = distort(rows, cols)
    fr, fc = np.floor(sr), np.floor(sc)
    ar, ac = sr - fr, sc - fc
    maparray = fr * W + fc
    weights = [(1 - ar) * (1 - ac), (1 - ar) * ac, ar * (1 - ac), ar * ac]
    weights = [np.floor(65535 * w).astype(np.uint16) for w in weights]
    return maparray, weights


def write_calibration(path):
    maparray, (w1, w2, w3, w4) = calibration()
    offset = SHIFT * SHIFT / 2.0 + 7.0 * SHIFT + 5
    record = {"focus": FOCUS, "pixel": PIXEL, "k1": K1, "size": (H, W)}
    with open(path, "wb") as f:
        pickle.dump({"param": record, "map": maparray + offset, "shift": SHIFT,
                     "w1": w1, "w2": w2, "w3": w3, "w4": w4}, f, protocol=4)


def sight_of_raw_pixels():
    """Unit lines of sight (H x W x 3) of every raw pixel centre."""
    rows, cols = np.mgrid[0:H, 0:W].astype(np.float64)
    ir, ic = undistort(rows, cols)
    d = np.stack([(ic - CENTER_COL) * PIXEL, (ir - CENTER_ROW) * PIXEL,
                  np.full(ir.shape, FOCUS)], axis=-1)
    return d / np.linalg.norm(d, axis=-1, keepdims=True)


def plane_frame():
    """Two orthonormal in-plane directions of the laser plane."""
    u = np.cross(PLANE_NORMAL, [1.0, 0.0, 0.0])
    u /= np.linalg.norm(u)
    v = np.cross(PLANE_NORMAL, u)
    return u, v


def section_centre():
    """Where the laser plane crosses the optical axis."""
    return np.array([0.0, 0.0, PLANE_NORMAL @ PLANE_POINT / PLANE_NORMAL[2]])


def render_stripe(sight, depth, rng, dash=14.0, gap=9.0, outliers=6):
    """The laser line on a flat target at `depth`, as a dashed stripe (speckle breaks it
    into blobs), with sensor noise and a few stray reflections."""
    t = depth / sight[..., 2]
    p = sight * t[..., None]                       # target point seen by every pixel
    dist = (p - PLANE_POINT) @ PLANE_NORMAL        # mm from the laser sheet
    px = depth * PIXEL / FOCUS                     # mm per pixel on the target
    along = p[..., 0] / px                         # position along the stripe, pixels
    on_dash = np.mod(along, dash + gap) < dash
    profile = np.clip(1.6 - np.abs(dist) / px / 1.2, 0.0, 1.0)
    img = 230.0 * profile * on_dash
    for _ in range(outliers):                      # reflections off the line
        r, c = rng.integers(60, H - 60), rng.integers(60, W - 60)
        img[r - 3:r + 4, c - 3:c + 4] = 220.0
    img += rng.normal(0.0, 4.0, img.shape)
    return np.clip(img, 0, 255).astype(np.uint8)


def render_section(sight, rng):
    """The lit section: an ellipse lying in the laser plane, bright on a dark ground."""
    n = PLANE_NORMAL
    t = (n @ PLANE_POINT) / (sight @ n)
    p = sight * t[..., None] - section_centre()
    u, v = plane_frame()
    a, b = SECTION_SEMI_AXES
    cu, su = math.cos(SECTION_ANGLE), math.sin(SECTION_ANGLE)
    x, y = p @ u, p @ v
    xe, ye = cu * x + su * y, -su * x + cu * y
    inside = (xe / a) ** 2 + (ye / b) ** 2 <= 1.0
    img = np.where(inside, 210.0, 25.0) + rng.normal(0.0, 4.0, inside.shape)
    return np.clip(img, 0, 255).astype(np.uint8)


def region_masks():
    """The two stripe regions: the left and the right part of the frame, apart from a
    band in the middle."""
    m1 = np.zeros((H, W), np.uint8)
    m2 = np.zeros((H, W), np.uint8)
    m1[:, 40:900] = 255
    m2[:, 1020:W - 40] = 255
    return m1, m2


def true_plane_angle_deg(normal):
    return math.degrees(math.acos(min(1.0, abs(float(np.dot(normal, PLANE_NORMAL))))))
