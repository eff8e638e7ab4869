"""Comparisons shared by the module's tests: what "equal" means for results, for values that
pass through a BLAS, and for error texts that another library writes."""
import os
import re

import cv2
import numpy as np

# A NumPy wheel brings its own OpenBLAS build (numpy.libs) while torvel calls the system's:
# their kernels round differently, not only their last bit.
OWN_BLAS = os.path.isdir(os.path.join(os.path.dirname(np.__file__), "..", "numpy.libs"))

# Values computed through a BLAS or LAPACK call agree within a few units in the last place
# of their scale: the kernels (chosen per CPU) sum in blocks of their own.
BLAS_RTOL = 1e-9 if OWN_BLAS else 1e-12


def blas_close(got, want, scale=None):
    """got equals want within BLAS_RTOL of the values' scale (largest magnitude of want, or
    `scale`); NaN only where NaN."""
    got, want = np.asarray(got), np.asarray(want)
    assert got.shape == want.shape, (got.shape, want.shape)
    if scale is None:
        finite = want[np.isfinite(want)]
        scale = float(np.max(np.abs(finite))) if finite.size else 1.0
    np.testing.assert_allclose(got, want, rtol=BLAS_RTOL, atol=BLAS_RTOL * scale, equal_nan=True)


def assert_same(got, want, close=None):
    """got equals want: the same type (tuples and lists item by item), dtype and shape for
    NumPy values, and the same values (NaN equal to NaN in NumPy values). `close(got, want)`,
    when given, compares floating-point values instead."""
    assert type(got) is type(want), (type(got), type(want))
    if isinstance(want, (tuple, list)):
        assert len(got) == len(want), (len(got), len(want))
        for g, w in zip(got, want):
            assert_same(g, w, close)
        return
    numpy_value = isinstance(want, (np.ndarray, np.generic))
    if numpy_value:
        assert got.dtype == want.dtype and got.shape == want.shape, (got.dtype, got.shape)
    if close is not None and np.asarray(want).dtype.kind == "f":
        close(got, want)
    elif numpy_value:
        np.testing.assert_array_equal(got, want)
    else:
        assert got == want, (got, want)


def assert_blas_same(got, want, scale=None):
    """assert_same with floating-point values compared by blas_close (within `scale`)."""
    assert_same(got, want, close=lambda g, w: blas_close(g, w, scale))


def library_message(call):
    """The text the installed library itself gives for a failure, e.g.
    library_message(lambda: int(np.zeros(3)))."""
    try:
        call()
    except Exception as exc:  # the text is what is wanted
        return str(exc)
    raise AssertionError("the call did not fail")


def _opencv_release(text):
    m = re.match(r"OpenCV\(([^)]*)\)", text)
    return m.group(1) if m else None


def raised_by_installed_opencv(exc):
    """Is this cv2.error, raised through torvel's core, the installed cv2's release's own?
    Otherwise what that cv2 refuses may differ (a later release takes more types)."""
    return _opencv_release(str(exc)) == cv2.__version__


def opencv_error_text(exc):
    """An OpenCV message without the build folder of its source path (a cv2 wheel's
    differs from the system library's)."""
    return re.sub(r"^OpenCV\(([^)]*)\) \S*?modules/", r"OpenCV(\1) modules/", str(exc))


def raised(call):
    """(type, text) of the failure of call(), or None when it returns."""
    try:
        call()
    except Exception as exc:  # the type and text are what is compared
        return type(exc), opencv_error_text(exc)
    return None


def assert_same_failure(got, want):
    """(type, text) pairs of two failures are the same failure. torvel's OpenCV errors come
    from the OpenCV its core links; when the installed cv2 is another release, what it
    refuses and how it words it (file, line, condition) are its own, so only torvel's
    failure is checked: an OpenCV error of that release. None is no failure."""
    if got is not None and got[0] is cv2.error and _opencv_release(got[1]) != cv2.__version__:
        assert _opencv_release(got[1]) is not None, got
        return
    assert got == want
