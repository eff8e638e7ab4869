"""What several test files share: reference compositions (the same steps written with NumPy,
cv2 and scikit-learn), masks for the axis measurement, and one small valid call of every
method and calls that fail, for the thread, leak and fuzz tests. Each call is (method name,
positional args)."""
import os
import pickle

import cv2
import numpy as np
from sklearn import linear_model


# --- reference compositions shared by several test files ----------------------------

CAM = (8.0, 0.0048, 0.0048, 539.5, 959.5)  # focus, pixel_sizer, pixel_sizec, center_row, center_col


def ref_line_of_sight(rows, cols, focus, pixel_sizer, pixel_sizec, center_row, center_col):
    rcs = np.array([rows, cols])
    vec = np.array([(rcs[1] - center_col) * pixel_sizec,
                    (rcs[0] - center_row) * pixel_sizer,
                    np.ones(rcs[0].shape) * focus])
    return vec / np.linalg.norm(vec, axis=0)


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


def ref_get_laser_line(mask1, mask2, th2, direction):
    ransac = linear_model.RANSACRegressor(residual_threshold=3, max_trials=300, random_state=42)
    img2_fg = cv2.bitwise_and(th2, th2, mask=np.asarray(mask1).astype(np.uint8))
    _, _, _, centroids1 = cv2.connectedComponentsWithStats(img2_fg, connectivity=8)
    img2_fg2 = cv2.bitwise_and(th2, th2, mask=np.asarray(mask2).astype(np.uint8))
    _, _, _, centroids2 = cv2.connectedComponentsWithStats(img2_fg2, connectivity=8)
    if direction == 1:
        X1, y1 = np.expand_dims(centroids1[:, 0], axis=1), centroids1[:, 1]
        X2, y2 = np.expand_dims(centroids2[:, 0], axis=1), centroids2[:, 1]
    else:
        X1, y1 = np.expand_dims(centroids1[:, 1], axis=1), centroids1[:, 0]
        X2, y2 = np.expand_dims(centroids2[:, 1], axis=1), centroids2[:, 0]
    X = np.concatenate((X1, X2), axis=0)
    y = np.concatenate((y1, y2))
    ransac.fit(X, y)
    inlier_mask = ransac.inlier_mask_
    return np.squeeze(X[inlier_mask]), np.squeeze(y[inlier_mask])


# --- inputs --------------------------------------------------------------------------

def calibration_file(folder):
    rng = np.random.default_rng(11)
    path = os.path.join(folder, "calib.pkl")
    h, w = 48, 64
    with open(path, "wb") as f:
        pickle.dump({"param": {"focus": 8.0}, "map": rng.integers(-5, h * w + 5, (h, w)) + 21.0,
                     "shift": 2, "w1": rng.integers(0, 16000, (h, w), dtype=np.uint16),
                     "w2": rng.integers(0, 16000, (h, w), dtype=np.uint16),
                     "w3": rng.integers(0, 16000, (h, w), dtype=np.uint16),
                     "w4": rng.integers(0, 16000, (h, w), dtype=np.uint16)}, f)
    return path


def plane_points(n=300, seed=3):
    rng = np.random.default_rng(seed)
    xy = rng.uniform(-50, 50, (n, 2))
    z = 600 + 0.3 * xy[:, 0] - 0.7 * xy[:, 1] + rng.normal(0, 0.004, n)
    z[::7] += rng.uniform(1, 5, z[::7].size)
    return np.column_stack([xy, z])


