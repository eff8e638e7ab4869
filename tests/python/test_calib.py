"""Calibration file reader and undistortion: torvel against the same steps written with NumPy."""
import collections
import os
import pickle
import pickletools
import re
import threading

import cv2
import numpy as np
import pytest

import torvel
from conftest import assert_same

t = torvel.torvel_class()


# --- the documented steps, composed with NumPy ----------------------------------------

def ref_get_calib_res0(pkl_path):
    with open(pkl_path, "rb") as pkl_file:
        pkl_dict = pickle.load(pkl_file)
    params = pkl_dict["param"]
    if "shift" in pkl_dict:
        shift = pkl_dict["shift"]
        maparray = pkl_dict["map"] - (shift * shift / 2.0 + 7.0 * shift + 5)
    else:
        maparray = pkl_dict["map"]
    return params, maparray


def ref_get_calib_res(pkl_path):
    with open(pkl_path, "rb") as pkl_file:
        pkl_dict = pickle.load(pkl_file)
    params = pkl_dict["param"]
    weights = [pkl_dict[k] for k in ("w1", "w2", "w3", "w4")]
    if "shift" in pkl_dict:
        shift = pkl_dict["shift"]
        maparray = pkl_dict["map"] - (shift * shift / 2.0 + 7.0 * shift + 5)
    else:
        maparray = pkl_dict["map"]
    return (params, maparray, *weights)


def ref_undistortion(maparray, img):
    H, W = img.shape[0], img.shape[1]
    N = H * W
    mapped_img = np.zeros(N, dtype=np.float64)
    img_tmp1 = img.reshape(N)
    map_2 = np.arange(N).reshape(H, W)
    rows, cols = np.where((maparray < N) & (maparray >= 0))
    mapped_img[map_2[rows, cols]] = img_tmp1[maparray[rows, cols]]
    return mapped_img.astype(np.uint8).reshape(H, W)


def ref_bilinear_sum(img, maparray, weight1, weight2, weight3, weight4):
    map1 = maparray.astype(np.int32)
    map2 = map1 + 1
    map3 = map1 + map1.shape[1]
    map4 = map2 + map1.shape[1]
    temps = [ref_undistortion(m, img) for m in (map1, map2, map3, map4)]
    weights = (weight1, weight2, weight3, weight4)
    s = weights[0].astype(np.uint64) * temps[0].astype(np.uint64)
    for w, tmp in zip(weights[1:], temps[1:]):
        s = s + w.astype(np.uint64) * tmp.astype(np.uint64)
    return s


def ref_undistort_bilinear(img, maparray, *weights):
    return (ref_bilinear_sum(img, maparray, *weights) / 65535).astype(np.uint8)


def same_error(call, reference):
    with pytest.raises(Exception) as expected:
        reference()
    with pytest.raises(type(expected.value), match="^" + re.escape(str(expected.value)) + "$"):
        call()


def open_fds():
    return len(os.listdir("/proc/self/fd"))


# --- calibration file -----------------------------------------------------------------

def calibration(rng, shape=(6, 8), shift=None, extra=True):
    H, W = shape
    d = {"param": collections.OrderedDict(focus=8.0, size=(H, W), tags={"a", "b"}, raw=b"\x00\xff",
                                          z=1 + 2j, k=np.float64(0.5), dt=np.dtype("<u2")),
         "map": rng.integers(-5, H * W + 5, size=shape).astype(np.int64)}
    for k in ("w1", "w2", "w3", "w4"):
        d[k] = rng.integers(0, 16384, size=shape).astype(np.uint16)
    if shift is not None:
        d["shift"] = shift
    if extra:
        d["note"] = ["extra", 1, None, frozenset([2]), bytearray(b"xy")]
    return d


def write(path, obj, protocol=pickle.HIGHEST_PROTOCOL):
    with open(path, "wb") as f:
        pickle.dump(obj, f, protocol=protocol)
    return str(path)


def check_same_results(path):
    got0, ref0 = t.get_calib_res0(path), ref_get_calib_res0(path)
    got, ref = t.get_calib_res(path), ref_get_calib_res(path)
    assert type(got0) is tuple and len(got0) == 2 and type(got) is tuple and len(got) == 6
    assert got0[0] == ref0[0] and got[0] == ref[0]
    assert_same(got0[1], ref0[1])
    for a, b in zip(got[1:], ref[1:]):
        assert_same(a, b)
    return got


