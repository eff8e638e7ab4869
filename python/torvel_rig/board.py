"""The calibration board in a corrected frame: the pattern found (in the raw frame where the
corrected one hides it) and the board's pose, or why not. Shared by the commands that
stand on a board's pose: calibrate-laser and calibrate-turntable."""
import enum
import typing

import cv2
import numpy as np

from . import pattern

MAX_PNP_ERROR = 1.0      # px: a board pose reprojecting worse than this is not trusted


class Miss(enum.Enum):
    """Why a frame gives no board pose (the commands' gates of the same names)."""
    PATTERN_NOT_FOUND = "pattern not found"
    POSE_UNRELIABLE = "board pose unreliable"


class Seen(typing.NamedTuple):
    """The board in one frame: `found` (a pattern.Detection, corrected pixels), `rotation`
    and `translation` (board to camera frame, mm), `pnp_error` (RMS reprojection, px), the
    `detector`; or `miss` (a Miss) with its `detail`."""
    found: typing.Optional[pattern.Detection] = None
    rotation: typing.Optional[np.ndarray] = None
    translation: typing.Optional[np.ndarray] = None
    pnp_error: float = float("nan")
    detector: typing.Optional[str] = None
    miss: typing.Optional[Miss] = None
    detail: str = ""


def find_board(calib, corrected, raw, args):
    """The pattern in the corrected frame (grey images of both given), a pattern.Detection
    whose points are corrected pixels. Where the corrected frame does not show it and the
    lens model is at hand, it is searched in the raw frame, as calibrate-camera searched it,
    and its points are corrected exactly (undistortPoints): resampling blurs a small or
    dim board that the detectors may still find in the raw frame."""
    found = pattern.detect(corrected, args.pattern, args.cols, args.rows)
    if found.points is not None or not calib.dist_coeffs.size:
        return found
    in_raw = pattern.detect(raw, args.pattern, args.cols, args.rows)
    if in_raw.points is None:
        return found
    k = calib.camera_matrix
    pts = cv2.undistortPointsIter(in_raw.points.reshape(-1, 1, 2), k, calib.dist_coeffs, None,
                                  k, (cv2.TERM_CRITERIA_COUNT | cv2.TERM_CRITERIA_EPS, 50, 1e-9))
    return in_raw._replace(points=pts.reshape(-1, 2).astype(np.float64),
                           detector=f"{in_raw.detector}, raw frame")


def board_pose(calib, obj, corners):
    """(rotation, translation, RMS reprojection error in pixels) of the board by solvePnP
    with the calibrated pinhole of the corrected image; None when it fails."""
    k = calib.camera_matrix
    ok, rvec, tvec = cv2.solvePnP(obj, corners, k, None, flags=cv2.SOLVEPNP_IPPE)
    if ok:
        rvec, tvec = cv2.solvePnPRefineLM(obj, corners, k, None, rvec, tvec)
    else:
        ok, rvec, tvec = cv2.solvePnP(obj, corners, k, None, flags=cv2.SOLVEPNP_ITERATIVE)
    if not ok:
        return None
    seen = cv2.projectPoints(obj, rvec, tvec, k, None)[0].reshape(-1, 2)
    error = float(np.sqrt(np.mean(np.sum((seen - corners) ** 2, axis=1))))
    return cv2.Rodrigues(rvec)[0], tvec.ravel().astype(np.float64), error


def locate(calib, corrected, raw, args, obj):
    """The Seen of a frame (grey corrected and raw images) for the board of `args` (pattern,
    cols, rows) with object points `obj`: a pose that reprojects more than MAX_PNP_ERROR
    pixels from the pattern found is not trusted."""
    found = find_board(calib, corrected, raw, args)
    if found.points is None:
        return Seen(miss=Miss.PATTERN_NOT_FOUND,
                    detail=found.reason.describe(args.pattern, args.cols, args.rows))
    pose = board_pose(calib, obj, found.points)
    if pose is None:
        return Seen(found, detector=found.detector, miss=Miss.POSE_UNRELIABLE,
                    detail="solvePnP found no pose")
    r, t, error = pose
    if error > MAX_PNP_ERROR:
        return Seen(found, r, t, error, found.detector, Miss.POSE_UNRELIABLE,
                    f"the pattern reprojects {error:.2f} px from where it was found (at most "
                    f"{MAX_PNP_ERROR:g})")
    return Seen(found, r, t, error, found.detector)
