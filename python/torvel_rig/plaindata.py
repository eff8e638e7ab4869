"""NumPy values as plain Python data (dicts with text keys, lists, numbers, text, None), the
one form both file formats store: the calibration file's "param" record and plane.json."""
import json
import math
import os

import numpy as np

from .errors import RigError


def plain(value, nan_as_none=False):
    """`value` with every NumPy array, scalar and tuple turned into plain lists and numbers;
    with `nan_as_none`, NaN and infinities become None (JSON has no NaN)."""
    if isinstance(value, dict):
        return {str(k): plain(v, nan_as_none) for k, v in value.items()}
    if isinstance(value, np.ndarray):
        value = value.tolist()
    if isinstance(value, (list, tuple)):
        return [plain(v, nan_as_none) for v in value]
    if isinstance(value, np.generic):
        value = value.item()
    if nan_as_none and isinstance(value, float) and not math.isfinite(value):
        return None
    return value


def read_json(path, what, advice):
    """The JSON data of the file at `path` (a `what`: "plane file", ...); a missing or
    unreadable file is a RigError naming it and ending in `advice`."""
    path = os.fspath(path)
    if not os.path.isfile(path):
        raise RigError(f"{what} {path} does not exist; {advice}")
    try:
        with open(path, "r", encoding="utf-8") as f:
            return json.load(f)
    except (OSError, UnicodeDecodeError, ValueError) as e:
        msg = getattr(e, "strerror", None) or str(e).splitlines()[0]
        raise RigError(f"cannot read {what} {path} ({msg}); {advice}") from None
