"""One frame measured: corrected with the calibration file, the object masked, its axes in
pixels (get_short_long_intersection), its contour on the laser plane (from_cnt2cnt), an
ellipse fitted there for the axes in millimetres, and its outline (plot_ellipse) carried
back into the image for the overlay.

Everything here is a pure function of (frame path, mask path, Context), so a thread pool
or a cluster worker gives the same row for the same frame."""
import math
import os

import cv2
import numpy as np
from torvel import torvel_class

from .errors import RigError

_TV = torvel_class()
GRID = 1e4             # from_cnt2cnt's grid units per mm
GRID_OFFSET = 10       # and the offset of its contour's bounding box
OUTLINE_POINTS = 240
MIN_CONTRAST = 16.0    # grey levels between Otsu's two classes for there to be an object

COLUMNS = ("file", "status", "long_px", "short_px", "long_perp_px", "long_mm", "short_mm",
           "angle_deg", "centre_x_mm", "centre_y_mm", "centre_z_mm", "error")


class Context:
    """What every frame needs, sent once to each worker: the calibration's map and weights,
    the camera, the laser plane, and the options."""

    def __init__(self, calib, plane, threshold=None, overlays=False):
        self.calib_path = calib.path
        self.shape = calib.shape
        self.maparray = calib.maparray
        self.weights = calib.weights
        self.camera = tuple(calib.camera)
        self.normal_vec = plane["normal_vec"]
        self.RRa = plane["RRa"]
        self.RRa_inv = plane["RRa_inv"]
        self.p_cos_one_point = plane["p_cos_one_point"]
        self.threshold = threshold
        self.overlays = overlays
        # Pixels whose 3 x 3 neighbourhood has a source and lies inside the image: an object
        # reaching beyond them is cut off by the frame, so its axes would come out short.
        valid = (sum(w.astype(np.uint32) for w in calib.weights) > 0).astype(np.uint8)
        valid[0, :] = valid[-1, :] = valid[:, 0] = valid[:, -1] = 0
        self.inner = cv2.erode(valid, np.ones((3, 3), np.uint8))


class Measured:
    """A frame's row (dict of COLUMNS as text) and, with overlays, what to draw."""

    def __init__(self, row, drawing=None):
        self.row = row
        self.drawing = drawing


class SizeMismatch(RigError):
    """A frame of another size than the calibration's."""


def _read(path, what, shape, calib_path):
    if not os.path.isfile(path):
        raise RigError(f"{what} {path} does not exist")
    img = cv2.imread(path, cv2.IMREAD_GRAYSCALE)
    if img is None:
        raise RigError(f"{what} {path} is not an image OpenCV can read")
    if img.shape != tuple(shape):
        raise SizeMismatch(f"{what} {path} is {img.shape[1]} x {img.shape[0]} pixels but the "
                           f"calibration file {calib_path} is for {shape[1]} x {shape[0]}")
    return img


def object_mask(corrected, raw_mask, ctx):
    """The object as a filled 0/255 mask: the largest bright region of the corrected frame
    (Otsu, or above the threshold), or of the given mask corrected like the frame. Only the
    largest region is kept, holes filled, so that a stray reflection is never what is
    measured and the pixel and plane axes belong to the same object. None when empty."""
    if raw_mask is not None:
        m = _TV.undistort_bilinear(raw_mask, ctx.maparray, *ctx.weights) >= 128
        m = m.astype(np.uint8) * 255
    elif ctx.threshold is None:
        # Otsu on the pixels that have a source (the corrected frame's black corners are
        # no background); a frame without two grey levels to separate holds no object.
        inside = corrected[ctx.inner > 0].reshape(-1, 1)
        t = cv2.threshold(inside, 0, 255, cv2.THRESH_BINARY | cv2.THRESH_OTSU)[0]
        bright, dark = inside[inside > t], inside[inside <= t]
        if not bright.size or not dark.size or bright.mean() - dark.mean() < MIN_CONTRAST:
            return None, None
        m = np.where(corrected > t, 255, 0).astype(np.uint8)
    else:
        m = np.where(corrected > ctx.threshold, 255, 0).astype(np.uint8)
    contours = cv2.findContours(m, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_NONE)[0]
    if not contours:
        return None, None
    c = max(contours, key=cv2.contourArea)
    filled = np.zeros_like(m)
    cv2.drawContours(filled, [c], -1, 255, -1)
    return filled, c


def object_edge(contour, mask):
    """Sub-pixel points of the object's edge from its pixel contour. The contour runs
    through the centres of the object's outermost pixels, about half a pixel inside the
    edge a threshold finds, so every ellipse fitted to it is short by about one pixel (0.5 %
    on a 200-pixel object). Each point moves out along the contour's normal by the distance
    d that makes the outline's area match the object's pixel count (area + perimeter * d);
    d is 0.5 for straight edges along the pixel grid."""
    p = contour[:, 0, :].astype(np.float64)
    if len(p) < 5:
        return p[:, 0], p[:, 1]
    t = np.roll(p, -2, axis=0) - np.roll(p, 2, axis=0)
    normal = np.stack([t[:, 1], -t[:, 0]], axis=1)
    length = np.hypot(normal[:, 0], normal[:, 1])
    normal /= np.where(length > 0, length, 1.0)[:, None]
    if np.sum((p - p.mean(axis=0)) * normal) < 0:
        normal = -normal
    perimeter = cv2.arcLength(contour, True)
    d = (np.count_nonzero(mask) - cv2.contourArea(contour)) / perimeter if perimeter else 0.0
    q = p + float(np.clip(d, 0.0, 1.0)) * normal
    return q[:, 0], q[:, 1]


