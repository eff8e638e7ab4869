"""Calibration patterns: detection with sub-pixel accuracy, the board's object points and
its outer outline, and the command-line options that describe a pattern.

Kinds, with OpenCV's pattern size (cols, rows):
  chessboard  cols x rows inner corners, `square` the side of a square;
  circles     a symmetric grid of cols x rows circles, `square` the centre spacing;
  acircles    an asymmetric grid (OpenCV's layout): rows of cols circles, every other row
              shifted by half a spacing; `square` is the distance between neighbouring
              rows, i.e. half the spacing of the circles within a row.
Object points are in the board's frame (mm, z = 0), in OpenCV's detection order."""
import enum
import typing

import cv2
import numpy as np

from .errors import RigError

PATTERNS = ("chessboard", "circles", "acircles")


def add_pattern_arguments(parser):
    """--pattern, --cols, --rows, --square, shared by the calibration commands."""
    parser.add_argument("--pattern", choices=PATTERNS, default="chessboard",
                        help="calibration target (default: chessboard)")
    parser.add_argument("--cols", type=int, required=True,
                        help="inner corners (chessboard) or circles (grids) per row, as "
                             "OpenCV's pattern size counts them")
    parser.add_argument("--rows", type=int, required=True,
                        help="inner corners or circles per column")
    parser.add_argument("--square", type=float, required=True, metavar="MM",
                        help="square side (chessboard) or circle spacing in mm; for acircles "
                             "the distance between neighbouring rows")


def check_pattern_arguments(args):
    if args.cols < 2 or args.rows < 2:
        raise RigError(f"--cols {args.cols} --rows {args.rows}: a pattern needs at least "
                       "2 x 2 corners or circles")
    if not (args.square > 0) or not np.isfinite(args.square):
        raise RigError(f"--square {args.square}: give the square size in mm, a positive number")


def object_points(kind, cols, rows, square):
    """(cols * rows) x 3 float64 board points (mm, z = 0) in OpenCV's detection order: row
    by row, cols points per row."""
    i, j = np.mgrid[0:rows, 0:cols]
    if kind == "acircles":
        x = (2 * j + i % 2) * square
    else:
        x = j * square
    pts = np.stack([x.ravel(), (i * square).ravel(), np.zeros(rows * cols)], axis=1)
    return pts.astype(np.float64)


def outline(kind, cols, rows, square, margin=None):
    """The pattern's outer outline in board coordinates, a closed 4-corner polygon (4 x 3,
    z = 0): the extreme points grown by `margin` spacings on every side; by default one
    square for a chessboard (the printed squares around the inner corners) and half a
    spacing for circle grids."""
    pts = object_points(kind, cols, rows, square)
    if margin is None:
        margin = 1.0 if kind == "chessboard" else 0.5
    m = margin * square * (2.0 if kind == "acircles" else 1.0)   # spacing within a row
    x0, y0 = pts[:, 0].min() - m, pts[:, 1].min() - m
    x1, y1 = pts[:, 0].max() + m, pts[:, 1].max() + m
    return np.array([[x0, y0, 0.0], [x1, y0, 0.0], [x1, y1, 0.0], [x0, y1, 0.0]])


def _blob_detector(gray):
    p = cv2.SimpleBlobDetector_Params()
    p.minArea = 10
    p.maxArea = float(gray.shape[0] * gray.shape[1]) / 8
    p.minDistBetweenBlobs = 3
    p.filterByConvexity = True
    p.minConvexity = 0.8
    p.filterByInertia = True
    p.minInertiaRatio = 0.1
    return cv2.SimpleBlobDetector_create(p)


def _subpix_window(corners, cols, rows):
    """Half window of cornerSubPix: a third of the smallest spacing between neighbouring
    corners, 2 .. 11 pixels."""
    g = corners.reshape(rows, cols, 2)
    spacing = min(np.linalg.norm(np.diff(g, axis=1), axis=2).min(),
                  np.linalg.norm(np.diff(g, axis=0), axis=2).min())
    return int(max(2, min(11, spacing / 3)))


class Detection(typing.NamedTuple):
    """What the pattern search gave for one image: `points` (N x 2 float64, x and y, in the
    order of object_points; None when not found), the `detector` that found it
    ("sector-based", "classic" or "blobs") and, when not found, `reason` (a Miss)."""
    points: typing.Optional[np.ndarray]
    detector: typing.Optional[str] = None
    reason: typing.Optional["Miss"] = None


class Miss(enum.Enum):
    """Why a pattern was not found in an image."""
    LOW_CONTRAST = "too little contrast to hold a pattern"
    NOT_FOUND = "not found by any detector"

    def describe(self, kind, cols, rows):
        if self is Miss.LOW_CONTRAST:
            return f"{self.value} (grey levels within {LOW_CONTRAST} of each other)"
        return f"the {kind} pattern of {cols} x {rows} was {self.value}"


