"""The calibration file that torvel reads (get_calib_res): one pickled dict with

  "param"  a plain dict (only Python numbers, strings, lists and dicts): the OpenCV camera
           matrix and distortion, the image size, the RMS reprojection error, the pattern,
           the views used, the sensor pitch and the library's five camera parameters
           focus, pixel_sizer, pixel_sizec, center_row, center_col (see camera.py);
  "map"    H x W int64: the flat index (row * W + column) of the upper-left of the four raw
           pixels around the source position of each corrected pixel, -1 where the source
           falls outside the raw image;
  "w1".."w4"  H x W uint16: the bilinear weights of the upper-left, upper-right, lower-left
           and lower-right raw pixel on the 65535 scale; they add up to exactly 65535 where
           there is a source and are 0 where there is none.

No "shift" key is written, so the loader returns the map as stored (int64). The corrected
image is the ideal pinhole image of the calibrated camera matrix K."""
import os
import pickle

import cv2
import numpy as np
from torvel import torvel_class

from . import camera as _camera
from .errors import RigError
from .output import atomic_output
from .plaindata import plain

FORMAT = "torvel-rig calibration 1"
SCALE = 65535
_TV = torvel_class()
CAMERA_KEYS = ("focus", "pixel_sizer", "pixel_sizec", "center_row", "center_col")
SIZE_ADVICE = "use frames of the calibrated camera at its calibrated resolution"

# What get_calib_res raises on a file that is not a calibration file: an unreadable file,
# an empty or cut-off pickle, a refused global, a record of another shape (a list, None,
# a map that is not an array) and array data that does not fit its shape.
READ_ERRORS = (OSError, EOFError, pickle.UnpicklingError, TypeError, ValueError)


# --- the map --------------------------------------------------------------------------

def source_positions(camera_matrix, dist_coeffs, width, height):
    """Raw-image source position (xs, ys), each H x W float64, of every corrected pixel: the
    model of cv2.initUndistortRectifyMap (R = identity, new camera matrix = K) evaluated in
    double precision. Distortion: k1 k2 p1 p2 [k3 [k4 k5 k6 [s1 s2 s3 s4 [tx ty]]]]; with a
    tilt (tx, ty not 0) OpenCV's own float map is used."""
    k = np.asarray(camera_matrix, dtype=np.float64)
    d = np.zeros(14)
    dc = np.asarray(dist_coeffs, dtype=np.float64).ravel()
    if dc.size not in (0, 4, 5, 8, 12, 14):
        raise ValueError(f"{dc.size} distortion coefficients; OpenCV takes 4, 5, 8, 12 or 14")
    d[:dc.size] = dc
    if d[12] != 0.0 or d[13] != 0.0:
        mx, my = cv2.initUndistortRectifyMap(k, dc, None, k, (int(width), int(height)),
                                             cv2.CV_32FC1)
        return mx.astype(np.float64), my.astype(np.float64)
    fx, fy, cx, cy, skew = k[0, 0], k[1, 1], k[0, 2], k[1, 2], k[0, 1]
    rows, cols = np.mgrid[0:int(height), 0:int(width)].astype(np.float64)
    y = (rows - cy) / fy
    x = (cols - cx - skew * y) / fx
    x2, y2, xy = x * x, y * y, x * y
    r2 = x2 + y2
    r4 = r2 * r2
    r6 = r4 * r2
    k1, k2, p1, p2, k3, k4, k5, k6, s1, s2, s3, s4 = d[:12]
    radial = (1 + (k1 + (k2 + k3 * r2) * r2) * r2) / (1 + (k4 + (k5 + k6 * r2) * r2) * r2)
    xd = x * radial + 2 * p1 * xy + p2 * (r2 + 2 * x2) + s1 * r2 + s2 * r4
    yd = y * radial + p1 * (r2 + 2 * y2) + 2 * p2 * xy + s3 * r2 + s4 * r4
    return fx * xd + skew * yd + cx, fy * yd + cy


