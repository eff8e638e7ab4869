"""Reading and writing images, with failures a person can act on."""
import os

import cv2
import numpy as np

from .errors import RigError
from .output import atomic_output


def read_image(path, color=False, what="image"):
    """The image at `path` as 8-bit: H x W grey, or H x W x 3 BGR when `color` is true
    (a grey file then comes back with three equal channels). A missing or unreadable file
    is a RigError naming it and saying what it is (`what`: "frame", "view", ...)."""
    path = os.fspath(path)
    if not os.path.isfile(path):
        raise RigError(f"{what} {path} does not exist")
    if not os.access(path, os.R_OK):
        raise RigError(f"{what} {path} cannot be read (permission denied)")
    img = cv2.imread(path, cv2.IMREAD_COLOR if color else cv2.IMREAD_GRAYSCALE)
    if img is None:
        raise RigError(f"{what} {path} is not an image OpenCV can read; "
                       "give a PNG, JPEG, BMP, TIFF or PGM file")
    return img


def to_gray(img):
    """8-bit grey of a grey or BGR image (a grey image is returned as it is)."""
    if img.ndim == 2:
        return img
    return cv2.cvtColor(img, cv2.COLOR_BGR2GRAY)


def write_image(path, img):
    """Write `img` (grey or BGR, 8-bit) to `path`, its format from the extension, through a
    temporary file renamed at the end."""
    path = os.fspath(path)
    ext = os.path.splitext(path)[1] or ".png"
    ok, data = cv2.imencode(ext, np.ascontiguousarray(img))
    if not ok:
        raise RigError(f"cannot encode {path} as {ext}")
    with atomic_output(path) as f:
        f.write(data.tobytes())