LOW_CONTRAST = 12     # grey levels between the 1st and the 99th percentile
ROUGHER = 1.1         # a refined lattice this much rougher than the raw one is not kept
SUBPIX_CRITERIA = (cv2.TERM_CRITERIA_EPS + cv2.TERM_CRITERIA_MAX_ITER, 60, 1e-4)


def _refine_corners(gray, corners, cols, rows):
    corners = np.array(corners, dtype=np.float32).reshape(-1, 1, 2)   # refined in place
    half = _subpix_window(corners.reshape(-1, 2), cols, rows)
    corners = cv2.cornerSubPix(gray, corners, (half, half), (-1, -1), SUBPIX_CRITERIA)
    return corners.reshape(-1, 2).astype(np.float64)


def lattice_roughness(points, cols, rows):
    """RMS of the corners' second differences along the grid's rows and columns (pixels):
    perspective and lens distortion bend the lattice smoothly, so what is left is the
    corners' own scatter."""
    g = np.asarray(points, dtype=np.float64).reshape(rows, cols, 2)
    d = [(g[:, :-2] - 2 * g[:, 1:-1] + g[:, 2:]).reshape(-1, 2),
         (g[:-2] - 2 * g[1:-1] + g[2:]).reshape(-1, 2)]
    d = np.concatenate(d)
    return float(np.sqrt(np.mean(d * d))) if d.size else 0.0


def detect(gray, kind, cols, rows):
    """The pattern in a grey 8-bit image, as a Detection.

    Chessboards: OpenCV's sector-based detector first (it finds dim, blurred and partly
    lit boards the classic one misses, and is quick to give up), on the image as it is and
    then normalised, then the classic one, whose corners cornerSubPix refines. Circle grids: the blob detector, dark circles on
    white, then white on dark."""
    gray = np.ascontiguousarray(gray)
    size = (int(cols), int(rows))
    lo, hi = np.percentile(gray, (1, 99))
    if hi - lo < LOW_CONTRAST:
        return Detection(None, reason=Miss.LOW_CONTRAST)
    if kind == "chessboard":
        # The sector-based detector as it is, then on a normalised image (it finds some
        # unevenly lit boards only so, and loses others), then the classic detector.
        for flags in (cv2.CALIB_CB_EXHAUSTIVE, cv2.CALIB_CB_NORMALIZE_IMAGE):
            try:
                found, corners = cv2.findChessboardCornersSB(gray, size, flags=flags)
            except cv2.error:
                found = False
            if found:
                # cornerSubPix sharpens the sector-based corners of crisp views but drags
                # those of blurred ones: the refined lattice is kept unless clearly rougher.
                corners = corners.reshape(-1, 2).astype(np.float64)
                refined = _refine_corners(gray, corners, cols, rows)
                if lattice_roughness(refined, cols, rows) <= \
                        ROUGHER * lattice_roughness(corners, cols, rows):
                    corners = refined
                return Detection(corners, "sector-based")
        flags = cv2.CALIB_CB_ADAPTIVE_THRESH | cv2.CALIB_CB_NORMALIZE_IMAGE
        found, corners = cv2.findChessboardCorners(gray, size, flags=flags)
        if found:
            return Detection(_refine_corners(gray, corners, cols, rows), "classic")
        return Detection(None, reason=Miss.NOT_FOUND)
    flags = cv2.CALIB_CB_SYMMETRIC_GRID if kind == "circles" else cv2.CALIB_CB_ASYMMETRIC_GRID
    for img in (gray, 255 - gray):    # dark circles on white, then white on dark
        found, centres = cv2.findCirclesGrid(img, size, flags=flags,
                                             blobDetector=_blob_detector(img))
        if found:
            return Detection(centres.reshape(-1, 2).astype(np.float64), "blobs")
    return Detection(None, reason=Miss.NOT_FOUND)


def find_pattern(gray, kind, cols, rows):
    """The pattern's image points (see detect), or None when it is not found."""
    return detect(gray, kind, cols, rows).points


def draw_pattern(img, cols, rows, points, found=True):
    """A BGR copy of `img` with the pattern's points drawn (OpenCV's corner drawing)."""
    out = cv2.cvtColor(img, cv2.COLOR_GRAY2BGR) if img.ndim == 2 else img.copy()
    cv2.drawChessboardCorners(out, (int(cols), int(rows)),
                              np.asarray(points, dtype=np.float32).reshape(-1, 1, 2), found)
    return out


