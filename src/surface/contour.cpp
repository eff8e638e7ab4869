// Binding of the axis measurement.
#include <climits>
#include <cstdint>
#include <numbers>
#include <optional>
#include <string>

#include <opencv2/core.hpp>

#include "contour/axes.h"
#include "contour/select.h"
#include "surface/convert.h"
#include "surface/promotion.h"
#include "surface/registry.h"

#include <numpy/arrayscalars.h>

namespace torvel::surface {
namespace {

// Most dimensions cv2 converts.
constexpr int kMaxDims = 32;

// OpenCV's binding error for an argument it cannot take, with its message layout.
[[noreturn]] void raise_cannot_take(const char* function, const char* argname,
                                    const std::string& reason) {
  throw cv::Exception(cv::Error::StsBadArg,
                      "Overload resolution failed:\n - " + reason +
                          "\n - Expected Ptr<cv::UMat> for argument '" + argname + "'",
                      function, "", -1);
}

// The cv::Mat that cv2 makes of an ndarray: element types it knows (64-bit integers cast
// to int32), a trailing axis of up to CV_CN_MAX as channels, a copy when the strides do
// not fit. `holder` keeps any copy alive. Returns false for an element type cv2 rejects.
bool mat_like_cv2(PyArrayObject* arr, PyRef& holder, cv::Mat& out, const char* function,
                  const char* argname) {
  const int typenum = PyArray_TYPE(arr);
  int type = typenum == NPY_UBYTE   ? CV_8U
             : typenum == NPY_BYTE  ? CV_8S
             : typenum == NPY_USHORT ? CV_16U
             : typenum == NPY_SHORT ? CV_16S
             : typenum == NPY_INT   ? CV_32S
             : typenum == NPY_INT32 ? CV_32S
             : typenum == NPY_FLOAT ? CV_32F
             : typenum == NPY_DOUBLE ? CV_64F
                                     : -1;
  bool needcopy = false;
  bool needcast = false;
  if (type < 0) {
    if (typenum == NPY_INT64 || typenum == NPY_UINT64 || typenum == NPY_LONG) {
      needcopy = needcast = true;
      type = CV_32S;
    } else {
      return false;
    }
  }
  int ndims = PyArray_NDIM(arr);
  if (ndims >= kMaxDims) {
    raise_cannot_take(function, argname,
                      std::string(argname) + " dimensionality (=" + std::to_string(ndims) +
                          ") is too high");
  }
  const std::size_t elemsize = CV_ELEM_SIZE1(type);
  const npy_intp* sizes = PyArray_DIMS(arr);
  const npy_intp* strides = PyArray_STRIDES(arr);
  const bool multichannel = ndims == 3 && sizes[2] <= CV_CN_MAX;
  for (int i = ndims - 1; i >= 0 && !needcopy; --i) {
    if ((i == ndims - 1 && sizes[i] > 1 && static_cast<std::size_t>(strides[i]) != elemsize) ||
        (i < ndims - 1 && sizes[i] > 1 && strides[i] < strides[i + 1])) {
      needcopy = true;
    }
  }
  if (multichannel && strides[1] != static_cast<npy_intp>(elemsize) * sizes[2]) needcopy = true;
  PyArrayObject* src = arr;
  if (needcopy) {
    holder = needcast ? PyRef::check(PyArray_Cast(arr, NPY_INT))
                      : PyRef::check(reinterpret_cast<PyObject*>(PyArray_GETCONTIGUOUS(arr)));
    src = holder.array();
    strides = PyArray_STRIDES(src);
  }
  int size[kMaxDims + 1] = {};
  std::size_t step[kMaxDims + 1] = {};
  std::size_t default_step = elemsize;
  for (int i = ndims - 1; i >= 0; --i) {
    size[i] = static_cast<int>(sizes[i]);
    if (size[i] > 1) {
      step[i] = static_cast<std::size_t>(strides[i]);
      default_step = step[i] * size[i];
    } else {
      step[i] = default_step;
      default_step *= size[i];
    }
  }
  if (ndims == 0) {
    size[0] = 1;
    step[0] = elemsize;
    ndims = 1;
  }
  if (multichannel) {
    --ndims;
    type |= CV_MAKETYPE(0, size[2]);
  }
  out = cv::Mat(ndims, size, type, PyArray_DATA(src), step);
  return true;
}

[[noreturn]] void raise_type_not_supported(PyArrayObject* arr, const char* function,
                                           const char* argname) {
  raise_cannot_take(function, argname,
                    std::string(argname) + " data type = " +
                        std::to_string(PyArray_TYPE(arr)) + " is not supported");
}

// Cosine and sine of the probe directions as NumPy evaluates them (its float64 cos and
// sin need not be the C library's to the last bit), so end points truncate alike.
DirectionTable numpy_direction_table() {
  constexpr double deg = std::numbers::pi / 180.0;
  DirectionTable table;
  PyRef t = new_array(NPY_DOUBLE, {static_cast<npy_intp>(table.size())});
  double* tv = static_cast<double*>(PyArray_DATA(t.array()));
  for (std::size_t k = 0; k < table.size(); ++k) tv[k] = (k / 2.0) * deg;
  PyRef np = PyRef::check(PyImport_ImportModule("numpy"));
  PyRef cos_f = PyRef::check(PyObject_GetAttrString(np.get(), "cos"));
  PyRef sin_f = PyRef::check(PyObject_GetAttrString(np.get(), "sin"));
  PyRef co = PyRef::check(PyObject_CallOneArg(cos_f.get(), t.get()));
  PyRef si = PyRef::check(PyObject_CallOneArg(sin_f.get(), t.get()));
  PyRef co_d = to_array(co.get(), NPY_DOUBLE, "cos");
  PyRef si_d = to_array(si.get(), NPY_DOUBLE, "sin");
  const double* cv = static_cast<const double*>(PyArray_DATA(co_d.array()));
  const double* sv = static_cast<const double*>(PyArray_DATA(si_d.array()));
  for (std::size_t k = 0; k < table.size(); ++k) table[k] = Direction{cv[k], sv[k]};
  return table;
}

// The interpreter lock taken back by `caller`'s thread inside a scope where it was
// released (AllowThreads), for the Python arithmetic a core step calls back into.
class WithInterpreter {
 public:
  explicit WithInterpreter(PyThreadState* caller) { PyEval_RestoreThread(caller); }
  ~WithInterpreter() { PyEval_SaveThread(); }
  WithInterpreter(const WithInterpreter&) = delete;
  WithInterpreter& operator=(const WithInterpreter&) = delete;
};

PyObject* int32_scalar(int v) {
  PyObject* s = PyArrayScalar_New(Int);
  if (s == nullptr) throw_python_error();
  PyArrayScalar_ASSIGN(s, Int, static_cast<npy_int>(v));
  return s;
}

// [[x, y], [x, y]] of NumPy int32 scalars.
PyRef pair_list(const PointPair& pair) {
  PyRef out = PyRef::check(PyList_New(2));
  for (int i = 0; i < 2; ++i) {
    PyRef pt = PyRef::check(PyList_New(2));
    PyList_SET_ITEM(pt.get(), 0, int32_scalar(pair[i].x));
    PyList_SET_ITEM(pt.get(), 1, int32_scalar(pair[i].y));
    PyList_SET_ITEM(out.get(), i, pt.release());
  }
  return out;
}

// int(long_intersection / 2 + margin_length) with the interpreter's arithmetic, so any
// number type (and its errors) behaves as in Python.
std::int64_t adapted_radius(double long_intersection, PyObject* margin_length) {
  // An array of many values never converts to one int; NumPy would first add it at full
  // size (a zero-stride view's included), so it is refused before that.
  if (is_large_array(margin_length)) {
    const std::string msg =
        "margin_length: an array of shape " +
        shape_text(shape_of(reinterpret_cast<PyArrayObject*>(margin_length))) +
        " is not one number";
    raise(PyExc_TypeError, msg);
  }
  PyRef half = PyRef::check(PyFloat_FromDouble(long_intersection / 2.0));
  PyRef sum = numpy1_op(PyNumber_Add, half.get(), margin_length);
  PyRef as_int = numpy1_int(sum.get());
  int overflow = 0;
  const long long r = PyLong_AsLongLongAndOverflow(as_int.get(), &overflow);
  if (r == -1 && PyErr_Occurred()) throw_python_error();
  if (overflow) {
    raise(PyExc_OverflowError, "margin_length: probe radius does not fit in 64 bits");
  }
  return r;
}

// The contour finder works on a copy with a one-pixel border and OpenCV indexes images
// with int: an image whose bordered element count does not fit an int is refused before
// any conversion or copy of it is made.
void refuse_unaddressable_image(PyArrayObject* arr) {
  constexpr npy_intp kLimit = INT_MAX;
  npy_intp padded = 1;
  bool too_large = false;
  for (int i = 0; i < PyArray_NDIM(arr); ++i) {
    const npy_intp d = PyArray_DIMS(arr)[i];
    if (d > kLimit - 2 || padded > kLimit / (d + 2)) {
      too_large = true;
      break;
    }
    padded *= d + 2;
  }
  if (!too_large) return;
  const std::string msg = "img: an image of shape " + shape_text(shape_of(arr)) +
                          " is too large to measure (with a one-pixel border, at most " +
                          std::to_string(kLimit) + " elements)";
  raise(PyExc_ValueError, msg);
}

// arr itself, or a native-order aligned copy when its values cannot be read in place
// (a byte-swapped or unaligned array keeps its values, not its bytes).
PyRef readable_in_place(PyArrayObject* arr) {
  if (PyArray_ISNOTSWAPPED(arr) && PyArray_ISALIGNED(arr)) {
    return PyRef::borrow(reinterpret_cast<PyObject*>(arr));
  }
  PyArray_Descr* native = PyArray_DescrNewByteorder(PyArray_DESCR(arr), NPY_NATIVE);
  if (native == nullptr) throw_python_error();
  return PyRef::check(PyArray_FromArray(arr, native, NPY_ARRAY_ALIGNED));  // steals native
}

PyObject* get_short_long_intersection_impl(PyObject* img, PyObject* margin_length) {
  // The contour search runs on img.astype(np.uint8): objects without astype fail there,
  // NumPy scalars and other objects in the contour finder's argument conversion.
  if (!PyArray_Check(img)) {
    PyRef astype = PyRef::check(PyObject_GetAttrString(img, "astype"));
    raise_cannot_take("findContours", "image", "image is not a numpy array, neither a scalar");
  }
  refuse_unaddressable_image(reinterpret_cast<PyArrayObject*>(img));
  PyRef readable = readable_in_place(reinterpret_cast<PyArrayObject*>(img));
  PyArrayObject* arr = readable.array();
  const bool is_uint8 = PyArray_TYPE(arr) == NPY_UBYTE;
  PyRef u8_holder;
  PyArrayObject* u8_arr = arr;
  if (!is_uint8) {
    u8_holder = PyRef::check(PyArray_CastToType(arr, PyArray_DescrFromType(NPY_UBYTE), 0));
    u8_arr = u8_holder.array();
  }
  PyRef u8_copy;
  cv::Mat u8;
  mat_like_cv2(u8_arr, u8_copy, u8, "findContours", "image");

  // Profiles and probes read the caller's image itself; an element type cv2 cannot take
  // fails there, once an object qualifies.
  PyRef orig_copy;
  cv::Mat orig = u8;
  if (!is_uint8 && !mat_like_cv2(arr, orig_copy, orig, "warpPolar", "src")) {
    std::optional<SelectedContour> sel;
    {
      AllowThreads nogil;
      sel = select_contour(u8);
    }
    if (!sel) Py_RETURN_NONE;
    raise_type_not_supported(arr, "warpPolar", "src");
  }
  const DirectionTable dirs = numpy_direction_table();
  // The radius rule runs inside the core's work and needs the interpreter for the margin's
  // arithmetic: it takes the lock back when the work runs without it.
  const bool released = static_cast<npy_intp>(orig.total()) >= kReleaseGilFrom;
  PyThreadState* const caller = PyThreadState_Get();
  const WarpRadiusRule radius = [caller, released, margin_length](double coarse) {
    if (!released) return adapted_radius(coarse, margin_length);
    const WithInterpreter held(caller);
    return adapted_radius(coarse, margin_length);
  };
  std::optional<AxisMeasurement> measured;
  run_core(static_cast<npy_intp>(orig.total()),
           [&] { measured = get_short_long_intersection(u8, orig, radius, dirs); });
  if (!measured) Py_RETURN_NONE;
  const AxisMeasurement& m = *measured;
  PyRef pt_short = pair_list(m.pt_short);
  PyRef pt_long0 = pair_list(m.pt_long0);
  PyRef pt_long1 = pair_list(m.pt_long1);
  PyRef s = PyRef::check(PyFloat_FromDouble(m.short_intersection));
  PyRef l = PyRef::check(PyFloat_FromDouble(m.long_intersection));
  PyRef s90 = PyRef::check(PyFloat_FromDouble(m.short_intersection_90));
  return PyTuple_Pack(6, pt_short.get(), pt_long0.get(), pt_long1.get(), s.get(), l.get(),
                      s90.get());
}

// ---- registrations ----------------------------------------------------------------

const MethodSpec registrations[] = {
    method<get_short_long_intersection_impl>(
        6, "get_short_long_intersection",
        "Measure the long and short axes of the first object of a mask through its centroid.\n\n"
        "img: H x W uint8 mask (non-zero = object); margin_length: pixels added to half the\n"
        "coarse extent for the later probes.\n"
        "Returns (pt_short, pt_long0, pt_long1, short_intersection, long_intersection, "
        "short_intersection_90): point pairs [[x, y], [x, y]] of int32 and lengths in pixels "
        "(float), or None when no contour encloses more than 100 pixels.",
        {"img", {"margin_length", kDefaultMarginLength}}),
};

}  // namespace

std::span<const MethodSpec> contour_methods() { return registrations; }

}  // namespace torvel::surface
