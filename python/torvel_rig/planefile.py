"""plane.json, the laser plane written by `torvel-rig calibrate-laser`.

Keys (all lengths in mm, camera frame of the corrected image):
  "Phi", "normal_vec", "RRa", "RRa_inv", "Ox_lpts", "Oy_lpts", "Oz_lpts",
  "p_cos_one_point", "mean_dist", "shift"   the ten values of fit_plane (arrays as nested
                                            lists, NaN as null)
  "plane"             {"a", "b", "c"}: z = a*x + b*y + c
  "unit_normal"       [3 floats], unit normal of the plane (z component positive)
  "points_per_frame"  [{"frame": path, "points": n}, ...] for the usable frames
  "rms_mm"            RMS distance of all laser points to the plane
  "calib"             path of the calibration file used
  "validation"        {"held_out_rms_mm": {frame: mm}, "median_mm": mm}: each frame's RMS
                      distance to the plane fitted without it (null where the other frames
                      fix no plane); optional, a hand-written file may lack it
read_plane gives the arrays back as float64 NumPy arrays and null as NaN."""
import json
import os

import numpy as np

from .errors import RigError
from .output import atomic_output
from .plaindata import plain, read_json

FIT_KEYS = ("Phi", "normal_vec", "RRa", "RRa_inv", "Ox_lpts", "Oy_lpts", "Oz_lpts",
            "p_cos_one_point", "mean_dist", "shift")
ARRAY_SHAPES = {"normal_vec": (3,), "RRa": (3, 3), "RRa_inv": (3, 3), "p_cos_one_point": (3,),
                "unit_normal": (3,)}
KEYS = FIT_KEYS + ("plane", "unit_normal", "points_per_frame", "rms_mm", "calib")


def plane_coefficients(normal_vec, point):
    """(a, b, c) of z = a*x + b*y + c for the plane with normal `normal_vec` through `point`."""
    n = np.asarray(normal_vec, dtype=np.float64)
    p = np.asarray(point, dtype=np.float64)
    a, b = -n[0] / n[2], -n[1] / n[2]
    return float(a), float(b), float(p[2] - a * p[0] - b * p[1])


def plane_record(fit, points_per_frame, rms_mm, calib, validation=None):
    """The plane.json dict from fit_plane's 10-tuple and the run's facts."""
    if len(fit) != len(FIT_KEYS):
        raise ValueError(f"fit_plane gives {len(FIT_KEYS)} values, got {len(fit)}")
    values = dict(zip(FIT_KEYS, fit))
    n = np.asarray(values["normal_vec"], dtype=np.float64)
    o = (values["Ox_lpts"], values["Oy_lpts"], values["Oz_lpts"])
    a, b, c = plane_coefficients(n, o)
    rec = {k: plain(np.asarray(values[k], dtype=np.float64) if k in ARRAY_SHAPES
                    else float(values[k]), nan_as_none=True) for k in FIT_KEYS}
    rec["plane"] = {"a": a, "b": b, "c": c}
    unit = n / np.linalg.norm(n)
    rec["unit_normal"] = plain(-unit if unit[2] < 0 else unit, nan_as_none=True)
    rec["points_per_frame"] = [{"frame": os.fspath(f), "points": int(k)}
                               for f, k in points_per_frame]
    rec["rms_mm"] = plain(float(rms_mm), nan_as_none=True)
    rec["calib"] = os.fspath(calib)
    if validation is not None:
        rec["validation"] = plain(validation, nan_as_none=True)
    return rec


def write_plane(path, fit, points_per_frame, rms_mm, calib, validation=None):
    """Write plane.json at `path` (temporary file, renamed at the end). `fit` is fit_plane's
    10-tuple, `points_per_frame` pairs (frame path, number of points). Returns the dict."""
    rec = plane_record(fit, points_per_frame, rms_mm, calib, validation)
    text = json.dumps(rec, indent=2, allow_nan=False) + "\n"
    with atomic_output(path, "w") as f:
        f.write(text)
    return rec


def _number(v):
    return float("nan") if v is None else float(v)


def read_plane(path):
    """plane.json as a dict: the arrays (normal_vec, RRa, RRa_inv, p_cos_one_point,
    unit_normal) as float64 NumPy arrays, the numbers as floats (null as NaN), "plane" a
    dict of floats. A missing or invalid file is a RigError naming it."""
    path = os.fspath(path)
    raw = read_json(path, "plane file", "write one with 'torvel-rig calibrate-laser'")
    if not isinstance(raw, dict):
        raise RigError(f"plane file {path} is not a plane.json object")
    missing = [k for k in KEYS if k not in raw]
    if missing:
        raise RigError(f"plane file {path} lacks {', '.join(missing)}; write it with "
                       "'torvel-rig calibrate-laser'")
    out = dict(raw)
    try:
        for k, shape in ARRAY_SHAPES.items():
            a = np.array([[_number(x) for x in r] for r in raw[k]] if len(shape) == 2
                         else [_number(x) for x in raw[k]], dtype=np.float64)
            if a.shape != shape:
                raise ValueError(f"{k} has shape {a.shape}, not {shape}")
            out[k] = a
        for k in ("Phi", "Ox_lpts", "Oy_lpts", "Oz_lpts", "mean_dist", "shift", "rms_mm"):
            out[k] = _number(raw[k])
        out["plane"] = {k: float(raw["plane"][k]) for k in ("a", "b", "c")}
        out["points_per_frame"] = [{"frame": str(p["frame"]), "points": int(p["points"])}
                                   for p in raw["points_per_frame"]]
        out["calib"] = str(raw["calib"])
    except (TypeError, ValueError, KeyError) as e:
        raise RigError(f"plane file {path} is invalid ({e}); write it again with "
                       "'torvel-rig calibrate-laser'") from None
    return out


def fit_tuple(plane):
    """The ten fit_plane values of a read plane.json dict, in fit_plane's order."""
    return tuple(plane[k] for k in FIT_KEYS)