def circle_radius(gray, kind, cols, rows, square, points):
    """The circles' radius in mm, measured in the (corrected) grey image: the dark (or
    bright) pixels around each detected centre, within half the spacing to its nearest
    neighbour, counted against the midpoint of the patch's range; the median over the
    circles, scaled by the spacing in mm over the spacing in pixels."""
    obj = object_points(kind, cols, rows, square)[:, :2]
    pts = np.asarray(points, dtype=np.float64).reshape(-1, 2)
    d_obj = np.linalg.norm(obj[:, None] - obj[None], axis=2)
    np.fill_diagonal(d_obj, np.inf)
    nn = np.argmin(d_obj, axis=1)
    radii = []
    h, w = gray.shape
    for i, (x, y) in enumerate(pts):
        sp_px = float(np.linalg.norm(pts[nn[i]] - pts[i]))
        half = int(max(2, sp_px / 2))
        x0, x1 = int(round(x)) - half, int(round(x)) + half + 1
        y0, y1 = int(round(y)) - half, int(round(y)) + half + 1
        if x0 < 0 or y0 < 0 or x1 > w or y1 > h:
            continue
        patch = gray[y0:y1, x0:x1].astype(np.float64)
        mid = 0.5 * (patch.min() + patch.max())
        centre = gray[int(round(y)), int(round(x))]
        blob = patch < mid if centre < mid else patch >= mid
        r_px = np.sqrt(np.count_nonzero(blob) / np.pi)
        radii.append(r_px * d_obj[i, nn[i]] / sp_px)
    return float(np.median(radii)) if radii else 0.25 * float(d_obj.min())


def uniform_segments(kind, cols, rows, square, a, b, radius=None):
    """True for the board segments a[i] -> b[i] (N x 2 board coordinates, mm) that cross no
    edge of the pattern's print: within one chessboard square, or clear of every circle of
    `radius` mm, or both ends beyond one side of the print (on the plain sheet around it).
    A stripe's centre of gravity over such a window is not pulled by the board's changing
    reflectance."""
    a = np.asarray(a, dtype=np.float64).reshape(-1, 2)
    b = np.asarray(b, dtype=np.float64).reshape(-1, 2)
    box = outline(kind, cols, rows, square)
    lo, hi = box[0, :2], box[2, :2]
    beyond = np.any(((a < lo) & (b < lo)) | ((a > hi) & (b > hi)), axis=1)
    if kind == "chessboard":
        ca, cb = np.floor(a / square), np.floor(b / square)
        return beyond | np.all(ca == cb, axis=1)
    centres = object_points(kind, cols, rows, square)[:, :2]
    if radius is None:
        radius = 0.25 * square
    ab = b - a
    L2 = np.maximum((ab * ab).sum(axis=1), 1e-300)
    keep = np.ones(len(a), dtype=bool)
    for c in centres:
        t = np.clip(((c - a) * ab).sum(axis=1) / L2, 0.0, 1.0)
        q = a + t[:, None] * ab
        keep &= np.linalg.norm(q - c, axis=1) > radius
    return keep | beyond


def printed_sheet(image, board_mask, bound, lit=None):
    """The sheet the pattern is printed on, as a 0/255 mask: the pixels of `image` (the
    scene without the laser, corrected) that are brighter than halfway between the print's
    dark and light levels and reachable from the pattern without crossing an edge (Canny, at
    a tenth and a quarter of the print's contrast), holes filled (the dark squares, specks),
    within `bound` (0/255). Edges on `lit` pixels (bool: the laser's stripe) are no
    barrier, so the stripe itself never splits the sheet. A board held against a floor or
    a wall of its own brightness still ends at its edge; a print without a margin gives
    about the pattern itself."""
    img = np.asarray(image, dtype=np.float32)
    inside = img[board_mask > 0]
    if inside.size == 0:
        return board_mask.copy()
    dark, light = (float(v) for v in np.percentile(inside, (10, 90)))
    span = max(light - dark, 1.0)
    smooth = cv2.GaussianBlur(np.clip(img, 0, 255).astype(np.uint8), (5, 5), 0)
    edges = cv2.Canny(smooth, 0.1 * span, 0.25 * span, L2gradient=True)
    if lit is not None:
        edges[lit] = 0
    edges = cv2.dilate(edges, np.ones((3, 3), np.uint8))
    free = (edges == 0) & (bound > 0) & ((smooth > dark + 0.5 * span) | (lit if lit is not None
                                                                         else False))
    free = free.astype(np.uint8) * 255
    free[board_mask > 0] = 255
    n, labels = cv2.connectedComponents(free, connectivity=4)
    ids = np.bincount(labels[board_mask > 0], minlength=n)
    ids[0] = 0
    sheet = (labels == int(np.argmax(ids))).astype(np.uint8) * 255
    contours = cv2.findContours(sheet, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)[-2]
    filled = np.zeros_like(sheet)
    cv2.drawContours(filled, contours, -1, 255, -1)
    # Back off the edge by the barrier's own width.
    return cv2.erode(filled, np.ones((5, 5), np.uint8))
