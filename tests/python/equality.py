"""Result equality shared by the tests that run calls in a subprocess or on threads (no
heavy imports: the fuzz driver runs under an address-space limit)."""
import numpy as np


def same(a, b):
    """Equal results: same types, dtypes, shapes and values (NaN equal to NaN)."""
    if isinstance(a, np.ndarray) or isinstance(b, np.ndarray):
        if type(a) is not type(b) or a.dtype != b.dtype or a.shape != b.shape:
            return False
        if a.dtype.kind in "fc":
            return bool(np.array_equal(a, b, equal_nan=True))
        if a.dtype.kind == "O":
            return all(same(x, y) for x, y in zip(a.ravel(), b.ravel()))
        return np.ascontiguousarray(a).tobytes() == np.ascontiguousarray(b).tobytes()
    if isinstance(a, (tuple, list)):
        return type(a) is type(b) and len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return type(b) is dict and a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    if isinstance(a, (float, np.floating, complex, np.complexfloating)):
        return type(a) is type(b) and (a == b or (a != a and b != b))
    if type(a) is not type(b):
        return False
    try:
        return bool(a == b)
    except Exception:
        return a is b