def stripe_images(h=120, w=160, seed=4):
    rng = np.random.default_rng(seed)
    th2 = np.zeros((h, w), np.uint8)
    for c in range(5, w - 5, 9):
        r = int(30 + 0.3 * c)
        th2[r - 1:r + 2, c - 2:c + 2] = 255
    for _ in range(4):
        r, c = rng.integers(5, h - 5), rng.integers(5, w - 5)
        th2[r:r + 3, c:c + 3] = 255
    m1 = np.zeros((h, w), np.uint8)
    m2 = np.zeros((h, w), np.uint8)
    m1[:, : w // 2] = 255
    m2[:, w // 2:] = 255
    return m1, m2, th2


def ellipse_mask(h=200, w=260):
    img = np.zeros((h, w), np.uint8)
    cv2.ellipse(img, (130, 95), (70, 40), 25, 0, 360, 255, -1)
    return img


def axis_masks(rng, h, w):
    """Seeded masks of the kinds the measurement meets."""
    out = []
    for _ in range(6):  # filled ellipses anywhere, any angle
        img = np.zeros((h, w), np.uint8)
        centre = (int(rng.integers(0, w)), int(rng.integers(0, h)))
        axes = (int(rng.integers(10, w // 3)), int(rng.integers(5, h // 3)))
        cv2.ellipse(img, centre, axes, float(rng.uniform(0, 180)), 0, 360, 255, -1)
        out.append(img)
    img = np.zeros((h, w), np.uint8)
    cv2.circle(img, (w // 2 + 7, h // 2 - 3), h // 5, 255, -1)  # disc
    out.append(img)
    img = np.zeros((h, w), np.uint8)  # two objects; the later one larger
    cv2.ellipse(img, (w // 4, h // 4), (w // 10, h // 12), 20, 0, 360, 255, -1)
    cv2.ellipse(img, (w // 2, 3 * h // 4), (w // 4, h // 8), 160, 0, 360, 255, -1)
    out.append(img)
    img = np.zeros((h, w), np.uint8)  # an object with holes, values other than 255
    cv2.ellipse(img, (w // 2, h // 2), (w // 4, h // 5), 35, 0, 360, 200, -1)
    cv2.circle(img, (w // 2 - w // 12, h // 2), h // 14, 0, -1)
    cv2.circle(img, (w // 2 + w // 10, h // 2 + 5), h // 20, 0, -1)
    out.append(img)
    img = np.zeros((h, w), np.uint8)  # touching the border
    cv2.ellipse(img, (w - 30, h // 3), (w // 6, h // 7), 75, 0, 360, 255, -1)
    out.append(img)
    img = np.zeros((h, w), np.uint8)  # specks of area 100 and 100.5 beside a blob
    img[40:51, 40:51] = 255
    img[h - 60:h - 49, w - 80:w - 69] = 255
    img[h - 50, w - 68] = 255
    cv2.circle(img, (w // 2, h // 2), h // 6, 255, -1)
    out.append(img)
    return out


def cosine_boundary_masks():
    """(mask, margin_length) pairs: lines at 30 and 120 degrees whose probe end points sit on
    an integer boundary, where a cosine or sine one unit in the last place off (NumPy's
    AVX-512 routines against the C library's) moves an end point by a pixel."""
    out = []
    for p1, p2, thickness, centre, radius, margin in [
            ((57, 33), (98, 57), 3, (78, 45), 5, 100), ((94, 37), (58, 100), 2, (76, 69), 2, 1),
            ((92, 10), (61, 63), 3, (77, 37), 4, 3)]:
        img = np.zeros((100, 140), np.uint8)
        cv2.line(img, p1, p2, 255, thickness)
        cv2.circle(img, centre, radius, 255, -1)
        out.append((img, margin))
    return out


def valid_calls(folder):
    """Every method once, on inputs a calling script would pass."""
    rng = np.random.default_rng(9)
    img = rng.integers(0, 256, (48, 64), dtype=np.uint8)
    imap = np.arange(48 * 64).reshape(48, 64)[::-1].copy()
    fmap = imap + 0.25
    weights = [np.full((48, 64), 16383, np.uint16)] * 4
    cam = (8.0, 0.0048, 0.0048, 23.5, 31.5)
    m1, m2, th2 = stripe_images()
    contour = cv2.findContours(ellipse_mask(), cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_NONE)[0][0]
    normal = np.array([0.1, -0.6, 0.79])
    normal /= np.linalg.norm(normal)
    rra = cv2.Rodrigues(np.array([[0.6], [0.1], [0.0]]))[0]
    path = calibration_file(folder)
    return [
        ("get_calib_res0", (path,)),
        ("get_calib_res", (path,)),
        ("distance_2pts", ((0.5, 1.0), (3.5, 5.0))),
        ("fit_plane", (plane_points(), 1.5)),
        ("intersect_line_plane", (np.zeros((50, 3)), rng.normal(0, 1, (50, 3)) + [0, 0, 3],
                                  np.array([0, 0, 600.0]), normal)),
        ("get_img_coord_from_3d_pts", (rng.normal(0, 50, 40), rng.normal(0, 50, 40),
                                       rng.uniform(300, 900, 40), 8, 31.5, 23.5, 0.0048, 0.0048)),
        ("get_short_long_intersection", (ellipse_mask(), 100)),
        ("plot_ellipse", (2, 1, 0.3, 1, 2, 50, None, None, False, None, False,
                          np.array([[4.0, 1.0], [1.0, 2.0]]), 0.9)),
        ("get_laser_line", (m1, m2, th2, 1)),
        ("undistortion", (imap, img)),
        ("undistort_bilinear", (img, fmap, *weights)),
        ("get_line_of_sight_pts", (rng.uniform(0, 48, 30), rng.uniform(0, 64, 30), *cam)),
        ("from_cnt2cnt", (contour[:, 0, 0], contour[:, 0, 1], *cam,
                          np.array([0, 0, 600.0]), rra, normal)),
    ]


def failing_calls(folder):
    """Calls that end in an exception inside the method (after binding)."""
    img = np.zeros((48, 64), np.uint8)
    return [
        ("get_calib_res0", (os.path.join(folder, "missing.pkl"),)),
        ("get_calib_res", (os.path.join(folder, "missing.pkl"),)),
        ("distance_2pts", ((0,), (1, 2))),
        ("fit_plane", (np.zeros((2, 3)), 1.0)),
        ("intersect_line_plane", (np.zeros(3), np.ones(3), np.zeros(3), np.ones(3))),
        ("get_img_coord_from_3d_pts", (np.zeros(3), np.zeros(4), 1.0, 8, 0, 0, 1, 1)),
        ("get_short_long_intersection", (np.zeros((10, 10, 3), np.float32), 100)),
        ("plot_ellipse", (1, 1, 0, 0, 0, -5)),
        ("get_laser_line", (np.zeros((5, 5)), np.zeros((6, 6)), img, 1)),
        ("undistortion", (np.zeros((4, 4)), img)),
        ("undistort_bilinear", (np.zeros((3, 4, 4), np.uint8), np.zeros((4, 4)), 1, 1, 1, 1)),
        ("get_line_of_sight_pts", ([1, 2, 3], [1, 2], 8, 1, 1, 0, 0)),
        ("from_cnt2cnt", (np.array([], float), np.array([], float), 8, 1, 1, 0, 0,
                          np.zeros(3), np.eye(3), np.array([0, 0, 1.0]))),
    ]