def bilinear_map(xs, ys, width, height):
    """The calibration file's "map" and "w1".."w4" from source positions (H x W each):
    int64 flat index of the upper-left neighbour (-1 where the position lies outside the
    raw image [0, W-1] x [0, H-1]) and four uint16 weights that add up to exactly 65535
    (largest remainders get the rounding), 0 where there is no source."""
    w, h = int(width), int(height)
    if w < 2 or h < 2:
        raise ValueError("the image must be at least 2 x 2 pixels")
    xs = np.asarray(xs, dtype=np.float64)
    ys = np.asarray(ys, dtype=np.float64)
    valid = (xs >= 0) & (xs <= w - 1) & (ys >= 0) & (ys <= h - 1)
    sx = np.where(valid, xs, 0.0)
    sy = np.where(valid, ys, 0.0)
    # The last column/row takes the pixel before it as the upper-left neighbour, with its
    # whole weight on the right/lower one, so no neighbour ever wraps or falls off.
    x0 = np.minimum(np.floor(sx), w - 2)
    y0 = np.minimum(np.floor(sy), h - 2)
    ax, ay = sx - x0, sy - y0
    f = np.stack([(1 - ay) * (1 - ax), (1 - ay) * ax, ay * (1 - ax), ay * ax]) * SCALE
    wts = np.floor(f)
    missing = SCALE - wts.sum(axis=0)                          # 0 .. 3
    rank = np.argsort(np.argsort(-(f - wts), axis=0, kind="stable"), axis=0, kind="stable")
    wts += rank < missing[None]
    wts = np.where(valid[None], wts, 0).astype(np.uint16)
    maparray = np.where(valid, y0.astype(np.int64) * w + x0.astype(np.int64), -1)
    return maparray.astype(np.int64), (wts[0], wts[1], wts[2], wts[3])


def bilinear_reference(raw, xs, ys):
    """The exact floating-point bilinear value of the raw grey image at the source positions
    (NaN where there is no source): what undistort_bilinear approximates in fixed point."""
    img = np.asarray(raw, dtype=np.float64)
    h, w = img.shape
    valid = (xs >= 0) & (xs <= w - 1) & (ys >= 0) & (ys <= h - 1)
    sx, sy = np.where(valid, xs, 0.0), np.where(valid, ys, 0.0)
    x0 = np.minimum(np.floor(sx), w - 2).astype(np.int64)
    y0 = np.minimum(np.floor(sy), h - 2).astype(np.int64)
    ax, ay = sx - x0, sy - y0
    v = ((1 - ay) * ((1 - ax) * img[y0, x0] + ax * img[y0, x0 + 1])
         + ay * ((1 - ax) * img[y0 + 1, x0] + ax * img[y0 + 1, x0 + 1]))
    return np.where(valid, v, np.nan)


# --- writing and reading --------------------------------------------------------------

def write_calibration(path, camera_matrix, dist_coeffs, image_size, *,
                      pixel_size=_camera.DEFAULT_PIXEL_SIZE, rms=None, pattern=None,
                      cols=None, rows=None, square=None, views_used=(), views_rejected=(),
                      per_view_errors=None, extra=None):
    """Write the calibration file at `path` (through a temporary file renamed at the end).
    `image_size` is (width, height), OpenCV's order. Returns the "param" dict written."""
    width, height = (int(v) for v in image_size)
    k = np.asarray(camera_matrix, dtype=np.float64).reshape(3, 3)
    dist = np.asarray(dist_coeffs, dtype=np.float64).ravel()
    xs, ys = source_positions(k, dist, width, height)
    maparray, (w1, w2, w3, w4) = bilinear_map(xs, ys, width, height)
    cam = _camera.camera_parameters(k, pixel_size)
    param = {
        "format": FORMAT,
        "camera_matrix": k, "dist_coeffs": dist,
        "image_size": [width, height], "image_width": width, "image_height": height,
        "rms": rms, "pattern": pattern, "cols": cols, "rows": rows, "square_size": square,
        "views_used": [os.fspath(v) for v in views_used],
        "views_rejected": [os.fspath(v) for v in views_rejected],
        "per_view_errors": per_view_errors,
        "pixel_size": float(pixel_size),
    }
    param.update(cam._asdict())
    if extra:
        param.update(extra)
    param = plain(param)
    record = {"param": param, "map": maparray, "w1": w1, "w2": w2, "w3": w3, "w4": w4}
    with atomic_output(path) as f:
        pickle.dump(record, f, protocol=4)
    return param


class SizeMismatch(RigError):
    """An image of another size than the calibration file's."""


def check_image_size(img, path, what, shape, calib_path, advice=SIZE_ADVICE):
    """SizeMismatch naming the image at `path` (a `what`: "frame", ...) when `img` is not of
    the calibrated `shape` (H, W) of the calibration file `calib_path`; `advice`, when
    given, ends the message."""
    h, w = img.shape[:2]
    if (h, w) != tuple(shape):
        msg = (f"{what} {path} is {w} x {h} pixels but the calibration file {calib_path} is "
               f"for {shape[1]} x {shape[0]}")
        raise SizeMismatch(f"{msg}; {advice}" if advice else msg)