@pytest.mark.parametrize("protocol", range(6))
@pytest.mark.parametrize("shift", [None, 2, 0, -7, np.float64(1.25)])
def test_reads_every_protocol_and_removes_the_offset(tmp_path, protocol, shift):
    rng = np.random.default_rng(protocol)
    stored = calibration(rng, shift=shift)
    got = check_same_results(write(tmp_path / "c.pkl", stored, protocol))
    if shift is None:
        assert got[1].dtype == np.int64
    else:
        assert got[1].dtype == np.float64
        offset = {2: 21.0, 0: 5.0, -7: -19.5}.get(shift, 1.25 * 1.25 / 2.0 + 7.0 * 1.25 + 5)
        np.testing.assert_array_equal(got[1], stored["map"] - offset)
    for k in range(4):
        assert_same(got[2 + k], stored[f"w{k + 1}"])


def test_map_without_shift_keeps_its_element_type(tmp_path):
    for dtype in (np.int32, np.uint16, np.float32):
        stored = {"param": None, "map": np.arange(12, dtype=dtype).reshape(3, 4)}
        params, maparray = t.get_calib_res0(write(tmp_path / "c.pkl", stored))
        assert params is None
        assert_same(maparray, stored["map"])
    stored = {"param": 1, "map": np.array([[121]], dtype=np.int32), "shift": 2}
    assert t.get_calib_res0(write(tmp_path / "d.pkl", stored))[1].tolist() == [[100.0]]


def test_missing_keys_are_reported_in_lookup_order(tmp_path):
    rng = np.random.default_rng(1)
    full = calibration(rng, shift=2)

    def without(*keys):
        return write(tmp_path / "m.pkl", {k: v for k, v in full.items() if k not in keys})

    before = open_fds()
    for keys, missing0, missing in [(("param", "map", "w1"), "param", "param"),
                                    (("w1",), None, "w1"),
                                    (("w3", "map"), "map", "w3"),
                                    (("map",), "map", "map")]:
        path = without(*keys)
        for method, key in ((t.get_calib_res0, missing0), (t.get_calib_res, missing)):
            if key is None:
                method(path)  # get_calib_res0 ignores the weights
                continue
            with pytest.raises(KeyError) as err:
                method(path)
            assert err.value.args == (key,)
    assert open_fds() == before


