"""Child process of the fuzz test: calls the methods of torvel_class with generated
arguments and reports every outcome that is neither a documented result nor a clean
exception, and every argument the call changed.

Each case is fixed by (method, seed): the seed picks the argument family (seed modulo the
number of families) and seeds the generator, so a failure reproduces from those two.

    python fuzz_driver.py --state DIR --run fit_plane:0:2000 --run plot_ellipse:0:2000
    python fuzz_driver.py --show fit_plane 17        # one case: its arguments and outcome
    python fuzz_driver.py --stats fit_plane 0 500    # the exceptions a seed range raises

In --state mode the child writes DIR/current (the case it is about to run, overwritten
in place before each call, so the parent can name the case of a crash or hang) and appends
JSON lines to DIR/report (problems and one "done" line per method).
"""
import decimal
import faulthandler
import fractions
import inspect
import json
import os
import pickle
import resource
import sys
import tempfile
import time
import warnings
import zlib

# Address space of the child: an attempted multi-gigabyte allocation fails as MemoryError
# instead of swapping. Set before the libraries start their thread pools.
ADDRESS_SPACE = 2 << 30
CASE_TIMEOUT = 30.0  # seconds for one call before the case counts as a hang

# Under AddressSanitizer (the sanitizer leg of the test script preloads its runtime) the
# shadow memory needs terabytes of address space: the allocator's own limit stands in for
# the address-space limit (see test_fuzz.child_environment).
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")

if __name__ == "__main__" and not SANITIZED:
    resource.setrlimit(resource.RLIMIT_AS, (ADDRESS_SPACE, ADDRESS_SPACE))
if __name__ == "__main__":
    extra = os.environ.get("TORVEL_FUZZ_PATH")
    if extra:
        sys.path.insert(0, extra)
    sys.path.insert(1, os.path.dirname(os.path.abspath(__file__)))

import numpy as np  # noqa: E402
import cv2  # noqa: E402

import torvel  # noqa: E402
from equality import same  # noqa: E402

as_strided = np.lib.stride_tricks.as_strided


class FuzzError(Exception):
    """Raised by the hostile argument objects; the library must let it through."""


CLEAN = (TypeError, ValueError, IndexError, KeyError, OverflowError, AttributeError,
         ZeroDivisionError, MemoryError, np.linalg.LinAlgError, cv2.error,
         pickle.UnpicklingError, OSError, EOFError, NotImplementedError, FuzzError)


# ---- hostile and odd objects ----------------------------------------------------------

class BadFloat:
    def __float__(self):
        raise FuzzError("__float__")

    def __index__(self):
        raise FuzzError("__index__")

    def __int__(self):
        raise FuzzError("__int__")


class BadArray:
    def __array__(self, dtype=None):
        raise FuzzError("__array__")


class BadSequence:
    def __len__(self):
        return 3

    def __getitem__(self, i):
        raise FuzzError("__getitem__")


class SelfNested:
    """A sequence whose item is itself (NumPy stops at its dimension limit)."""
    def __len__(self):
        return 1

    def __getitem__(self, i):
        if i >= 1:
            raise IndexError(i)
        return self


class WeirdNumber:
    """A number whose arithmetic gives strings."""
    def __sub__(self, other):
        return "x"

    __rsub__ = __add__ = __radd__ = __mul__ = __rmul__ = __truediv__ = __rtruediv__ = __sub__

    def __pow__(self, other, mod=None):
        return "x"


class Sub(np.ndarray):
    """An ndarray subclass with an attribute of its own."""


def hostile_objects():
    return [
        None, "abc", "", b"abc", {}, {"a": 1}, {0: 1.0, 1: 2.0}, [], [[]], [[1, 2], [3]],
        [[1.0, 2.0, 3.0]] * 4, object(), 1 + 2j, 10 ** 400, -10 ** 400, True, False,
        range(6), {1, 2}, BadFloat(), BadArray(), BadSequence(), SelfNested(), WeirdNumber(),
        memoryview(b"abcdefgh"), bytearray(24), np.dtype("f8"), np.float64, len, Ellipsis,
        slice(1, 2), [1.0] * 7, nested_list(40), np.ma.masked_array([1.0, 2.0, 3.0], [0, 1, 0]),
        np.matrix([[1.0, 2.0, 3.0]]), fractions.Fraction(1, 3), decimal.Decimal("nan"),
        np.datetime64("2020-01-01"), np.str_("x"), np.void(b"abcd"),
        np.array([1.0, 2.0, 3.0]).view(Sub), float("nan"), np.array(None),
    ]


def nested_list(depth):
    v = 1.0
    for _ in range(depth):
        v = [v]
    return v


def scalar_values():
    return [
        0, -0.0, 1, -1, 7, 0.5, float("nan"), float("inf"), -float("inf"), 1e308, -1e308,
        5e-324, 2 ** 31, 2 ** 63, -2 ** 63 - 1, 2 ** 64, 10 ** 30, 10 ** 400, np.float32("nan"),
        np.int8(-1), np.uint64(2 ** 64 - 1), np.int64(-2 ** 63), np.float16(65504),
        np.longdouble("1e4000"), np.complex128(1 + 1j), np.bool_(True), True, np.array(2.5),
        np.array([1.5]), np.array([1.0, 2.0]), np.array([]), np.array([[3.0]]), "1.5", b"1",
        None, 1j, fractions.Fraction(1, 3), decimal.Decimal("1e999"), decimal.Decimal("-0"),
        BadFloat(), object(), [2.0], (), np.float64("inf"),
    ]


DTYPES = [np.bool_, np.int8, np.int16, np.int32, np.int64, np.uint8, np.uint16, np.uint32,
          np.uint64, np.float16, np.float32, np.float64, np.longdouble, np.complex64,
          np.complex128, np.clongdouble, object, "U8", "S8", "M8[s]", "m8[ms]", "V8",
          [("a", "f8")], ">f8", ">i4", "<u2", ">f4", ">u8"]

SPECIAL_FLOATS = [np.nan, np.inf, -np.inf, 1e308, -1e308, 5e-324, -5e-324, 0.0, -0.0,
                  9.3e18, -9.3e18, 2.0 ** 31, -2.0 ** 31 - 1, 2.0 ** 63, 2.0 ** 64, 1e-300]

