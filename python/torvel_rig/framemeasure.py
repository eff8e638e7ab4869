"""One frame measured: corrected with the calibration file, the object masked, its axes in
pixels (get_short_long_intersection), its contour on the laser plane (from_cnt2cnt), an
ellipse fitted there for the axes in millimetres, and its outline (plot_ellipse) carried
back into the image for the overlay.

Everything here is a pure function of (frame path, mask path, Context), so a thread pool
or a cluster worker gives the same row for the same frame."""
import dataclasses
import math
import os
from typing import NamedTuple, Optional

import cv2
import numpy as np
from torvel import torvel_class

from . import camera as _camera
from .calibfile import SizeMismatch, check_image_size
from .errors import RigError
from .images import read_image

_TV = torvel_class()
GRID = 1e4             # from_cnt2cnt's grid units per mm
GRID_OFFSET = 10       # and the offset of its contour's bounding box
OUTLINE_POINTS = 240
MIN_CONTRAST = 16.0    # grey levels between Otsu's two classes for there to be an object

COLUMNS = ("file", "status", "long_px", "short_px", "long_perp_px", "long_mm", "short_mm",
           "angle_deg", "centre_x_mm", "centre_y_mm", "centre_z_mm", "error")

# What a frame can fail with: a file that is missing, unreadable or of another size
# (RigError, OSError), and what OpenCV, NumPy and the module raise on an image or a contour
# they cannot work with. Any other exception is a fault of this code and stays a traceback.
FRAME_ERRORS = (RigError, OSError, cv2.error, ValueError, OverflowError)


class Context:
    """What every frame needs, sent once to each worker: the calibration's map and weights,
    the camera, the laser plane, and the options."""

    def __init__(self, calib, plane, threshold=None, overlays=False):
        self.calib_path = calib.path
        self.shape = calib.shape
        self.maparray = calib.maparray
        self.weights = calib.weights
        self.camera = calib.camera
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


@dataclasses.dataclass
class Measured:
    """A frame's row (dict of COLUMNS as text), with overlays what to draw (overlay.draw's
    dict), and whether it failed on a frame or mask of another size than the calibration's."""
    row: dict
    drawing: Optional[dict] = None
    size_mismatch: bool = False


class Axes(NamedTuple):
    """get_short_long_intersection's result under its names: the short axis's and the long
    axis's end points, then the short, long and perpendicular long axis in pixels."""
    pt_short: list
    pt_long0: list
    pt_long1: list
    short_px: float
    long_px: float
    long_perp_px: float


class PlaneEllipse(NamedTuple):
    """The ellipse fitted to an outline on the laser plane: its axes (mm), the long axis's
    angle in the plane frame (degrees, [0, 180)), its centre in the camera frame (mm),
    cv2.fitEllipse's box in from_cnt2cnt's grid units, and where that grid lies in the
    plane frame (`origin`: x and y of its zero less GRID_OFFSET, `depth`: z)."""
    long_mm: float
    short_mm: float
    angle_deg: float
    centre: np.ndarray
    box: tuple
    origin: np.ndarray
    depth: float


def _read(path, what, ctx):
    """The grey image at `path`; SizeMismatch when it is not of the calibrated size."""
    img = read_image(path, what=what)
    check_image_size(img, path, what, ctx.shape, ctx.calib_path, advice=None)
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


def length_text(mm):
    """A length in mm as a person reads it: mm, m or km, one decimal below ten."""
    for unit, scale in (("km", 1e6), ("m", 1e3), ("mm", 1.0)):
        if mm >= scale or unit == "mm":
            v = mm / scale
            return f"{v:.1f} {unit}" if v < 10 else f"{v:.0f} {unit}"


def _off_the_sheet(ctx, xs, ys):
    """The RigError for an outline that from_cnt2cnt cannot hold in its grid (a few hundred
    metres across): how far across the laser plane the outline maps, from the plane points
    of its lines of sight."""
    pts = _camera.points_on_plane(ctx.camera, xs, ys, ctx.p_cos_one_point, ctx.normal_vec)
    if not np.all(pts[:, 2] > 0):
        return _behind_the_camera()
    hor = np.asarray(ctx.RRa, dtype=np.float64) @ pts.T
    extent = float(max(np.ptp(hor[0]), np.ptp(hor[1])))
    across = (f"maps {length_text(extent)} across the laser plane" if math.isfinite(extent)
              else "does not meet the laser plane at finite points")
    return RigError(f"the object's outline {across}: it does not lie in the laser sheet, or "
                    "the plane file is another rig's")


def _behind_the_camera():
    return RigError("the object's outline reaches the laser plane's horizon in the image; "
                    "nothing of it can be on the plane")


