// Bindings of the camera model and the line-plane intersection.
#include <cmath>
#include <cstdint>

#include "geometry/camera.h"
#include "geometry/intersect.h"
#include "surface/convert.h"
#include "surface/registry.h"
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

// A 0-d result as a NumPy scalar, any other as itself.
PyRef array_or_scalar(PyRef a) {
  PyObject* r = PyArray_Return(a.array());
  a.release();
  return PyRef(r);
}

bool is_numpy_object(PyObject* obj) { return PyArray_Check(obj) || PyArray_IsScalar(obj, Generic); }

// A large coordinate array is refused before any arithmetic: the distance is one number,
// which an array of more than one value never gives.
void refuse_large_coordinate(PyObject* coordinate, const char* point, int index) {
  if (!is_large_array(coordinate)) return;
  PyArrayObject* a = reinterpret_cast<PyArrayObject*>(coordinate);
  const std::string msg = std::string(point) + ": coordinate " + std::to_string(index) +
                          " is an array of shape " + shape_text(shape_of(a)) +
                          ", not one number";
  raise(PyExc_TypeError, msg);
}

PyObject* distance_2pts_impl(Arg p1, Arg p2) {
  PyRef a0 = PyRef::check(item(p1.obj, 0));
  PyRef a1 = PyRef::check(item(p1.obj, 1));
  PyRef b0 = PyRef::check(item(p2.obj, 0));
  PyRef b1 = PyRef::check(item(p2.obj, 1));
  double x1, y1, x2, y2;
  if (plain_number(a0.get(), &x1) && plain_number(a1.get(), &y1) &&
      plain_number(b0.get(), &x2) && plain_number(b1.get(), &y2)) {
    return PyFloat_FromDouble(distance_2pts(x1, y1, x2, y2));
  }
  refuse_large_coordinate(a0.get(), p1.name, 0);
  refuse_large_coordinate(a1.get(), p1.name, 1);
  refuse_large_coordinate(b0.get(), p2.name, 0);
  refuse_large_coordinate(b1.get(), p2.name, 1);
  PyRef sum = numpy1_op(PyNumber_Add, squared_difference(a0.get(), b0.get()).get(),
                        squared_difference(a1.get(), b1.get()).get());
  const double s = numpy1_float(sum.get());
  if (s < 0) {
    raise(PyExc_ValueError, "math domain error");
  }
  return PyFloat_FromDouble(std::sqrt(s));
}

PyObject* get_line_of_sight_pts_impl(Doubles rows, Doubles cols, double focus, double pixel_sizer,
                                     double pixel_sizec, double center_row, double center_col) {
  const CameraIntrinsics cam{.focus = focus, .pixel_sizer = pixel_sizer,
                             .pixel_sizec = pixel_sizec, .center_row = center_row,
                             .center_col = center_col};
  const std::vector<npy_intp> shape = shape_of(rows.get());
  if (shape != shape_of(cols.get())) {
    const std::string msg = "rows and cols must have one shape, got " + shape_text(shape) +
                            " and " + shape_text(shape_of(cols.get()));
    raise(PyExc_ValueError, msg);
  }
  std::vector<npy_intp> out_shape{3};
  out_shape.insert(out_shape.end(), shape.begin(), shape.end());
  PyRef out = new_array(NPY_DOUBLE, out_shape);
  const npy_intp n = size_of(shape);
  double* o = static_cast<double*>(PyArray_DATA(out.array()));
  auto run = [&] { lines_of_sight(rows.data(), cols.data(), n, cam, o, o + n, o + 2 * n); };
  run_core(n, run);
  return out.release();
}