class Calibration:
    """A calibration file as read by `get_calib_res`: `params` (the "param" dict),
    `maparray`, `w1`..`w4`, `width`, `height`, `shape` (H, W), `camera` (the library's five
    camera parameters as a camera.Camera), `camera_matrix`, `dist_coeffs`, `pixel_size`,
    and `path`."""

    def __init__(self, path, params, maparray, w1, w2, w3, w4):
        self.path = path
        self.params = params
        self.maparray = maparray
        self.w1, self.w2, self.w3, self.w4 = w1, w2, w3, w4
        self.height, self.width = (int(v) for v in maparray.shape)
        self.shape = (self.height, self.width)
        self.camera = _camera.Camera(*(float(params[k]) for k in CAMERA_KEYS))
        self.focus, self.pixel_sizer, self.pixel_sizec, self.center_row, self.center_col = \
            self.camera
        self.pixel_size = float(params.get("pixel_size", self.pixel_sizec))
        self.camera_matrix = (np.asarray(params["camera_matrix"], dtype=np.float64)
                              if "camera_matrix" in params else _camera.camera_matrix(self.camera))
        self.dist_coeffs = np.asarray(params.get("dist_coeffs", []), dtype=np.float64)

    @property
    def weights(self):
        return (self.w1, self.w2, self.w3, self.w4)

    def check_image(self, img, path, what="frame"):
        """SizeMismatch (a RigError) when the image at `path` is not of the calibrated
        size."""
        check_image_size(img, path, what, self.shape, self.path)

    def undistort(self, img):
        """The corrected image (grey, or each channel of a colour image) by the library's
        `undistort_bilinear`."""
        if img.ndim == 2:
            return _TV.undistort_bilinear(np.ascontiguousarray(img), self.maparray, *self.weights)
        return np.dstack([_TV.undistort_bilinear(np.ascontiguousarray(img[..., c]),
                                                 self.maparray, *self.weights)
                          for c in range(img.shape[2])])

    def nearest_source(self, rows, cols):
        """The flat index into the raw image of the raw pixel nearest the source of each
        corrected pixel (rows, cols): of the source's four neighbours, the one with the
        largest weight; -1 where the corrected pixel has no source."""
        i1 = self.maparray[rows, cols]
        weights = np.stack([w[rows, cols] for w in self.weights])
        step = np.array([0, 1, self.width, self.width + 1])[np.argmax(weights, axis=0)]
        return np.where(i1 >= 0, np.minimum(i1 + step, self.width * self.height - 1), -1)


def read_calibration(path):
    """The calibration file at `path`, read through `torvel_class().get_calib_res`, as a
    Calibration. A missing, unreadable or foreign file is a RigError naming it."""
    path = os.fspath(path)
    if not os.path.isfile(path):
        raise RigError(f"calibration file {path} does not exist; write one with "
                       "'torvel-rig calibrate-camera'")
    try:
        params, maparray, w1, w2, w3, w4 = _TV.get_calib_res(path)
    except KeyError as e:
        raise RigError(f"calibration file {path} has no {e} entry; write it with "
                       "'torvel-rig calibrate-camera'") from None
    except READ_ERRORS as e:
        msg = str(e).splitlines()[0] if str(e) else type(e).__name__
        raise RigError(f"cannot read calibration file {path} ({msg}); write it with "
                       "'torvel-rig calibrate-camera'") from None
    if not isinstance(params, dict) or any(k not in params for k in CAMERA_KEYS):
        raise RigError(f"calibration file {path} has no camera parameters "
                       f"({', '.join(CAMERA_KEYS)}) in its \"param\" record; write it with "
                       "'torvel-rig calibrate-camera'")
    maparray = np.asarray(maparray)
    weights = [np.asarray(w) for w in (w1, w2, w3, w4)]
    if maparray.ndim != 2 or maparray.shape[0] < 2 or maparray.shape[1] < 2 or any(
            w.shape != maparray.shape for w in weights):
        raise RigError(f"calibration file {path} holds no image-sized map and weights")
    try:
        return Calibration(path, params, maparray, *weights)
    except (TypeError, ValueError) as e:
        raise RigError(f"calibration file {path} has invalid camera parameters ({e})") from None
