// Bindings of the camera model and the line-plane intersection.
#include <cmath>
#include <cstdint>

#include "geometry/camera.h"
#include "geometry/intersect.h"
#include "surface/convert.h"
#include "surface/methods.h"
#include "surface/promotion.h"

namespace torvel::surface {
namespace {

// Exact in double: integers this small keep their squares' sums exact.
constexpr long kExactIntLimit = 1L << 25;

PyObject* item(PyObject* seq, Py_ssize_t i) {
  if (PyTuple_CheckExact(seq) && i < PyTuple_GET_SIZE(seq)) {
    return Py_NewRef(PyTuple_GET_ITEM(seq, i));
  }
  if (PyList_CheckExact(seq) && i < PyList_GET_SIZE(seq)) {
    return Py_NewRef(PyList_GET_ITEM(seq, i));
  }
  PyRef index = PyRef::check(PyLong_FromSsize_t(i));
  return PyObject_GetItem(seq, index.get());
}

// A Python float, or a Python int small enough that the arithmetic stays exact.
bool plain_number(PyObject* v, double* out) {
  if (PyFloat_CheckExact(v)) {
    *out = PyFloat_AS_DOUBLE(v);
    return true;
  }
  if (PyLong_CheckExact(v)) {
    int overflow = 0;
    const long x = PyLong_AsLongAndOverflow(v, &overflow);
    if (overflow || x <= -kExactIntLimit || x >= kExactIntLimit) return false;
    *out = static_cast<double>(x);
    return true;
  }
  return false;
}

PyObject* power(PyObject* a, PyObject* b) { return PyNumber_Power(a, b, Py_None); }

// (a - b) ** 2 with the operands' own arithmetic (NumPy scalars, big ints, ...).
PyRef squared_difference(PyObject* a, PyObject* b) {
  PyRef d = numpy1_op(PyNumber_Subtract, a, b);
  PyRef two = PyRef::check(PyLong_FromLong(2));
  return numpy1_op(power, d.get(), two.get());
}

const double* doubles(const PyRef& a) { return static_cast<const double*>(PyArray_DATA(a.array())); }

bool is_numpy_object(PyObject* obj) { return PyArray_Check(obj) || PyArray_IsScalar(obj, Generic); }

// A coordinate array at least this large is refused before any arithmetic: the distance
// is one number, which an array of more than one value never gives (NumPy would first
// build the squared differences at full size, a zero-stride view's included).
constexpr npy_intp kLargestCoordinateArray = npy_intp{1} << 16;

void refuse_large_coordinate(PyObject* coordinate, const char* point, int index) {
  if (!PyArray_Check(coordinate)) return;
  PyArrayObject* a = reinterpret_cast<PyArrayObject*>(coordinate);
  if (PyArray_SIZE(a) < kLargestCoordinateArray) return;
  const std::string msg = std::string(point) + ": coordinate " + std::to_string(index) +
                          " is an array of shape " + shape_text(shape_of(a)) +
                          ", not one number";
  PyErr_SetString(PyExc_TypeError, msg.c_str());
  throw_python_error();
}

}  // namespace

PyObject* distance_2pts_impl(PyObject* const* args) {
  PyRef a0 = PyRef::check(item(args[1], 0));
  PyRef a1 = PyRef::check(item(args[1], 1));
  PyRef b0 = PyRef::check(item(args[2], 0));
  PyRef b1 = PyRef::check(item(args[2], 1));
  double x1, y1, x2, y2;
  if (plain_number(a0.get(), &x1) && plain_number(a1.get(), &y1) &&
      plain_number(b0.get(), &x2) && plain_number(b1.get(), &y2)) {
    return PyFloat_FromDouble(distance_2pts(x1, y1, x2, y2));
  }
  refuse_large_coordinate(a0.get(), "p1", 0);
  refuse_large_coordinate(a1.get(), "p1", 1);
  refuse_large_coordinate(b0.get(), "p2", 0);
  refuse_large_coordinate(b1.get(), "p2", 1);
  PyRef sum = numpy1_op(PyNumber_Add, squared_difference(a0.get(), b0.get()).get(),
                        squared_difference(a1.get(), b1.get()).get());
  const double s = numpy1_float(sum.get());
  if (s < 0) {
    PyErr_SetString(PyExc_ValueError, "math domain error");
    throw_python_error();
  }
  return PyFloat_FromDouble(std::sqrt(s));
}

PyObject* get_line_of_sight_pts_impl(PyObject* const* args) {
  PyRef rows = to_array(args[1], NPY_DOUBLE, "rows");
  PyRef cols = to_array(args[2], NPY_DOUBLE, "cols");
  const CameraIntrinsics cam = to_intrinsics(args + 3);
  const std::vector<npy_intp> shape = shape_of(rows.array());
  if (shape != shape_of(cols.array())) {
    const std::string msg = "rows and cols must have one shape, got " + shape_text(shape) +
                            " and " + shape_text(shape_of(cols.array()));
    PyErr_SetString(PyExc_ValueError, msg.c_str());
    throw_python_error();
  }
  std::vector<npy_intp> out_shape{3};
  out_shape.insert(out_shape.end(), shape.begin(), shape.end());
  PyRef out = new_array(NPY_DOUBLE, out_shape);
  const npy_intp n = size_of(shape);
  double* o = static_cast<double*>(PyArray_DATA(out.array()));
  auto run = [&] { lines_of_sight(doubles(rows), doubles(cols), n, cam, o, o + n, o + 2 * n); };
  run_core(n, run);
  return out.release();
}

PyObject* get_img_coord_from_3d_pts_impl(PyObject* const* args) {
  PyRef x = to_array(args[1], NPY_DOUBLE, "x");
  PyRef y = to_array(args[2], NPY_DOUBLE, "y");
  PyRef z = to_array(args[3], NPY_DOUBLE, "z");
  CameraIntrinsics cam;
  cam.focus = to_double(args[4], "focus");
  cam.center_col = to_double(args[5], "center_col");
  cam.center_row = to_double(args[6], "center_row");
  cam.pixel_sizec = to_double(args[7], "pixel_sizec");
  cam.pixel_sizer = to_double(args[8], "pixel_sizer");
  const std::vector<npy_intp> shape = broadcast_shapes(
      {shape_of(x.array()), shape_of(y.array()), shape_of(z.array())}, "x, y, z");
  if (shape.empty()) {
    bool any_numpy = false;
    for (int i = 1; i <= 8; ++i) any_numpy = any_numpy || is_numpy_object(args[i]);
    if (!any_numpy) {
      // Plain numbers give a plain float, which has no integer-array conversion.
      PyErr_SetString(PyExc_AttributeError, "'float' object has no attribute 'astype'");
      throw_python_error();
    }
  }
  x = broadcast_to(std::move(x), shape);
  y = broadcast_to(std::move(y), shape);
  z = broadcast_to(std::move(z), shape);
  PyRef row = new_array(NPY_INT64, shape);
  PyRef col = new_array(NPY_INT64, shape);
  const npy_intp n = size_of(shape);
  auto run = [&] {
    project_to_pixels(doubles(x), doubles(y), doubles(z), n, cam,
                      static_cast<std::int64_t*>(PyArray_DATA(row.array())),
                      static_cast<std::int64_t*>(PyArray_DATA(col.array())));
  };
  run_core(n, run);
  PyObject* r = PyArray_Return(row.array());  // 0-d results become NumPy scalars
  row.release();
  PyRef row_result(r);
  PyObject* c = PyArray_Return(col.array());
  col.release();
  PyRef col_result(c);
  return PyTuple_Pack(2, row_result.get(), col_result.get());
}

PyObject* intersect_line_plane_impl(PyObject* const* args) {
  const char* names[] = {"vecpt0s", "vecpt1s", "p_cos", "p_nos"};
  PyRef arrays[4];
  for (int i = 0; i < 4; ++i) arrays[i] = to_array(args[i + 1], NPY_DOUBLE, names[i], false);
  const double epsion = to_double(args[5], "epsion");

  // The directions vecpt1s - vecpt0s carry the rows; their sums run along axis 1.
  const std::vector<npy_intp> lines =
      broadcast_shapes({shape_of(arrays[0].array()), shape_of(arrays[1].array())},
                       "vecpt0s, vecpt1s");
  if (lines.size() != 2) {
    const std::string msg =
        lines.size() < 2
            ? "vecpt0s, vecpt1s: axis 1 is out of bounds for array of dimension " +
                  std::to_string(lines.size())
            : "vecpt0s, vecpt1s: expected N x 3 arrays, got shape " + shape_text(lines);
    PyErr_SetString(PyExc_ValueError, msg.c_str());
    throw_python_error();
  }
  const npy_intp n = lines[0];
  Rows3View views[4];
  for (int i = 0; i < 4; ++i) views[i] = rows3_view(arrays[i].array(), n, names[i]);

  // With integral directions and normals the dot products are integers, which cannot
  // hold the +inf that marks a parallel line.
  if (is_integer_kind(args[1]) && is_integer_kind(args[2]) && is_integer_kind(args[4]) &&
      any_parallel(views[0], views[1], views[3], epsion, n)) {
    PyErr_SetString(PyExc_OverflowError, "cannot convert float infinity to integer");
    throw_python_error();
  }
  PyRef out = new_array(NPY_DOUBLE, {n, 3});
  double* o = static_cast<double*>(PyArray_DATA(out.array()));
  auto run = [&] { intersect_lines_planes(views[0], views[1], views[2], views[3], epsion, n, o); };
  run_core(n, run);
  return out.release();
}

}  // namespace torvel::surface