PyObject* get_img_coord_from_3d_pts_impl(Doubles x_in, Doubles y_in, Doubles z_in, Number focus,
                                         Number center_col, Number center_row,
                                         Number pixel_sizec, Number pixel_sizer) {
  const CameraIntrinsics cam{.focus = focus.value, .pixel_sizer = pixel_sizer.value,
                             .pixel_sizec = pixel_sizec.value, .center_row = center_row.value,
                             .center_col = center_col.value};
  PyRef x = std::move(x_in.array);
  PyRef y = std::move(y_in.array);
  PyRef z = std::move(z_in.array);
  const std::vector<npy_intp> shape = broadcast_shapes(
      {shape_of(x.array()), shape_of(y.array()), shape_of(z.array())}, "x, y, z");
  if (shape.empty()) {
    bool any_numpy = false;
    for (PyObject* given : {x_in.given, y_in.given, z_in.given, focus.given, center_col.given,
                            center_row.given, pixel_sizec.given, pixel_sizer.given}) {
      any_numpy = any_numpy || is_numpy_object(given);
    }
    if (!any_numpy) {
      // Plain numbers give a plain float, which has no integer-array conversion.
      raise(PyExc_AttributeError, "'float' object has no attribute 'astype'");
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
  PyRef row_result = array_or_scalar(std::move(row));
  PyRef col_result = array_or_scalar(std::move(col));
  return PyTuple_Pack(2, row_result.get(), col_result.get());
}

PyObject* intersect_line_plane_impl(StridedDoubles vecpt0s, StridedDoubles vecpt1s,
                                    StridedDoubles p_cos, StridedDoubles p_nos, double epsion) {
  StridedDoubles* arrays[4] = {&vecpt0s, &vecpt1s, &p_cos, &p_nos};

  // The directions vecpt1s - vecpt0s carry the rows; their sums run along axis 1.
  const std::vector<npy_intp> lines =
      broadcast_shapes({shape_of(vecpt0s.get()), shape_of(vecpt1s.get())},
                       "vecpt0s, vecpt1s");
  if (lines.size() != 2) {
    const std::string msg =
        lines.size() < 2
            ? "vecpt0s, vecpt1s: axis 1 is out of bounds for array of dimension " +
                  std::to_string(lines.size())
            : "vecpt0s, vecpt1s: expected N x 3 arrays, got shape " + shape_text(lines);
    raise(PyExc_ValueError, msg);
  }
  const npy_intp n = lines[0];
  Rows3View views[4];
  for (int i = 0; i < 4; ++i) views[i] = rows3_view(arrays[i]->get(), n, arrays[i]->name);

  // With integral directions and normals the dot products are integers, which cannot
  // hold the +inf that marks a parallel line.
  if (is_integer_kind(vecpt0s.given) && is_integer_kind(vecpt1s.given) &&
      is_integer_kind(p_nos.given) &&
      any_parallel(views[0], views[1], views[3], epsion, n)) {
    raise(PyExc_OverflowError, "cannot convert float infinity to integer");
  }
  PyRef out = new_array(NPY_DOUBLE, {n, 3});
  double* o = static_cast<double*>(PyArray_DATA(out.array()));
  auto run = [&] { intersect_lines_planes(views[0], views[1], views[2], views[3], epsion, n, o); };
  run_core(n, run);
  return out.release();
}

// ---- registrations ----------------------------------------------------------------

const MethodSpec registrations[] = {
    method<distance_2pts_impl>(
        2, "distance_2pts",
        "Euclidean distance of two points in their first two coordinates.\n\n"
        "p1, p2: indexable points (x, y, ...); further coordinates are ignored.\n"
        "Returns a float, in the points' unit.",
        {"p1", "p2"}),
    method<intersect_line_plane_impl>(
        4, "intersect_line_plane",
        "Intersect line i with plane i for N lines at once.\n\n"
        "vecpt0s, vecpt1s: N x 3 first and second points of the lines (camera frame).\n"
        "p_cos, p_nos: N x 3 or (3,) plane points and normals; epsion: parallelism threshold.\n"
        "Returns N x 3 float64 points; a line parallel to its plane gives its first point.",
        {"vecpt0s", "vecpt1s", "p_cos", "p_nos", {"epsion", 1e-6}}),
    method<get_img_coord_from_3d_pts_impl>(
        5, "get_img_coord_from_3d_pts",
        "Project camera-frame 3-D points to integer pixel rows and columns.\n\n"
        "x, y, z: arrays of one shape (camera frame, mm); focus, pixel pitches in mm,\n"
        "center_col, center_row in pixels.\n"
        "Returns (row, col): int64 arrays of that shape, truncated toward zero.",
        {"x", "y", "z", "focus", "center_col", "center_row", "pixel_sizec", "pixel_sizer"}),
    method<get_line_of_sight_pts_impl>(
        11, "get_line_of_sight_pts",
        "Unit lines of sight of pixels in the camera frame.\n\n"
        "rows, cols: pixel coordinates of one shape S; focus, pixel_sizer, pixel_sizec in mm;\n"
        "center_row, center_col in pixels.\n"
        "Returns a 3 x S float64 array of unit vectors (x, y, z along the first axis).",
        {"rows", "cols", "focus", "pixel_sizer", "pixel_sizec", "center_row", "center_col"}),
};

}  // namespace

std::span<const MethodSpec> geometry_methods() { return registrations; }

}  // namespace torvel::surface