HUGE_2D = [(70000, 70000), (65536, 65537), (1, 2 ** 31 + 5), (2 ** 31 + 5, 1), (3, 2 ** 32 + 1),
           (2 ** 32 + 1, 3), (46341, 46341)]
HUGE_1D = [(2 ** 31 + 1,), (2 ** 32 + 3,), (2 ** 40,)]
HUGE_ND = [(70000, 70000, 3), (2, 70000, 70000), (1, 1, 2 ** 33)]


# ---- arrays in every layout --------------------------------------------------------------

LAYOUTS = ["fortran", "noncontiguous", "negative", "readonly", "list", "subclass",
           "byteswapped", "unaligned", "tuple", "zero-stride-row"]


def in_layout(a, layout):
    """An object holding exactly a's values (and dtype where arrays are kept) in another
    memory layout, or None when the layout does not apply."""
    a = np.asarray(a)
    if layout == "fortran":
        return np.asfortranarray(a) if a.ndim else None
    if layout == "noncontiguous":
        if a.ndim == 0:
            return None
        big = np.zeros(tuple(2 * d + 1 for d in a.shape), a.dtype)
        view = big[tuple(slice(1, None, 2) for _ in a.shape)]
        view[...] = a
        big[tuple(slice(0, None, 2) for _ in a.shape)] = 0
        return view
    if layout == "negative":
        if a.ndim == 0:
            return None
        flipped = a[tuple(slice(None, None, -1) for _ in a.shape)].copy()
        return flipped[tuple(slice(None, None, -1) for _ in a.shape)]
    if layout == "readonly":
        c = a.copy()
        c.flags.writeable = False
        return c
    if layout == "list":
        return a.tolist() if a.dtype.kind in "biuf" else None
    if layout == "tuple":
        if a.ndim == 0 or a.dtype.kind not in "biuf":
            return None
        if a.ndim == 2:
            return tuple(map(tuple, a.tolist()))
        return tuple(a.tolist()) if a.ndim == 1 else None
    if layout == "subclass":
        return a.copy().view(Sub)
    if layout == "byteswapped":
        if a.dtype.itemsize == 1 or a.dtype.kind not in "iufc":
            return None
        return a.astype(a.dtype.newbyteorder())
    if layout == "unaligned":
        if a.dtype.itemsize == 1 or a.dtype.kind not in "biufc":
            return None
        buf = np.zeros(a.nbytes + 1, np.uint8)
        view = buf[1:].view(a.dtype).reshape(a.shape)
        view[...] = a
        return view
    if layout == "zero-stride-row":
        # Every row the same: a broadcast view and its materialised copy hold one value set.
        if a.ndim == 0 or a.shape[0] == 0:
            return None
        return np.broadcast_to(a[:1], a.shape)
    raise ValueError(layout)


def canonical_of(layout, a):
    """The plain array whose values the layout holds."""
    a = np.asarray(a)
    if layout == "zero-stride-row":
        return np.ascontiguousarray(np.broadcast_to(a[:1], a.shape))
    return a


def huge_view(a, shape, writeable=False):
    """A zero-stride view of one element of a's dtype, of a shape too large to allocate."""
    a = np.asarray(a)
    dt = a.dtype if a.dtype.kind in "biufc" else np.dtype(np.float64)
    cell = np.zeros(1, dt)
    if a.size and a.dtype.kind in "biufc":
        cell[0] = a.flat[0]
    return as_strided(cell, shape=shape, strides=(0,) * len(shape), writeable=writeable)


def with_dtype(a, dt):
    a = np.asarray(a)
    if {a.dtype.kind, np.dtype(dt).kind} & set("mM") and {a.dtype.kind, np.dtype(dt).kind} & set("SU"):
        # NumPy 1.24 corrupts its heap casting between datetimes and fixed-width strings.
        return np.zeros(a.shape, dt)
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            return a.astype(dt)
        except (TypeError, ValueError):
            return np.zeros(a.shape, dt)