def ellipse_on_plane(crt, hor, RRa_inv):
    """The PlaneEllipse fitted (cv2.fitEllipse) to from_cnt2cnt's grid contour `crt`, whose
    plane-frame points are `hor`; RRa_inv turns the plane frame into the camera frame."""
    box = cv2.fitEllipse(crt)
    (ex, ey), (ew, eh), angle = box
    origin = np.array([hor[0].min(), hor[1].min()])
    depth = hor[2].mean()
    return PlaneEllipse(long_mm=max(ew, eh) / GRID, short_mm=min(ew, eh) / GRID,
                        angle_deg=(angle if ew >= eh else angle + 90.0) % 180.0,
                        centre=grid_to_camera(origin, depth, ex, ey, RRa_inv), box=box,
                        origin=origin, depth=depth)


def grid_to_camera(origin, depth, gx, gy, RRa_inv):
    """Camera-frame points (3 x N, or 3 for numbers) of positions (gx, gy) in from_cnt2cnt's
    grid whose zero less GRID_OFFSET lies at `origin` of a plane-frame plane at `depth`."""
    h = np.stack([(gx - GRID_OFFSET) / GRID + origin[0], (gy - GRID_OFFSET) / GRID + origin[1],
                  np.full(np.shape(gx), depth)])
    return RRa_inv @ h


def plane_ellipse(ctx, contour, mask):
    """The PlaneEllipse of the object's edge mapped onto the laser plane (from_cnt2cnt). An
    outline that is not on the plane in front of the camera is a RigError saying so."""
    xs, ys = object_edge(contour, mask)
    try:
        crt, hor, _, _, pts3d = _TV.from_cnt2cnt(xs, ys, *ctx.camera, ctx.p_cos_one_point,
                                                  ctx.RRa, ctx.normal_vec)
    except OverflowError:
        raise _off_the_sheet(ctx, xs, ys) from None
    if not np.all(np.asarray(pts3d)[:, 2] > 0):
        raise _behind_the_camera()
    return ellipse_on_plane(crt, hor, ctx.RRa_inv)


def outline_points(e, RRa_inv):
    """The outline of the PlaneEllipse `e` (plot_ellipse, OUTLINE_POINTS points) as N x 3
    camera-frame points."""
    (ex, ey), (ew, eh), angle = e.box
    x, y = _TV.plot_ellipse(ew / 2, eh / 2, math.radians(angle), ex, ey, OUTLINE_POINTS)
    return grid_to_camera(e.origin, e.depth, x, y, RRa_inv).T


def outline_pixels(ctx, e):
    """The outline of the PlaneEllipse `e` projected to sub-pixel image positions, N x 2
    (x, y)."""
    xs, ys = _camera.project_float(ctx.camera, outline_points(e, ctx.RRa_inv))
    return np.stack([xs, ys], axis=1)


def _fmt(v, digits):
    return f"{v:.{digits}f}"


def measure_frame(path, mask_path, ctx):
    """The Measured of one frame; a frame that cannot be measured gives a row whose status
    is "error" and whose error says why."""
    row = dict.fromkeys(COLUMNS, "")
    row["file"] = os.fspath(path)
    try:
        raw = _read(row["file"], "frame", ctx)
        raw_mask = None if mask_path is None else _read(os.fspath(mask_path), "object mask", ctx)
        corrected = _TV.undistort_bilinear(raw, ctx.maparray, *ctx.weights)
        mask, contour = object_mask(corrected, raw_mask, ctx)
        found = None if mask is None else _TV.get_short_long_intersection(mask)
        if found is None:
            raise RigError("no object larger than 100 pixels in the frame")
        axes = Axes(*found)
        ellipse = plane_ellipse(ctx, contour, mask)
    except FRAME_ERRORS as e:  # a bad frame is a row with its error; the run goes on
        msg = str(e).splitlines()[0] if str(e) else type(e).__name__
        row.update(status="error", error=msg)
        return Measured(row, size_mismatch=isinstance(e, SizeMismatch))
    cut = bool(np.any(ctx.inner[contour[:, 0, 1], contour[:, 0, 0]] == 0))
    row.update(status="edge" if cut else "ok",
               error="the object reaches the edge of the corrected frame; its axes may be "
                     "short" if cut else "",
               long_px=_fmt(axes.long_px, 3), short_px=_fmt(axes.short_px, 3),
               long_perp_px=_fmt(axes.long_perp_px, 3), long_mm=_fmt(ellipse.long_mm, 4),
               short_mm=_fmt(ellipse.short_mm, 4), angle_deg=_fmt(ellipse.angle_deg, 3),
               centre_x_mm=_fmt(ellipse.centre[0], 4), centre_y_mm=_fmt(ellipse.centre[1], 4),
               centre_z_mm=_fmt(ellipse.centre[2], 4))
    drawing = None
    if ctx.overlays:
        drawing = {"corrected": corrected, "mask": mask, "contour": contour,
                   "pt_short": axes.pt_short, "pt_long0": axes.pt_long0,
                   "outline": outline_pixels(ctx, ellipse)}
    return Measured(row, drawing)