def test_unreadable_content_fails_as_the_pickle_reader_does(tmp_path):
    rng = np.random.default_rng(2)
    data = pickle.dumps(calibration(rng), protocol=4)
    truncated = tmp_path / "truncated.pkl"
    truncated.write_bytes(data[: len(data) // 2])
    text = tmp_path / "text.pkl"
    text.write_bytes(b"calibration: none\n")
    empty = tmp_path / "empty.pkl"
    empty.write_bytes(b"")
    before = open_fds()
    for path in (truncated, text, empty):
        same_error(lambda: t.get_calib_res(str(path)), lambda: ref_get_calib_res(str(path)))
    with pytest.raises(FileNotFoundError):
        t.get_calib_res0(str(tmp_path / "absent.pkl"))
    not_a_dict = write(tmp_path / "list.pkl", [1, 2])
    same_error(lambda: t.get_calib_res0(not_a_dict), lambda: ref_get_calib_res0(not_a_dict))
    bad_shift = write(tmp_path / "shift.pkl", {"param": 0, "map": np.zeros((2, 2)), "shift": "2"})
    same_error(lambda: t.get_calib_res0(bad_shift), lambda: ref_get_calib_res0(bad_shift))
    assert open_fds() == before


def without_frames(data):
    """The same pickle without FRAME opcodes (optional to the reader), so that names can change length."""
    cut = [pos for op, _, pos in pickletools.genops(data) if op.name == "FRAME"]
    out, last = bytearray(), 0
    for pos in cut:
        out += data[last:pos]
        last = pos + 9
    return bytes(out + data[last:])


def numpy2_paths(data):
    """The pickle as NumPy 2 writes it: its array internals under numpy._core."""
    data = without_frames(data)
    for old in (b"numpy.core.multiarray", b"numpy.core.numeric"):
        new = old.replace(b"numpy.core", b"numpy._core")
        data = data.replace(b"\x8c" + bytes([len(old)]) + old, b"\x8c" + bytes([len(new)]) + new)
        data = data.replace(b"c" + old + b"\n", b"c" + new + b"\n")
    assert b"numpy.core" not in data and b"numpy._core" in data
    return data


@pytest.mark.parametrize("protocol", [0, 2, 4, 5])
def test_reads_files_written_by_numpy_2(tmp_path, protocol):
    rng = np.random.default_rng(3)
    stored = calibration(rng, shift=np.float64(-7))
    path = tmp_path / "np2.pkl"
    path.write_bytes(numpy2_paths(pickle.dumps(stored, protocol=protocol)))
    got = t.get_calib_res(str(path))
    assert_same(got[1], stored["map"] + 19.5)
    for k in range(4):
        assert_same(got[2 + k], stored[f"w{k + 1}"])
    assert got[0] == stored["param"]


class Payload:
    """Creates a marker file when unpickled by a reader that calls what the file names."""

    def __init__(self, marker):
        self.marker = marker

    def __reduce__(self):
        return (open, (self.marker, "w"))


@pytest.mark.parametrize("protocol", [0, 2, 5])
def test_refuses_globals_that_are_not_plain_data(tmp_path, protocol):
    marker = tmp_path / "marker"
    stored = {"param": Payload(str(marker)), "map": np.zeros((2, 2), np.int64)}
    path = write(tmp_path / "evil.pkl", stored, protocol)
    before = open_fds()
    for method in (t.get_calib_res0, t.get_calib_res):
        with pytest.raises(pickle.UnpicklingError) as err:
            method(path)
        # The interpreter names open's module (io, or _io from 3.12 on) as it pickles it.
        assert str(err.value) == (f"refused to load the global {open.__module__}.open: a "
                                  "calibration file may hold only NumPy arrays and plain "
                                  "Python values")
        assert not marker.exists()
    assert open_fds() == before
    # The payload is real: the plain reader runs it.
    ref_get_calib_res0(path)
    assert marker.exists()


@pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")
def test_refuses_codecs_other_than_latin1_and_foreign_classes(tmp_path):
    data = pickle.dumps({"param": b"ab", "map": np.zeros((1, 1))}, protocol=2)
    assert b"latin1" in data
    path = tmp_path / "codec.pkl"
    path.write_bytes(data.replace(b"latin1", b"rot_13"))
    with pytest.raises(pickle.UnpicklingError, match="_codecs.encode"):
        t.get_calib_res0(str(path))
    matrix = write(tmp_path / "matrix.pkl", {"param": 0, "map": np.matrix([[1, 2]])})
    with pytest.raises(pickle.UnpicklingError, match="global numpy.matrix:"):
        t.get_calib_res0(matrix)


# --- nearest-pixel undistortion ---------------------------------------------------------

INT_TYPES = [np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64, np.uint64]


def image(rng, shape):
    return rng.integers(1, 256, size=shape).astype(np.uint8)


@pytest.mark.parametrize("dtype", INT_TYPES)
def test_undistortion_special_entries_in_every_integer_type(dtype):
    rng = np.random.default_rng(4)
    img = image(rng, (5, 7))
    N, W = 35, 7
    identity = np.arange(N).reshape(5, 7).astype(dtype)
    assert_same(t.undistortion(identity, img), img)
    m = identity.copy()
    m[0, :5] = np.array([-1, N, N - 1, W, W]).astype(dtype)  # -1 wraps for unsigned types
    m[1, 0] = np.iinfo(dtype).max
    m[1, 1] = np.iinfo(dtype).min
    kept = m.copy()
    out = t.undistortion(m, img)
    assert_same(out, ref_undistortion(m, img))
    assert out[0, :5].tolist() == [0, 0, img[4, 6], img[1, 0], img[1, 0]]
    assert_same(m, kept)


def test_undistortion_small_invalid_and_larger_maps():
    rng = np.random.default_rng(5)
    img = image(rng, (6, 9))
    small = rng.integers(-3, 60, size=(4, 5))
    out = t.undistortion(small, img)
    assert_same(out, ref_undistortion(small, img))
    assert not out[4:].any() and not out[:, 5:].any()
    assert_same(t.undistortion(np.full((6, 9), 54), img), np.zeros((6, 9), np.uint8))
    assert_same(t.undistortion(np.zeros((0, 0), np.int64), img), np.zeros((6, 9), np.uint8))
    larger = np.full((8, 11), -1)
    larger[2, 3] = 7
    assert_same(t.undistortion(larger, img), ref_undistortion(larger, img))


@pytest.mark.parametrize("seed", range(4))
def test_undistortion_matches_numpy_on_random_maps(seed):
    rng = np.random.default_rng(seed)
    H, W = rng.integers(1, 60, size=2)
    img = image(rng, (H, W))
    dtype = INT_TYPES[seed * 2 + 1] if seed < 3 else np.int64
    m = rng.integers(-H * W // 4, H * W * 5 // 4, size=(H, W))
    if np.dtype(dtype).kind == "u":
        m = np.abs(m)
    m = m.astype(dtype)
    assert_same(t.undistortion(m, img), ref_undistortion(m, img))
    assert_same(t.undistortion(m.T.copy().T, img), ref_undistortion(m, img))  # Fortran order
    assert_same(t.undistortion(m[::-1, ::-1], img), ref_undistortion(m[::-1, ::-1], img))
    assert_same(t.undistortion(m.tolist(), img), ref_undistortion(m.astype(np.int64), img))


def test_undistortion_errors_are_numpys():
    rng = np.random.default_rng(6)
    img = image(rng, (3, 4))
    cases = [
        (np.zeros((3, 4)), img),                               # real map
        (-np.ones((3, 4)), img),                               # real map, nothing valid
        (np.zeros((3, 4), np.int64), np.zeros((3, 4, 3), np.uint8)),  # three channels
        (np.zeros((3, 4)), np.zeros((3, 4, 3), np.uint8)),     # the image fails first
        (np.zeros(4, np.int64), img),                          # not 2-D
        (np.zeros((3, 4, 2), np.int64), img),
        (np.zeros((3, 4), np.int64), np.zeros(4, np.uint8)),
    ]
    big = np.full((5, 6), -1)
    big[0, 5] = 1   # column beyond the image comes first in row-major order ...
    big[4, 0] = 2   # ... but the row is reported
    cases.append((big, img))
    big2 = big.copy()
    big2[4, 0] = 12
    cases.append((big2, img))
    for m, im in cases:
        same_error(lambda: t.undistortion(m, im), lambda: ref_undistortion(m, im))
    # A boolean map names no pixels (the steps would index with it as a mask).
    with pytest.raises(TypeError, match="boolean map"):
        t.undistortion(np.ones((3, 4), bool), img)


def test_undistortion_gives_the_same_image_on_any_thread_count():
    rng = np.random.default_rng(7)
    img = image(rng, (480, 640))
    m = rng.integers(-1000, 480 * 640 + 1000, size=(480, 640))
    expected = ref_undistortion(m, img)
    saved = cv2.getNumThreads()
    try:
        for n in (1, 2):
            cv2.setNumThreads(n)
            assert_same(t.undistortion(m, img), expected)
    finally:
        cv2.setNumThreads(saved)
    results = [None] * 4

    def work(i):
        results[i] = t.undistortion(m, img)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    for r in results:
        assert_same(r, expected)


# --- bilinear undistortion --------------------------------------------------------------

def weights(rng, shape, dtype=np.uint16, total=65535):
    """Four weight arrays summing to total per pixel."""
    cuts = np.sort(rng.integers(0, total + 1, size=shape + (3,)), axis=-1)
    parts = np.diff(np.concatenate([np.zeros(shape + (1,), np.int64), cuts,
                                    np.full(shape + (1,), total)], axis=-1), axis=-1)
    return [parts[..., k].astype(dtype) for k in range(4)]


def test_full_first_weight_is_the_nearest_gather_on_the_truncated_map():
    rng = np.random.default_rng(8)
    img = image(rng, (9, 13))
    m = rng.uniform(-20, 9 * 13 + 20, size=(9, 13))
    w = [np.full((9, 13), 65535, np.uint16)] + [np.zeros((9, 13), np.uint16)] * 3
    assert_same(t.undistort_bilinear(img, m, *w), t.undistortion(m.astype(np.int32), img))


def test_bilinear_documented_edges():
    img = np.full((3, 4), 200, np.uint8)
    img[1, 0] = 10
    m = np.full((3, 4), 5.0)
    m[0, 1] = 3.0    # last column: the right-hand neighbour is (1, 0)
    m[0, 2] = 9.0    # last row: the lower neighbours are out of range
    m[0, 3] = -0.5   # truncates to 0
    m[1, 0] = -1.5   # truncates to -1: map2 = (0, 0), map3 = (0, 3), map4 = (1, 0)
    w = [np.full((3, 4), v, np.uint16) for v in (16384, 16384, 16384, 16383)]
    w[3][1, 1] = 16382
    out = t.undistort_bilinear(img, m, *w)
    assert_same(out, ref_undistort_bilinear(img, m, *w))
    assert out[0, 0] == 200 and out[1, 1] == 199
    assert out[0, 1] == int((200 * 49151 + 10 * 16384) / 65535)
    assert out[0, 2] == 100
    assert out[1, 0] == int((200 * 32768 + 10 * 16383) / 65535)


MAP_TYPES = [np.float64, np.float32, np.int64, np.int32, np.uint16, np.int16]
WEIGHT_TYPES = [np.uint16, np.int64, np.float64, np.uint8, np.int32, np.uint32, np.float32]


@pytest.mark.parametrize("seed", range(7))
def test_bilinear_matches_numpy_on_random_maps_and_weights(seed):
    rng = np.random.default_rng(seed)
    H, W = (int(v) for v in rng.integers(2, 40, size=2))
    if seed == 6:
        H, W = 7, 600  # several column blocks
    img = image(rng, (H, W))
    mdt, wdt = MAP_TYPES[seed % len(MAP_TYPES)], WEIGHT_TYPES[seed % len(WEIGHT_TYPES)]
    m = rng.uniform(-2 * W, H * W + 2 * W, size=(H, W))
    if np.dtype(mdt).kind == "u":
        m = np.abs(m)
    m = m.astype(mdt)
    total = 255 if wdt == np.uint8 else 65535
    w = weights(rng, (H, W), wdt, total)
    if np.dtype(wdt).kind == "f":
        w = [x + 0.75 for x in w[:3]] + [w[3]]  # fractions are dropped
    assert_same(t.undistort_bilinear(img, m, *w), ref_undistort_bilinear(img, m, *w))
    mixed = [w[0], w[1].astype(np.int64), w[2].astype(np.float32), w[3]]
    assert_same(t.undistort_bilinear(img, m, *mixed), ref_undistort_bilinear(img, m, *mixed))
    assert_same(t.undistort_bilinear(img, m[:, ::-1], *w), ref_undistort_bilinear(img, m[:, ::-1], *w))


def test_bilinear_broadcasts_weights_like_numpy():
    rng = np.random.default_rng(9)
    img = image(rng, (6, 10))
    m = rng.uniform(-5, 70, size=(6, 10))
    row = weights(rng, (10,))
    col = [x.reshape(6, 1) for x in weights(rng, (6,))]
    cases = [
        [np.uint16(65535), 0, np.uint16(0), np.uint16(0)],
        row,
        col,
        [row[0] // 3, col[1] // 3, np.uint16(0), row[3][None, :] // 3],  # sums stay <= 65535
        [w[None] for w in weights(rng, (6, 10))],            # (1, 6, 10)
        [np.stack(weights(rng, (6, 10))[:2])] + [np.uint16(0)] * 3,  # (2, 6, 10)
    ]
    for w in cases:
        ref_w = [np.asarray(x) for x in w]
        assert_same(t.undistort_bilinear(img, m, *w), ref_undistort_bilinear(img, m, *ref_w))


def test_bilinear_outside_the_fixed_point_model_saturates():
    rng = np.random.default_rng(10)
    img = image(rng, (8, 12))
    m = rng.uniform(0, 96, size=(8, 12))
    heavy = [rng.integers(0, 65536, size=(8, 12)).astype(np.uint16) for _ in range(4)]
    negative = [rng.integers(-70000, 70000, size=(8, 12)) for _ in range(4)]
    for w in (heavy, negative):
        s = ref_bilinear_sum(img, m, *w)
        expected = np.minimum(s // 65535, 255).astype(np.uint8)
        got = t.undistort_bilinear(img, m, *w)
        assert_same(got, expected)
        assert (got == 255).any()
    # Map values beyond 32 bits wrap (integers) or name no pixel (reals out of range).
    wide = np.array([[2**32 + 3, -2**33, 2**40]], np.int64)
    one = [np.uint16(65535), np.uint16(0), np.uint16(0), np.uint16(0)]
    img1 = np.arange(1, 4, dtype=np.uint8).reshape(1, 3)
    assert_same(t.undistort_bilinear(img1, wide, *one), ref_undistort_bilinear(img1, wide, *map(np.asarray, one)))
    with np.errstate(invalid="ignore"):
        huge = np.array([[3e9, np.nan, -np.inf]])
        assert_same(t.undistort_bilinear(img1, huge, *one), ref_undistort_bilinear(img1, huge, *map(np.asarray, one)))


def test_bilinear_errors_are_numpys():
    rng = np.random.default_rng(11)
    img = image(rng, (3, 4))
    w = weights(rng, (3, 4))
    beyond = np.full((4, 4), -100.0)
    beyond[3, 0] = -1.0  # map1 invalid, but map2 names pixel 0 from row 3
    wide = np.full((3, 5), -100)
    wide[2, 4] = -5      # map3 = -5 + 5 = 0 at column 4
    cases = [
        (img, beyond, *w),
        (img, wide, *w),
        (np.zeros((3, 4, 3), np.uint8), np.zeros((3, 4)), *w),
        (img, np.zeros(4), *w),
        (img, np.zeros((3, 4, 2)), *w),
        (img, np.zeros((3, 4)), np.zeros((2, 4), np.uint16), *w[1:]),
        (img, np.zeros((3, 4)), w[0], np.zeros(5, np.uint16), *w[2:]),
        (img, np.zeros((3, 4)), np.zeros((2, 3, 4)), np.zeros((3, 3, 4)), *w[2:]),
        (img, beyond, np.zeros((2, 4), np.uint16), *w[1:]),  # the map's error comes first
    ]
    for args in cases:
        same_error(lambda: t.undistort_bilinear(*args), lambda: ref_undistort_bilinear(*args))


def test_bilinear_leaves_inputs_alone_and_ignores_thread_count():
    rng = np.random.default_rng(12)
    img = image(rng, (300, 400))
    m = rng.uniform(-500, 120500, size=(300, 400))
    w = weights(rng, (300, 400))
    copies = [a.copy() for a in (img, m, *w)]
    expected = ref_undistort_bilinear(img, m, *w)
    saved = cv2.getNumThreads()
    try:
        for n in (1, 2):
            cv2.setNumThreads(n)
            assert_same(t.undistort_bilinear(img, m, *w), expected)
    finally:
        cv2.setNumThreads(saved)
    for a, b in zip((img, m, *w), copies):
        assert_same(a, b)


def test_broadcast_maps_far_larger_than_the_image_are_checked_quickly():
    img = np.arange(48, dtype=np.uint8).reshape(6, 8)
    for value, error in ((-3, None), (5, "index 6 is out of bounds for axis 0 with size 6")):
        huge = np.broadcast_to(np.int64(value), (70000, 70000))
        for call in (lambda: t.undistortion(huge, img),
                     lambda: t.undistort_bilinear(img, huge, 65535, 0, 0, 0)):
            if error is None:
                assert call().shape == (6, 8)
            else:
                with pytest.raises(IndexError, match=error):
                    call()
    row = np.broadcast_to(np.arange(70000) - 10, (70000, 70000))  # equal rows, columns differ
    with pytest.raises(IndexError, match="index 6 is out of bounds for axis 0"):
        t.undistortion(row, img)
    col = np.broadcast_to((np.arange(70000) - 10)[:, None], (70000, 70000))
    with pytest.raises(IndexError, match="index 10 is out of bounds for axis 0"):
        t.undistortion(col, img)