def special_integers(dtype, size):
    """Extremes of an integer type, -1, and values just past an image's pixel count."""
    info = np.iinfo(dtype)
    vals = [info.min, info.max, 0, 1, size, size + 1, info.max // 2 + 1]
    if info.min < 0:
        vals += [-1, info.min + 1, -size]
    return [v for v in vals if info.min <= v <= info.max]


def with_special_values(a, rng):
    a = np.asarray(a)
    if a.dtype.kind in "iu" and rng.integers(2):
        # Integers keep their type: every entry out of range, extremes, wrap-arounds.
        a = np.array(a)
        if a.size == 0:
            return a
        flat = a.reshape(-1)
        vals = special_integers(a.dtype, flat.size)
        mode = rng.integers(3)
        if mode == 0:
            flat[:] = vals[rng.integers(len(vals))]
        elif mode == 1:
            flat[:] = np.asarray(vals, a.dtype)[rng.integers(len(vals), size=flat.size)]
        else:
            flat[rng.integers(flat.size)] = vals[rng.integers(len(vals))]
        return a
    a = np.array(a, dtype=np.float64 if a.dtype.kind not in "f" else None)
    if a.size == 0:
        return a
    flat = a.reshape(-1)
    mode = rng.integers(4)
    picks = [SPECIAL_FLOATS[i] for i in rng.integers(len(SPECIAL_FLOATS), size=flat.size)]
    if mode == 0:
        flat[rng.integers(flat.size)] = picks[0]
    elif mode == 1:
        flat[:] = picks[0]
    elif mode == 2:
        flat[:] = picks
    else:
        mask = rng.random(flat.size) < 0.3
        flat[mask] = np.asarray(picks)[mask]
    return a


RESHAPES = ["0d", "1d", "3d", "empty", "empty-rows", "transpose", "grow", "shrink", "1x1",
            "squeeze", "extra-axis"]


def reshaped(a, rng, kind=None):
    """a with another shape: 0-d, 1-d, 3-d, empty, one more or one fewer row or column."""
    a = np.asarray(a)
    if kind is None:
        kind = RESHAPES[rng.integers(len(RESHAPES))]
    if kind == "0d":
        return kind, np.array(a.flat[0] if a.size else 1.0, a.dtype)
    if kind == "1d":
        return kind, a.reshape(-1)
    if kind == "3d":
        return kind, np.stack([a, a], axis=-1) if rng.integers(2) else a[None, ...]
    if kind == "empty":
        return kind, np.zeros((0,) * max(a.ndim, 1), a.dtype)
    if kind == "empty-rows":
        return kind, a[:0] if a.ndim else np.zeros((0,), a.dtype)
    if kind == "transpose":
        return kind, a.T
    if kind in ("grow", "shrink"):
        if a.ndim == 0:
            return kind, np.array([a, a])
        axis = int(rng.integers(a.ndim))
        if kind == "grow":
            return kind, np.concatenate([a, a.take([0] * int(rng.integers(1, 3)), axis=axis)
                                         if a.shape[axis] else np.zeros_like(a)], axis=axis)
        return kind, a.take(range(max(a.shape[axis] - int(rng.integers(1, 3)), 0)), axis=axis)
    if kind == "1x1":
        return kind, np.full((1,) * max(a.ndim, 1), a.flat[0] if a.size else 0, a.dtype)
    if kind == "squeeze":
        return kind, a[..., 0] if a.ndim and a.shape[-1] else a
    return kind, a[..., None]


# ---- the methods' arguments --------------------------------------------------------------
#
# Each method: parameter kinds and a generator of one canonical, meaningful argument set.
# Kinds: "array" (an array argument), "image" (an image-sized array), "number" (a scalar),
# "point" (an indexable pair), "path" (a calibration file path), "ignored".

def cam(rng):
    return {"focus": float(rng.choice([8.0, 16.0, 0.5])),
            "pixel_sizer": float(rng.choice([0.0048, 0.01, 1.0])),
            "pixel_sizec": float(rng.choice([0.0048, 0.01, 1.0])),
            "center_row": float(rng.uniform(0, 60)), "center_col": float(rng.uniform(0, 80))}


def rotation(rng):
    return cv2.Rodrigues(rng.normal(0, 0.5, (3, 1)))[0]


def gen_distance(rng):
    def point():
        k = rng.integers(4)
        v = rng.normal(0, 100, 2 + int(rng.integers(2)))
        if k == 0:
            return tuple(float(x) for x in v)
        if k == 1:
            return [int(x) for x in v]
        return v
    return {"p1": point(), "p2": point()}


def plane_points(rng, n):
    xy = rng.uniform(-50, 50, (n, 2))
    z = 600 + rng.normal(0, 0.5) * xy[:, 0] + rng.normal(0, 0.5) * xy[:, 1]
    if rng.integers(2):
        z = z + rng.normal(0, 0.004, n)
    if n > 6 and rng.integers(2):
        z[::5] += rng.uniform(1, 5, z[::5].size)
    return np.column_stack([xy, z])


def gen_fit_plane(rng):
    n = int(rng.choice([3, 4, 5, 9, 20, 60]))
    return {"all_laser_3d_pts": plane_points(rng, n),
            "shift_ratio": float(rng.choice([1.5, 0.0, -2.0, 3.25]))}


def gen_intersect(rng):
    n = int(rng.choice([0, 1, 2, 5, 17]))
    normal = rng.normal(0, 1, 3)
    args = {"vecpt0s": rng.normal(0, 1, (n, 3)) if rng.integers(2) else np.zeros((n, 3)),
            "vecpt1s": rng.normal(0, 1, (n, 3)) + [0, 0, 3],
            "p_cos": np.array([0, 0, 600.0]) if rng.integers(2) else rng.normal(0, 9, (n, 3)),
            "p_nos": (normal / np.linalg.norm(normal) if rng.integers(2)
                      else rng.normal(0, 1, (n, 3)))}
    if rng.integers(2):
        args["epsion"] = float(rng.choice([1e-6, 0.0, 0.5, 1e9]))
    return args


def gen_img_coord(rng):
    shape = [(), (1,), (7,), (2, 3), (0,)][rng.integers(5)]
    c = cam(rng)
    return {"x": rng.normal(0, 50, shape), "y": rng.normal(0, 50, shape),
            "z": rng.uniform(300, 900, shape), "focus": c["focus"], "center_col": c["center_col"],
            "center_row": c["center_row"], "pixel_sizec": c["pixel_sizec"],
            "pixel_sizer": c["pixel_sizer"]}


def blob_mask(rng, h, w):
    img = np.zeros((h, w), np.uint8)
    kind = rng.integers(5)
    if kind == 0:
        return img
    if kind == 1:
        return (rng.random((h, w)) < 0.5).astype(np.uint8) * 255
    for _ in range(1 if kind < 4 else 3):
        center = (int(rng.integers(0, w)), int(rng.integers(0, h)))
        axes = (int(rng.integers(1, max(w // 2, 2))), int(rng.integers(1, max(h // 2, 2))))
        cv2.ellipse(img, center, axes, float(rng.uniform(0, 180)), 0, 360, 255, -1)
    if rng.integers(3) == 0:
        # Grey levels inside the object: the angular profile weighs them.
        img = (img > 0) * rng.integers(1, 256, (h, w), dtype=np.uint8)
        img = img.astype(np.uint8)
    return img


def gen_short_long(rng):
    h, w = int(rng.integers(1, 72)), int(rng.integers(1, 72))
    if rng.integers(3) == 0:
        h, w = int(rng.integers(20, 72)), int(rng.integers(20, 72))
    args = {"img": blob_mask(rng, h, w)}
    if rng.integers(2):
        args["margin_length"] = rng.choice([100, 0, 3, 2.5, -20])
    return args


def gen_ellipse(rng):
    args = {}
    for name in ("semimaj", "semimin", "phi", "x_cent", "y_cent"):
        if rng.integers(2):
            args[name] = float(rng.normal(0, 5))
    if rng.integers(2):
        args["theta_num"] = rng.choice([0, 1, 2, 50, 200, 33.7])
    for name in ("ax", "plot_kwargs", "fill", "fill_kwargs", "data_out"):
        if rng.integers(4) == 0:
            args[name] = [None, {"c": "r"}, True, object()][rng.integers(4)]
    if rng.integers(2):
        m = rng.normal(0, 2, (2, 2))
        args["cov"] = m @ m.T if rng.integers(3) else m
        if rng.integers(2):
            args["mass_level"] = float(rng.choice([0.68, 0.0, 0.5, 0.99, 1.0, 0.9999999]))
    return args


def stripe(rng, h, w):
    th2 = np.zeros((h, w), np.uint8)
    slope, start = rng.normal(0, 0.3), rng.uniform(0, h)
    for c in range(1, w - 1, int(rng.integers(3, 9))):
        r = int(start + slope * c) % h
        th2[max(r - 1, 0):r + 2, max(c - 1, 0):c + 2] = 255
    for _ in range(int(rng.integers(0, 4))):
        r, c = int(rng.integers(0, h)), int(rng.integers(0, w))
        th2[r:r + 2, c:c + 2] = 255
    return th2


def gen_laser(rng):
    h, w = int(rng.integers(6, 40)), int(rng.integers(6, 48))
    m1 = np.zeros((h, w), np.uint8)
    m2 = np.zeros((h, w), np.uint8)
    cut = int(rng.integers(1, w))
    m1[:, :cut] = 255
    m2[:, cut:] = 255
    return {"mask1": m1, "mask2": m2, "th2": stripe(rng, h, w),
            "direction": int(rng.choice([1, 0, 2]))}


def image_and_map(rng):
    h, w = int(rng.integers(1, 24)), int(rng.integers(1, 24))
    img = rng.integers(0, 256, (h, w), dtype=np.uint8)
    n = h * w
    imap = rng.integers(-3, n + 3, (h, w))
    return img, imap


def gen_undistortion(rng):
    img, imap = image_and_map(rng)
    return {"maparray": imap, "img": img}


def gen_bilinear(rng):
    img, imap = image_and_map(rng)
    args = {"img": img, "maparray": imap + (0.5 if rng.integers(2) else 0)}
    for k in range(1, 5):
        args[f"weight{k}"] = rng.integers(0, 16384, img.shape, dtype=np.uint16)
    return args


def gen_sight(rng):
    shape = [(), (1,), (9,), (3, 4), (0,)][rng.integers(5)]
    return {"rows": rng.uniform(0, 48, shape), "cols": rng.uniform(0, 64, shape), **cam(rng)}


def gen_cnt2cnt(rng):
    n = int(rng.integers(1, 40))
    t = np.linspace(0, 2 * np.pi, n, endpoint=False)
    xs = np.round(30 + 20 * np.cos(t))
    ys = np.round(25 + 10 * np.sin(t))
    if rng.integers(2):
        xs, ys = xs.astype(np.int32), ys.astype(np.int32)
    normal = rng.normal(0, 0.2, 3) + [0, 0, 1]
    normal = normal / np.linalg.norm(normal)
    return {"xs": xs, "ys": ys, **cam(rng), "p_cos_one_point": np.array([0, 0, 600.0]),
            "RRa": rotation(rng), "normal_vec": normal}


CALIB_FILES = []


def calibration_files(folder, rng):
    """Valid, damaged and hostile calibration files; returns their paths."""
    paths = []

    def write(name, data):
        p = os.path.join(folder, name)
        with open(p, "wb") as f:
            f.write(data)
        paths.append(p)

    h, w = 6, 8
    good = {"param": {"focus": 8.0}, "map": rng.integers(-5, h * w + 5, (h, w)) + 21.0,
            "shift": 2, **{f"w{k}": rng.integers(0, 16000, (h, w), dtype=np.uint16)
                           for k in range(1, 5)}}
    for proto in range(pickle.HIGHEST_PROTOCOL + 1):
        write(f"good{proto}.pkl", pickle.dumps(good, protocol=proto))
    data = pickle.dumps(good, protocol=4)
    write("empty.pkl", b"")
    write("truncated.pkl", data[: len(data) // 2])
    write("garbage.pkl", bytes(rng.integers(0, 256, 300, dtype=np.uint8)))
    for k in range(6):
        flipped = bytearray(data)
        for pos in rng.integers(0, len(flipped), 1 + k):
            flipped[pos] = int(rng.integers(0, 256))
        write(f"flipped{k}.pkl", bytes(flipped))
    write("list.pkl", pickle.dumps([1, 2, 3]))
    write("nokeys.pkl", pickle.dumps({"param": 1}))
    write("shiftstr.pkl", pickle.dumps({"param": 1, "map": np.zeros((2, 2)), "shift": "a"}))
    write("mapnone.pkl", pickle.dumps({"param": 1, "map": None, "shift": 1.0}))
    write("global.pkl", b"cos\nsystem\n(S'true'\ntR.")
    write("deep.pkl", pickle.dumps(nested_list(200)))
    write("bigbytes.pkl", b"\x80\x04\x8e" + (2 ** 62).to_bytes(8, "little") + b"ab")
    return paths


def gen_calib(rng):
    files = CALIB_FILES
    pick = rng.integers(len(files) + 6)
    if pick < len(files):
        path = files[pick]
    else:
        folder = os.path.dirname(files[0])
        path = [folder, os.path.join(folder, "missing.pkl"), folder + "/x\0y",
                "/" + "a" * 5000, os.fsencode(files[0]), files[0] + "/sub"][pick - len(files)]
    return {"pkl_path": path}


SPECS = {
    "get_calib_res0": ({"pkl_path": "path"}, gen_calib),
    "get_calib_res": ({"pkl_path": "path"}, gen_calib),
    "distance_2pts": ({"p1": "point", "p2": "point"}, gen_distance),
    "fit_plane": ({"all_laser_3d_pts": "array", "shift_ratio": "number"}, gen_fit_plane),
    "intersect_line_plane": ({"vecpt0s": "array", "vecpt1s": "array", "p_cos": "array",
                              "p_nos": "array", "epsion": "number"}, gen_intersect),
    "get_img_coord_from_3d_pts": ({"x": "array", "y": "array", "z": "array", "focus": "number",
                                   "center_col": "number", "center_row": "number",
                                   "pixel_sizec": "number", "pixel_sizer": "number"},
                                  gen_img_coord),
    "get_short_long_intersection": ({"img": "image", "margin_length": "number"}, gen_short_long),
    "plot_ellipse": ({"semimaj": "number", "semimin": "number", "phi": "number",
                      "x_cent": "number", "y_cent": "number", "theta_num": "number",
                      "ax": "ignored", "plot_kwargs": "ignored", "fill": "ignored",
                      "fill_kwargs": "ignored", "data_out": "ignored", "cov": "array",
                      "mass_level": "number"}, gen_ellipse),
    "get_laser_line": ({"mask1": "image", "mask2": "image", "th2": "image",
                        "direction": "number"}, gen_laser),
    "undistortion": ({"maparray": "image", "img": "image"}, gen_undistortion),
    "undistort_bilinear": ({"img": "image", "maparray": "image", "weight1": "image",
                            "weight2": "image", "weight3": "image", "weight4": "image"},
                           gen_bilinear),
    "get_line_of_sight_pts": ({"rows": "array", "cols": "array", "focus": "number",
                               "pixel_sizer": "number", "pixel_sizec": "number",
                               "center_row": "number", "center_col": "number"}, gen_sight),
    "from_cnt2cnt": ({"xs": "array", "ys": "array", "focus": "number", "pixel_sizer": "number",
                      "pixel_sizec": "number", "center_row": "number", "center_col": "number",
                      "p_cos_one_point": "array", "RRa": "array", "normal_vec": "array"},
                     gen_cnt2cnt),
}
# The methods, their parameters and their number of defaults, as the class has them; every
# method needs a generator, for exactly its parameters.
METHODS = [k for k in vars(torvel.torvel_class) if not k.startswith("_")]
PARAMS = {m: list(inspect.signature(getattr(torvel.torvel_class, m)).parameters)[1:]
          for m in METHODS}
DEFAULTS = {m: len(getattr(torvel.torvel_class, m).__defaults__ or ()) for m in METHODS}
for _m in METHODS:
    if _m not in SPECS or list(SPECS[_m][0]) != PARAMS[_m]:
        raise SystemExit(f"fuzz_driver: no generator for {_m}{tuple(PARAMS[_m])}")

FAMILIES = ["valid", "layout", "dtype", "values", "shape", "huge", "type", "scalar", "binding",
            "self", "several", "layout", "dtype", "shape", "huge", "together"]
# Families not run under AddressSanitizer: its runtime aborts the process on an allocation
# it cannot make instead of failing it, so allocation failures cannot be told from crashes.
SANITIZER_SKIPS = {"huge"} if SANITIZED else set()


class Case:
    """One generated call: positional and keyword arguments, the family label, and the
    arguments of the layout-equivalent reference call (or None)."""

    def __init__(self, method, args, label, reference=None, positional=None, kwargs=None,
                 self_obj=None):
        self.method = method
        self.args = args                # ordered dict: parameter -> value
        self.label = label
        self.reference = reference      # dict like args, or None
        self.positional = positional    # binding family: explicit call form
        self.kwargs = kwargs
        self.self_obj = self_obj


def params_of(method):
    return PARAMS[method]


def mutate_one(rng, method, args, name, family):
    """args with the argument `name` changed as the family says; returns (args, variant,
    reference or None)."""
    kind = SPECS[method][0][name]
    value = args.get(name)
    out = dict(args)
    if value is None and kind not in ("number", "ignored"):
        value = np.zeros(3)
    arr = None
    if isinstance(value, (np.ndarray, list, tuple)):
        try:
            arr = np.asarray(value)
        except (ValueError, TypeError):
            arr = None
    if family == "layout" and arr is not None and arr.dtype != object:
        for _ in range(4):
            layout = LAYOUTS[rng.integers(len(LAYOUTS))]
            v = in_layout(arr, layout)
            if v is not None:
                out[name] = v
                ref = dict(args)
                ref[name] = canonical_of(layout, arr)
                if method == "fit_plane" and layout in ("list", "tuple", "readonly",
                                                        "zero-stride-row"):
                    ref = None  # the points cannot be centred in place: no reference
                return out, layout, ref
        return out, "none", None
    if family == "dtype" and arr is not None:
        dt = DTYPES[rng.integers(len(DTYPES))]
        out[name] = with_dtype(arr, dt)
        return out, str(np.dtype(dt)), None
    if family == "values" and arr is not None:
        out[name] = with_special_values(arr, rng)
        return out, "special", None
    if family == "shape" and arr is not None:
        variant, out[name] = reshaped(arr, rng)
        return out, variant, None
    if family == "huge":
        if kind == "number":
            out[name] = huge_view(np.zeros(1), HUGE_1D[rng.integers(len(HUGE_1D))])
            return out, str(out[name].shape), None
        base = arr if arr is not None else np.zeros(3)
        pool = HUGE_2D + HUGE_1D + HUGE_ND if kind != "image" else HUGE_2D + HUGE_ND
        if kind == "array" and base.ndim == 2 and base.shape[-1] == 3 and rng.integers(2):
            pool = [(2 ** 31 + 1, 3), (2 ** 33, 3), (70000 * 70000, 3)]
        shape = pool[rng.integers(len(pool))]
        out[name] = huge_view(base, shape, writeable=bool(rng.integers(4) == 0))
        return out, str(shape), None
    if family == "type" or (arr is None and family in ("layout", "dtype", "values", "shape")):
        objs = hostile_objects()
        k = int(rng.integers(len(objs)))
        out[name] = objs[k]
        return out, f"object{k}:{type(objs[k]).__name__}", None
    if family == "scalar":
        vals = scalar_values()
        k = int(rng.integers(len(vals)))
        out[name] = vals[k]
        return out, f"scalar{k}:{type(vals[k]).__name__}", None
    return out, "unchanged", None


def generate(method, seed):
    """The case of (method, seed). A family whose generator cannot build its variant from
    these arguments (NumPy refusing a conversion, say) falls back to the plain case."""
    try:
        return generate_family(method, seed)
    except Exception as e:  # noqa: BLE001 - the generator's own limits
        case = generate_family(method, seed, family="valid")
        case.label = f"valid (the {FAMILIES[seed % len(FAMILIES)]} variant failed: " \
                     f"{type(e).__name__})"
        return case


def generate_family(method, seed, family=None):
    rng = np.random.default_rng([zlib.crc32(method.encode()), seed])
    family = family or FAMILIES[seed % len(FAMILIES)]
    kinds, gen = SPECS[method]
    args = gen(rng)
    names = list(kinds)
    if method.startswith("get_calib"):
        # Paths: the files themselves, other path types, and hostile objects.
        if family in ("valid", "layout", "dtype", "values", "shape", "several"):
            return Case(method, args, family + ":pkl_path/file")
        if family in ("type", "huge", "scalar"):
            out, variant, _ = mutate_one(rng, method, args, "pkl_path",
                                         "type" if family != "scalar" else "scalar")
            v = out["pkl_path"]
            if isinstance(v, (bool, np.bool_)) or (
                    isinstance(v, (int, np.integer)) and 0 <= v < 1 << 20):
                # A small integer is a file descriptor to open(): it would read and close
                # the driver's own files.
                out["pkl_path"] = -1 - int(v)
            return Case(method, out, f"{family}:pkl_path/{variant}")
    if family == "valid":
        return Case(method, args, "valid")
    if family == "binding":
        return binding_case(rng, method, args)
    if family == "self":
        objs = hostile_objects()
        k = int(rng.integers(len(objs)))
        return Case(method, args, f"self:object{k}", self_obj=objs[k])
    if family == "several":
        fams = ["layout", "dtype", "values", "shape", "type", "scalar"]
        labels = []
        for _ in range(int(rng.integers(2, 4))):
            name = names[rng.integers(len(names))]
            fam = fams[rng.integers(len(fams))]
            args, variant, _ = mutate_one(rng, method, args, name, fam)
            labels.append(f"{fam}:{name}/{variant}")
        return Case(method, args, "several:" + "+".join(labels))
    if family == "together":
        # Every array argument reshaped alike (all empty, all 1 x 1, all 3-D ...), or all
        # with special values, so that shapes still agree with each other.
        arrays = [n for n in names if kinds[n] in ("array", "image") and n in args]
        if rng.integers(4) == 0:
            for n in arrays:
                args[n] = with_special_values(args[n], rng)
            return Case(method, args, "together:special")
        kind = RESHAPES[rng.integers(len(RESHAPES))]
        for n in arrays:
            args[n] = reshaped(args[n], rng, kind)[1]
        return Case(method, args, f"together:{kind}")
    candidates = names
    if family in ("layout", "dtype", "values", "shape", "huge"):
        candidates = [n for n in names if kinds[n] in ("array", "image", "point")] or names
        if family == "huge" and method == "plot_ellipse":
            candidates = ["cov", "theta_num", "semimaj"]
    if family == "scalar":
        candidates = [n for n in names if kinds[n] == "number"] or names
    name = candidates[rng.integers(len(candidates))]
    if family == "huge" and name == "maparray" and rng.integers(8):
        # A huge map is scanned entry by entry (every valid entry outside the image is an
        # error), which is slow but sound: only one such case in eight.
        name = "img"
    if family in ("layout", "dtype", "values", "shape", "huge") and name not in args:
        args[name] = np.array([[4.0, 1.0], [1.0, 2.0]]) if name == "cov" else np.zeros(3)
    args, variant, ref = mutate_one(rng, method, args, name, family)
    return Case(method, args, f"{family}:{name}/{variant}", reference=ref)


def binding_case(rng, method, args):
    names = params_of(method)
    values = [args.get(n, None) for n in names]
    k = rng.integers(6)
    if k == 0:
        return Case(method, args, "binding:extra-positional",
                    positional=values + [1] * int(rng.integers(1, 3)), kwargs={})
    if k == 1:
        return Case(method, args, "binding:missing",
                    positional=values[: int(rng.integers(0, max(len(values), 1)))], kwargs={})
    if k == 2:
        return Case(method, args, "binding:unknown-keyword", positional=values,
                    kwargs={"epsilon": 1})
    if k == 3:
        i = int(rng.integers(len(names)))
        return Case(method, args, f"binding:duplicate-{names[i]}", positional=values,
                    kwargs={names[i]: values[i]})
    if k == 4:
        return Case(method, args, "binding:all-keywords", positional=[],
                    kwargs={n: v for n, v in zip(names, values)})
    i = int(rng.integers(len(names) + 1))
    return Case(method, args, f"binding:split-{i}", positional=values[:i],
                kwargs={n: v for n, v in zip(names[i:], values[i:])})


# ---- snapshots and comparison ------------------------------------------------------------

BIG = 1 << 20


def root_of(a):
    while isinstance(a.base, np.ndarray):
        a = a.base
    return a


def snapshot(obj):
    """A value that `unchanged` compares with the object later."""
    if isinstance(obj, np.ndarray):
        root = root_of(obj)
        root_bytes = root.tobytes() if root.nbytes <= BIG else None
        values = obj.copy() if obj.size <= BIG else None
        return ("array", obj.dtype, obj.shape, obj.strides, obj.flags.writeable, values,
                root_bytes)
    if isinstance(obj, (list, tuple)):
        return (type(obj), [snapshot(x) for x in obj])
    if isinstance(obj, dict):
        return (dict, {k: snapshot(v) for k, v in obj.items()})
    if isinstance(obj, (bytearray, memoryview)):
        return ("bytes", bytes(obj))
    return ("object", obj)


def unchanged(obj, snap):
    if isinstance(obj, np.ndarray):
        _, dtype, shape, strides, writeable, values, root_bytes = snap
        if obj.dtype != dtype or obj.shape != shape or obj.strides != strides:
            return False
        if obj.flags.writeable != writeable:
            return False
        if values is not None and not same(obj, values):
            return False
        root = root_of(obj)
        return root_bytes is None or root.tobytes() == root_bytes
    if isinstance(obj, (list, tuple)):
        return (snap[0] is type(obj) and len(obj) == len(snap[1])
                and all(unchanged(x, s) for x, s in zip(obj, snap[1])))
    if isinstance(obj, dict):
        return (snap[0] is dict and obj.keys() == snap[1].keys()
                and all(unchanged(obj[k], snap[1][k]) for k in obj))
    if isinstance(obj, (bytearray, memoryview)):
        return bytes(obj) == snap[1]
    return snap[1] is obj



# ---- documented results ------------------------------------------------------------------

def is_f64(a, ndim=None):
    return isinstance(a, np.ndarray) and a.dtype == np.float64 and (ndim is None or a.ndim == ndim)


def check_result(method, r):
    """None when r has the documented form, else what is wrong."""
    def tup(n):
        return isinstance(r, tuple) and len(r) == n
    if method == "get_calib_res0":
        return None if tup(2) else "not a pair"
    if method == "get_calib_res":
        return None if tup(6) else "not six values"
    if method == "distance_2pts":
        return None if type(r) is float else f"{type(r).__name__}, not float"
    if method == "fit_plane":
        if not tup(10):
            return "not ten values"
        if type(r[0]) is not float:
            return "Phi is not a float"
        shapes = [(3,), (3, 3), (3, 3)]
        if any(not is_f64(x) or x.shape != s for x, s in zip(r[1:4], shapes)) \
                or not is_f64(r[7]) or r[7].shape != (3,):
            return "normal_vec, RRa, RRa_inv or p_cos_one_point of the wrong form"
        if any(type(x) is not np.float64 for x in (r[4], r[5], r[6], r[8], r[9])):
            return "Ox_lpts .. shift are not float64 scalars"
        return None
    if method == "intersect_line_plane":
        return None if is_f64(r, 2) and r.shape[1] == 3 else "not an N x 3 float64 array"
    if method == "get_img_coord_from_3d_pts":
        if not tup(2):
            return "not a pair"
        ok = all((isinstance(x, np.ndarray) and x.dtype == np.int64) or type(x) is np.int64
                 for x in r)
        if ok and np.shape(r[0]) == np.shape(r[1]):
            return None
        return "row, col not int64 of one shape"
    if method == "get_short_long_intersection":
        if r is None:
            return None
        if not tup(6):
            return "not six values"
        for pair in r[:3]:
            if not (isinstance(pair, list) and len(pair) == 2 and all(
                    isinstance(p, list) and len(p) == 2 and all(type(v) is np.int32 for v in p)
                    for p in pair)):
                return "a point pair is not [[x, y], [x, y]] of int32"
        if any(type(x) is not float or not x >= 0 for x in r[3:]):
            return "lengths are not floats >= 0"
        return None
    if method == "plot_ellipse":
        if not tup(2) or not all(is_f64(x, 1) for x in r) or r[0].shape != r[1].shape:
            return "not two float64 rows"
        return None
    if method == "get_laser_line":
        if not tup(2) or not all(is_f64(x) and x.ndim <= 1 for x in r) or r[0].shape != r[1].shape:
            return "not two float64 coordinate arrays"
        return None
    if method == "undistortion":
        return None if isinstance(r, np.ndarray) and r.dtype == np.uint8 and r.ndim == 2 \
            else "not a 2-D uint8 image"
    if method == "undistort_bilinear":
        return None if isinstance(r, np.ndarray) and r.dtype == np.uint8 and r.ndim >= 2 \
            else "not a uint8 image"
    if method == "get_line_of_sight_pts":
        if not is_f64(r) or r.ndim < 1 or r.shape[0] != 3:
            return "not a 3 x S float64 array"
        return None
    if method == "from_cnt2cnt":
        if not tup(5):
            return "not five values"
        crt, hor, fx, fy, pts = r
        n = fx.shape[0] if isinstance(fx, np.ndarray) else -1
        ok = (isinstance(crt, np.ndarray) and crt.dtype == np.int32 and crt.shape == (n, 1, 2)
              and is_f64(hor) and hor.shape == (3, n) and fy.dtype == np.int64
              and fx.dtype == np.int64 and fy.shape == (n,) and is_f64(pts) and pts.shape == (n, 3))
        return None if ok else "crt, hor_points2, fx, fy, pts3d_contour of the wrong form"
    return "unknown method"


# ---- running a case ----------------------------------------------------------------------

def call(case, args=None):
    """The outcome of one call: ("result", value) or ("error", exception)."""
    tv = torvel.torvel_class()
    if case.positional is not None:
        fn = getattr(tv, case.method)
        pos, kw = case.positional, case.kwargs
    else:
        args = case.args if args is None else args
        pos, kw = [], {}
        names = params_of(case.method)
        # Arguments a case leaves out take their defaults: the rest goes by keyword after
        # the first gap.
        gap = False
        for n in names:
            if n not in args:
                gap = True
            elif gap:
                kw[n] = args[n]
            else:
                pos.append(args[n])
        fn = getattr(tv, case.method)
        if case.self_obj is not None:
            fn = getattr(torvel.torvel_class, case.method).__get__(case.self_obj)
    try:
        return ("result", fn(*pos, **kw))
    except BaseException as e:  # noqa: B902 - classified by the caller
        return ("error", e)


def all_arguments(case):
    if case.positional is not None:
        return list(case.positional) + list(case.kwargs.values())
    return list(case.args.values())


def run_case(case):
    """Problems of one case: a list of (kind, detail)."""
    problems = []
    objs = all_arguments(case)
    if case.method == "fit_plane" and case.positional is None:
        checked = [v for k, v in case.args.items() if k != "all_laser_3d_pts"]
    elif case.method == "fit_plane":
        checked = objs[1:]
    else:
        checked = objs
    snaps = [snapshot(o) for o in checked]
    rss0 = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    outcome, value = call(case)
    rss1 = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    if outcome == "error":
        if isinstance(value, SystemError) or not isinstance(value, CLEAN):
            problems.append(("exception", f"{type(value).__name__}: {value}"))
        elif isinstance(value, MemoryError) and not str(value) and not case.method.startswith(
                "get_calib"):
            # (The pickle reader's own MemoryError for a length it cannot allocate has no
            # message.)
            problems.append(("exception", "MemoryError without a message"))
    elif case.positional is None:
        bad = check_result(case.method, value)
        if bad:
            problems.append(("result", bad))
    elif case.label.startswith(("binding:extra", "binding:unknown", "binding:duplicate")) or (
            case.label == "binding:missing"
            and len(case.positional) < len(params_of(case.method)) - DEFAULTS.get(case.method, 0)):
        problems.append(("binding", "a call that cannot bind returned a result"))
    for o, s in zip(checked, snaps):
        if not unchanged(o, s):
            problems.append(("modified", f"an argument of type {type(o).__name__} changed"))
    if rss1 - rss0 > 400 * 1024 and not SANITIZED:
        problems.append(("memory", f"peak memory grew by {(rss1 - rss0) // 1024} MiB"))
    if case.reference is not None:
        ref_case = Case(case.method, case.reference, case.label)
        r_out, r_val = call(ref_case)
        mine = (outcome, type(value) if outcome == "error" else None)
        theirs = (r_out, type(r_val) if r_out == "error" else None)
        loose = case.label.split("/")[-1] in ("list", "tuple")
        if mine != theirs and not (loose and outcome == "error" and isinstance(value, CLEAN)):
            problems.append(("layout", f"{describe(outcome, value)} but the plain array gives "
                                       f"{describe(r_out, r_val)}"))
        elif outcome == "result" and not equivalent(case, value, r_val):
            problems.append(("layout", "the result differs from the plain array's"))
        if (outcome == "result" and case.method == "fit_plane"
                and isinstance(case.args["all_laser_3d_pts"], np.ndarray)
                and not same(native(case.args["all_laser_3d_pts"]),
                             native(ref_case.args["all_laser_3d_pts"]))):
            # (The centring itself is element by element: exact in every layout.)
            problems.append(("layout", "the centred points differ from the plain array's"))
    return problems


def equivalent(case, a, b):
    """Results of one call on two layouts of the same values. The plane fit's products
    go through BLAS for the layouts NumPy hands to BLAS and through a plain loop for the
    others, as NumPy's matmul does, so they may differ in the last bits there. A distance
    of Python floats squares with the C library's pow, one of NumPy floats with a product,
    as the interpreter and NumPy do: the two may differ in the last bit."""
    if case.method == "distance_2pts" and isinstance(a, float) and isinstance(b, float):
        return a == b or abs(a - b) <= 4e-16 * abs(b)
    if case.method != "fit_plane":
        return same(a, b)
    pts = np.asarray(case.reference["all_laser_3d_pts"], dtype=float)
    scale = float(np.nanmax(np.abs(pts[np.isfinite(pts)]), initial=1.0))
    if np.isnan(a[9]) != np.isnan(b[9]):
        # Points on the plane: whether any lies "below" it is decided by rounding noise.
        other = b[9] if np.isnan(a[9]) else a[9]
        return abs(other) < 1e-12 * scale
    for x, y in zip(a, b):
        x, y = np.asarray(x, float), np.asarray(y, float)
        if not np.allclose(x, y, rtol=1e-12, atol=1e-12 * scale, equal_nan=True):
            return False
    return type(a) is type(b) and len(a) == len(b)


def native(a):
    a = np.asarray(a)
    return np.array(a, dtype=a.dtype.newbyteorder("="))


def describe(outcome, value):
    if outcome == "error":
        return f"{type(value).__name__}: {str(value)[:200]}"
    return f"a {type(value).__name__}"


def show_value(v, depth=0):
    if isinstance(v, np.ndarray):
        s = f"ndarray(shape={v.shape}, dtype={v.dtype}, strides={v.strides}, " \
            f"writeable={v.flags.writeable}, aligned={v.flags.aligned}"
        if v.size <= 40:
            s += f", values={v.tolist()!r}"
        return s + ")"
    if isinstance(v, (list, tuple)) and depth < 2 and len(v) <= 8:
        return type(v).__name__ + "(" + ", ".join(show_value(x, depth + 1) for x in v) + ")"
    r = repr(v)
    return r if len(r) < 200 else r[:200] + "..."


def setup_files():
    if not CALIB_FILES:
        folder = tempfile.mkdtemp(prefix="torvel-fuzz-")
        CALIB_FILES.extend(calibration_files(folder, np.random.default_rng(5)))


# ---- entry points ------------------------------------------------------------------------

RECORD = 1024  # bytes of the "current" record


def run_state(state, runs):
    current = os.open(os.path.join(state, "current"), os.O_WRONLY | os.O_CREAT, 0o644)
    report = open(os.path.join(state, "report"), "a")
    max_reported = 20
    for method, start, stop, skip in runs:
        t0 = time.perf_counter()
        reported = 0
        total_problems = 0
        for seed in range(start, stop):
            if FAMILIES[seed % len(FAMILIES)] in skip | SANITIZER_SKIPS:
                continue
            os.pwrite(current, f"{method} {seed} generating".ljust(RECORD).encode(), 0)
            case = generate(method, seed)
            record = f"{method} {seed} {case.label}"[:RECORD].ljust(RECORD).encode()
            os.pwrite(current, record, 0)
            faulthandler.dump_traceback_later(CASE_TIMEOUT, exit=True)
            problems = run_case(case)
            faulthandler.cancel_dump_traceback_later()
            if problems:
                total_problems += 1
                if reported < max_reported:
                    reported += 1
                    report.write(json.dumps({"method": method, "seed": seed, "family": case.label,
                                             "problems": problems}) + "\n")
                    report.flush()
        report.write(json.dumps({"method": method, "done": [start, stop],
                                 "seconds": time.perf_counter() - t0,
                                 "failing": total_problems}) + "\n")
        report.flush()
    os.pwrite(current, b"".ljust(RECORD), 0)


def main(argv):
    warnings.simplefilter("ignore")
    faulthandler.enable()
    setup_files()
    if argv[:1] == ["--show"]:
        method, seed = argv[1], int(argv[2])
        case = generate(method, seed)
        print(f"{method} seed {seed}: {case.label}")
        if case.positional is not None:
            print("  positional:", [show_value(v) for v in case.positional])
            print("  keywords:", {k: show_value(v) for k, v in case.kwargs.items()})
        else:
            for k, v in case.args.items():
                print(f"  {k} = {show_value(v)}")
        if case.self_obj is not None:
            print("  self =", show_value(case.self_obj))
        outcome, value = call(generate(method, seed))
        print("  outcome:", describe(outcome, value))
        print("  problems:", run_case(generate(method, seed)))
        return 0
    if argv[:1] == ["--stats"]:
        method, a, b = argv[1], int(argv[2]), int(argv[3])
        seen = {}
        for seed in range(a, b):
            case = generate(method, seed)
            outcome, value = call(case)
            key = (describe(outcome, value) if outcome == "error"
                   else "result " + type(value).__name__)
            key = key[:150]
            seen.setdefault(key, []).append(seed)
        for k, seeds in sorted(seen.items(), key=lambda kv: -len(kv[1])):
            print(f"{len(seeds):6d}  {k}   e.g. seed {seeds[0]}")
        return 0
    state, runs = None, []
    it = iter(argv)
    for a in it:
        if a == "--state":
            state = next(it)
        elif a == "--run":
            m, s, e, skip = (next(it) + ":").split(":")[:4]
            runs.append((m, int(s), int(e), set(filter(None, skip.split(",")))))
    run_state(state, runs)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
