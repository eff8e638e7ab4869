"""How the object moved between the frames of a scan, and undoing it.

A scan's cloud is in the camera frame of frame 0: a point measured in frame k is carried
back to where it was at frame 0.

  turntable  the object turns with a table about an axis (turntable.json: "point", mm, and
             "direction", unit vector, camera frame); frame k's angle (degrees) is the turn
             from frame 0 by the right-hand rule about "direction", so its points are
             turned back by minus that angle about the axis
  linear     the object slides `step` mm along a unit direction between frames: frame k's
             points are moved back by k * step along it
  static     no motion: every frame is a profile in the camera frame"""
import math
import os
from typing import NamedTuple, Optional

import cv2
import numpy as np

from .errors import RigError
from .plaindata import read_json


class Turntable(NamedTuple):
    """The table's axis: a `point` on it and its unit `direction` (camera frame, mm)."""
    point: np.ndarray
    direction: np.ndarray


def unit_vector(values, what):
    """`values` (three numbers) as a float64 unit vector; a RigError naming `what` when they
    are not three finite numbers or are all zero."""
    v = _three(values, what)
    norm = float(np.linalg.norm(v))
    if norm == 0.0:
        raise RigError(f"{what} is the zero vector; give a direction")
    return v / norm


def parse_direction(text):
    """The unit vector of `--direction X,Y,Z`."""
    return unit_vector(str(text).split(","), f"--direction {text}")


def read_turntable(path):
    """turntable.json as a Turntable (the direction normalised; other keys ignored). A
    missing or invalid file is a RigError naming it."""
    path = os.fspath(path)
    raw = read_json(path, "turntable file", "write one with 'torvel-rig calibrate-turntable' "
                    "or by hand ({\"point\": [x, y, z], \"direction\": [dx, dy, dz]})")
    if not isinstance(raw, dict) or "point" not in raw or "direction" not in raw:
        raise RigError(f"turntable file {path} holds no \"point\" and \"direction\"")
    return Turntable(_three(raw["point"], f"turntable file {path}: \"point\""),
                     unit_vector(raw["direction"], f"turntable file {path}: \"direction\""))


def _three(values, what):
    """Three finite numbers as a float64 array; a RigError naming `what` otherwise."""
    if not isinstance(values, (list, tuple)):
        raise RigError(f"{what} is not three numbers")
    try:
        v = np.array([float(x) for x in values], dtype=np.float64)
    except (TypeError, ValueError, OverflowError):
        raise RigError(f"{what} is not three numbers") from None
    if v.shape != (3,) or not np.all(np.isfinite(v)):
        raise RigError(f"{what} is not three finite numbers")
    return v


def read_angles(path):
    """The angles (degrees, float64) of an angle log: one number per line in frame order;
    empty lines and lines starting with '#' are skipped. A RigError naming the file and line
    for anything else."""
    path = os.fspath(path)
    if not os.path.isfile(path):
        raise RigError(f"angle file {path} does not exist")
    try:
        with open(path, "r", encoding="utf-8") as f:
            lines = f.read().splitlines()
    except (OSError, UnicodeDecodeError) as e:
        raise RigError(f"cannot read angle file {path} "
                       f"({getattr(e, 'strerror', None) or e})") from None
    angles = []
    for number, line in enumerate(lines, 1):
        text = line.strip()
        if not text or text.startswith("#"):
            continue
        try:
            a = float(text)
        except ValueError:
            a = math.nan
        if not math.isfinite(a):
            raise RigError(f"angle file {path} line {number}: {text[:40]!r} is not an angle in "
                           "degrees; give one number per line")
        angles.append(a)
    return np.array(angles, dtype=np.float64)


class Motion(NamedTuple):
    """The scan's motion: `kind` ("turntable", "linear", "static"); for a turntable its axis
    (`point`, `direction`) and each frame's angle in degrees (`offsets`); for a linear motion
    the unit `direction` and the step in mm between frames (`step`). `text` says it in a
    line (the PLY's header)."""
    kind: str
    text: str
    point: Optional[np.ndarray] = None
    direction: Optional[np.ndarray] = None
    offsets: Optional[np.ndarray] = None
    step: float = 0.0

    def undo(self, index, points):
        """N x 3 camera-frame points of frame `index` where they were at frame 0."""
        p = np.asarray(points, dtype=np.float64)
        if self.kind == "turntable":
            angle = math.radians(float(self.offsets[index]))
            R = cv2.Rodrigues((-angle * self.direction).reshape(3, 1))[0]
            return (p - self.point) @ R.T + self.point
        if self.kind == "linear":
            return p - (index * self.step) * self.direction
        return p


def turntable(table, path, angles, source):
    """A turntable Motion of the Turntable `table` read from `path`, with the frames'
    `angles` (degrees) and a word on where they came from (`source`)."""
    return Motion("turntable", f"turntable {path} (point {_fmt(table.point)}, direction "
                               f"{_fmt(table.direction)}), angles {source}",
                  point=table.point, direction=table.direction,
                  offsets=np.asarray(angles, dtype=np.float64))


def linear(direction, step):
    return Motion("linear", f"linear, {step:g} mm per frame along {_fmt(direction)}",
                  direction=direction, step=float(step))


def static():
    return Motion("static", "static, every frame a profile in the camera frame")


def _fmt(v):
    return "(" + ", ".join(f"{x + 0.0:.6g}" for x in v) + ")"     # + 0.0: no "-0"
