// Binding of the laser line extraction.
//
// The masks are converted to uint8 the way NumPy's astype does (unsafe casting, integers
// modulo 256). A 2-D uint8 th2 with a mask of its shape goes to the core; any other th2 or
// mask shape runs the module's own cv2.bitwise_and and cv2.connectedComponentsWithStats, so
// whatever cv2 accepts, converts or refuses (and its error text) is exactly cv2's.
#include <algorithm>
#include <climits>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "laser/laser_line.h"
#include "robust/ransac.h"
#include "surface/convert.h"
#include "surface/registry.h"

namespace torvel::surface {
namespace {

PyRef as_uint8(PyObject* mask) {
  PyArray_Descr* descr = PyArray_DescrFromType(NPY_UINT8);
  return PyRef::check(PyArray_FromAny(mask, descr, 0, 0,
                                      NPY_ARRAY_FORCECAST | NPY_ARRAY_IN_ARRAY, nullptr));
}

// th2 as a borrowed cv::Mat when it is a 2-D uint8 array with unit column stride.
bool view_image(PyObject* th2, cv::Mat* out) {
  if (!PyArray_Check(th2)) return false;
  auto* a = reinterpret_cast<PyArrayObject*>(th2);
  if (PyArray_NDIM(a) != 2 || PyArray_TYPE(a) != NPY_UINT8) return false;
  const npy_intp rows = PyArray_DIM(a, 0);
  const npy_intp cols = PyArray_DIM(a, 1);
  const npy_intp row_step = PyArray_STRIDE(a, 0);
  if (rows == 0 || cols == 0 || rows > INT_MAX || cols > INT_MAX) return false;
  if (PyArray_STRIDE(a, 1) != 1 || row_step < cols) return false;
  *out = cv::Mat(static_cast<int>(rows), static_cast<int>(cols), CV_8UC1, PyArray_DATA(a),
                 static_cast<std::size_t>(row_step));
  return true;
}

// The centroid table through the module's cv2, as the documented steps call it.
PyRef centroids_through_cv2(const ModuleState& state, PyObject* th2, PyObject* mask_u8) {
  PyRef bitwise_and = cv2_attribute(state, "bitwise_and");
  PyRef args = PyRef::check(PyTuple_Pack(2, th2, th2));
  PyRef kwargs = PyRef::check(PyDict_New());
  if (PyDict_SetItemString(kwargs.get(), "mask", mask_u8) != 0) throw_python_error();
  PyRef masked = PyRef::check(PyObject_Call(bitwise_and.get(), args.get(), kwargs.get()));
  PyRef label = cv2_attribute(state, "connectedComponentsWithStats");
  PyRef label_args = PyRef::check(PyTuple_Pack(1, masked.get()));
  PyRef label_kwargs = PyRef::check(PyDict_New());
  PyRef eight = PyRef::check(PyLong_FromLong(8));
  if (PyDict_SetItemString(label_kwargs.get(), "connectivity", eight.get()) != 0) {
    throw_python_error();
  }
  PyRef result = PyRef::check(PyObject_Call(label.get(), label_args.get(), label_kwargs.get()));
  PyRef table = PyRef::check(PySequence_GetItem(result.get(), 3));
  return PyRef::check(PyArray_FromAny(table.get(), PyArray_DescrFromType(NPY_DOUBLE), 2, 2,
                                      NPY_ARRAY_IN_ARRAY, nullptr));
}

// Refuses an image whose pixels an int cannot count before anything is converted or
// copied (zero-stride views make such arrays without the memory behind them).
void check_image_extent(PyObject* obj, const char* argname) {
  if (!PyArray_Check(obj)) return;
  auto* a = reinterpret_cast<PyArrayObject*>(obj);
  double pixels = 1;
  for (npy_intp d : shape_of(a)) pixels *= static_cast<double>(d);
  if (pixels <= INT_MAX) return;
  const std::string msg = std::string(argname) + ": an image of shape " + shape_text(shape_of(a)) +
                          " is too large: its pixels do not fit a 32-bit count";
  raise(PyExc_ValueError, msg);
}

// An empty th2 with a mask that fits it, or an empty mask (which OpenCV takes as none),
// would reach OpenCV's labelling, which reads out of bounds on an empty image: refuse it.
// (A non-empty mask of another size fails in OpenCV first.)
void check_not_empty(PyObject* th2, const PyRef& mask_u8) {
  PyRef converted;  // a sequence, as cv2 would convert it
  if (!PyArray_Check(th2)) {
    if (!PyList_Check(th2) && !PyTuple_Check(th2)) return;
    converted = PyRef(PyArray_FROM_O(th2));
    if (!converted) {
      PyErr_Clear();  // cv2 reports what it cannot convert
      return;
    }
    th2 = converted.get();
  }
  auto* a = reinterpret_cast<PyArrayObject*>(th2);
  if (PyArray_SIZE(a) != 0) return;
  if (PyArray_SIZE(mask_u8.array()) != 0 && shape_of(a) != shape_of(mask_u8.array())) return;
  const std::string msg = "th2: an image of shape " + shape_text(shape_of(a)) +
                          " is empty: it holds no pixels to label";
  raise(PyExc_ValueError, msg);
}

// One region's centroid table (a float64 p x 2 array); `runs` carries th2's lit runs from
// the first region to the second.
PyRef region_centroids(const ModuleState& state, PyObject* th2, Arg mask, LitRunsCache& runs) {
  check_image_extent(th2, "th2");
  check_image_extent(mask.obj, mask.name);
  PyRef mask_u8 = as_uint8(mask.obj);
  check_not_empty(th2, mask_u8);
  cv::Mat image;
  auto* m = mask_u8.array();
  // A 2-D mask of another size goes to the core too: OpenCV's own size check there raises
  // the error cv2 would (cv2's error path leaks memory on every such call).
  if (!view_image(th2, &image) || PyArray_NDIM(m) != 2 || PyArray_DIM(m, 0) > INT_MAX ||
      PyArray_DIM(m, 1) > INT_MAX) {
    return centroids_through_cv2(state, th2, mask_u8.get());
  }
  const cv::Mat region(static_cast<int>(PyArray_DIM(m, 0)), static_cast<int>(PyArray_DIM(m, 1)),
                       CV_8UC1, PyArray_DATA(m));
  cv::Mat table;
  run_core(static_cast<npy_intp>(image.total()),
           [&] { table = masked_component_centroids(region, image, runs); });
  PyRef out = new_array(NPY_DOUBLE, {table.rows, 2});
  table.copyTo(cv::Mat(table.rows, 2, CV_64F, PyArray_DATA(out.array())));
  return out;
}

cv::Mat table_view(const PyRef& table) {
  auto* a = table.array();
  return cv::Mat(static_cast<int>(PyArray_DIM(a, 0)), 2, CV_64F, PyArray_DATA(a));
}

// A float64 array of the values, squeezed: one value gives a 0-d array.
PyRef squeezed(const std::vector<double>& values) {
  std::vector<npy_intp> shape;
  if (values.size() != 1) shape.push_back(static_cast<npy_intp>(values.size()));
  PyRef out = new_array(NPY_DOUBLE, shape);
  std::copy(values.begin(), values.end(), static_cast<double*>(PyArray_DATA(out.array())));
  return out;
}

PyObject* get_laser_line_impl(const ModuleState& state, Arg mask1, Arg mask2, PyObject* th2,
                              PyObject* direction) {
  // cv2 would take None or a number as an empty image or a scalar and then crash or fail
  // inside its labelling: an image is an array (or a nested sequence).
  if (!PyArray_Check(th2) && !PyList_Check(th2) && !PyTuple_Check(th2)) {
    raise(PyExc_TypeError, "th2: expected an image (a 2-D uint8 array), got " +
                               std::string(Py_TYPE(th2)->tp_name).substr(0, 100));
  }
  LitRunsCache runs;
  PyRef first = region_centroids(state, th2, mask1, runs);
  PyRef second = region_centroids(state, th2, mask2, runs);

  // An array of several values has no single truth value: say so before NumPy compares it
  // element by element (a zero-stride view can be far larger than its memory).
  if (PyArray_Check(direction) && PyArray_SIZE(reinterpret_cast<PyArrayObject*>(direction)) > 1) {
    raise(PyExc_ValueError,
          "The truth value of an array with more than one element is ambiguous. "
          "Use a.any() or a.all()");
  }
  PyRef one = PyRef::check(PyLong_FromLong(1));
  PyRef equal = PyRef::check(PyObject_RichCompare(direction, one.get(), Py_EQ));
  const int row_of_column = PyObject_IsTrue(equal.get());
  if (row_of_column < 0) throw_python_error();
  if (PyArray_DIM(first.array(), 1) != 2 || PyArray_DIM(second.array(), 1) != 2) {
    raise(PyExc_ValueError, "centroid tables must have two columns");
  }

  // The robust fit visits every centroid in each of its trials.
  const npy_intp centroids = PyArray_DIM(first.array(), 0) + PyArray_DIM(second.array(), 0);
  LaserLinePoints points;
  run_core(centroids * RansacOptions{}.max_trials, [&] {
    points = fit_laser_line(table_view(first), table_view(second), row_of_column != 0);
  });
  PyRef independent = squeezed(points.independent);
  PyRef dependent = squeezed(points.dependent);
  return PyRef::check(PyTuple_Pack(2, independent.get(), dependent.get())).release();
}

// ---- registrations ----------------------------------------------------------------

const MethodSpec registrations[] = {
    method<get_laser_line_impl>(
        8, "get_laser_line",
        "Extract the laser stripe: inlier centroids of the stripe blobs inside two masks.\n\n"
        "mask1, mask2: H x W region masks (any numeric dtype, taken modulo 256).\n"
        "th2: H x W uint8 thresholded image; direction: 1 fits rows as a function of columns,\n"
        "anything else columns as a function of rows.\n"
        "Returns (independent, dependent): float64 pixel coordinates of the inlier centroids.",
        {"mask1", "mask2", "th2", "direction"}),
};

}  // namespace

std::span<const MethodSpec> laser_methods() { return registrations; }

}  // namespace torvel::surface