def plane_ellipse(ctx, contour, mask):
    """The ellipse fitted to the contour mapped onto the laser plane: (long mm, short mm,
    angle of the long axis in the plane frame in degrees [0, 180), centre in the camera
    frame (mm), the fit in grid units, the plane-frame points)."""
    xs, ys = object_edge(contour, mask)
    crt, hor, _, _, pts3d = _TV.from_cnt2cnt(xs, ys, *ctx.camera, ctx.p_cos_one_point,
                                              ctx.RRa, ctx.normal_vec)
    if not np.all(np.asarray(pts3d)[:, 2] > 0):
        raise RigError("the object's outline reaches the laser plane's horizon in the image; "
                       "nothing of it can be on the plane")
    (ex, ey), (ew, eh), angle = cv2.fitEllipse(crt)
    long_mm, short_mm = max(ew, eh) / GRID, min(ew, eh) / GRID
    long_angle = (angle if ew >= eh else angle + 90.0) % 180.0
    base = np.array([hor[0].min(), hor[1].min()])
    centre_plane = np.array([(ex - GRID_OFFSET) / GRID + base[0],
                             (ey - GRID_OFFSET) / GRID + base[1], hor[2].mean()])
    centre = ctx.RRa_inv @ centre_plane
    return long_mm, short_mm, long_angle, centre, ((ex, ey), (ew, eh), angle), base, hor


def outline_pixels(ctx, fit, base, hor):
    """The fitted ellipse's outline (plot_ellipse, in grid units) carried from the plane
    frame back to the camera frame and projected to sub-pixel image positions (x, y)."""
    (ex, ey), (ew, eh), angle = fit
    x, y = _TV.plot_ellipse(ew / 2, eh / 2, math.radians(angle), ex, ey, OUTLINE_POINTS)
    h = np.stack([(x - GRID_OFFSET) / GRID + base[0], (y - GRID_OFFSET) / GRID + base[1],
                  np.full(x.shape, hor[2].mean())])
    p = ctx.RRa_inv @ h
    focus, pixel_sizer, pixel_sizec, center_row, center_col = ctx.camera
    k = p[2] / focus
    return np.stack([p[0] / k / pixel_sizec + center_col, p[1] / k / pixel_sizer + center_row],
                    axis=1)


def _fmt(v, digits):
    return f"{v:.{digits}f}"


def measure_frame(path, mask_path, ctx):
    """The Measured of one frame; a frame that cannot be measured gives a row whose status
    is "error" and whose error says why (SizeMismatch keeps its kind in `size_mismatch`)."""
    row = dict.fromkeys(COLUMNS, "")
    row["file"] = os.fspath(path)
    try:
        raw = _read(row["file"], "frame", ctx.shape, ctx.calib_path)
        raw_mask = (None if mask_path is None else
                    _read(os.fspath(mask_path), "object mask", ctx.shape, ctx.calib_path))
        corrected = _TV.undistort_bilinear(raw, ctx.maparray, *ctx.weights)
        mask, contour = object_mask(corrected, raw_mask, ctx)
        axes = None if mask is None else _TV.get_short_long_intersection(mask)
        if axes is None:
            raise RigError("no object larger than 100 pixels in the frame")
        long_mm, short_mm, angle, centre, fit, base, hor = plane_ellipse(ctx, contour, mask)
    except SizeMismatch as e:
        row.update(status="error", error=str(e))
        m = Measured(row)
        m.size_mismatch = True
        return m
    except Exception as e:  # a bad frame is a row with its error; the run goes on
        msg = str(e).splitlines()[0] if str(e) else type(e).__name__
        row.update(status="error", error=msg)
        return Measured(row)
    pt_short, pt_long0, _, short_px, long_px, long_perp_px = axes
    cut = bool(np.any(ctx.inner[contour[:, 0, 1], contour[:, 0, 0]] == 0))
    row.update(status="edge" if cut else "ok",
               error="the object reaches the edge of the corrected frame; its axes may be "
                     "short" if cut else "",
               long_px=_fmt(long_px, 3), short_px=_fmt(short_px, 3),
               long_perp_px=_fmt(long_perp_px, 3), long_mm=_fmt(long_mm, 4),
               short_mm=_fmt(short_mm, 4), angle_deg=_fmt(angle, 3),
               centre_x_mm=_fmt(centre[0], 4), centre_y_mm=_fmt(centre[1], 4),
               centre_z_mm=_fmt(centre[2], 4))
    drawing = None
    if ctx.overlays:
        drawing = {"corrected": corrected, "mask": mask, "contour": contour,
                   "pt_short": pt_short, "pt_long0": pt_long0,
                   "outline": outline_pixels(ctx, fit, base, hor)}
    return Measured(row, drawing)
