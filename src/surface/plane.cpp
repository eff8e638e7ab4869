// Bindings of the laser plane fit and the contour-to-plane mapping.
#include <array>
#include <climits>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "geometry/contour_to_plane.h"
#include "geometry/plane_fit.h"
#include "support/error.h"
#include "surface/convert.h"
#include "surface/promotion.h"
#include "surface/registry.h"

namespace torvel::surface {
namespace {

PyRef float64_scalar(double v) {
  return PyRef::check(PyArray_Scalar(&v, PyArray_DescrFromType(NPY_DOUBLE), nullptr));
}

PyRef double_array(const double* data, const std::vector<npy_intp>& shape) {
  PyRef a = new_array(NPY_DOUBLE, shape);
  std::memcpy(PyArray_DATA(a.array()), data, sizeof(double) * size_of(shape));
  return a;
}

PyRef matrix_array(const cv::Matx33d& m) { return double_array(m.val, {3, 3}); }

// The caller's array as n x 3 doubles (a view of it when it already is one).
struct Points {
  PyRef array;  // double, aligned, native
  npy_intp n = 0;
  Rows3View view;
};

// The robust fit's least squares run through LAPACK, whose sizes are int: more points
// are refused by their count, before any conversion or working array is allocated.
void refuse_unaddressable_count(npy_intp n) {
  if (n > INT_MAX)
    raise(PyExc_ValueError, "all_laser_3d_pts: " + std::to_string(n) +
                " points are more than the plane fit can address (at most " +
                std::to_string(INT_MAX) + ")");
}

Points points_as_doubles(PyObject* obj) {
  Points p;
  if (PyArray_Check(obj) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(obj)) == 2)
    refuse_unaddressable_count(PyArray_DIMS(reinterpret_cast<PyArrayObject*>(obj))[0]);
  p.array = to_array(obj, NPY_DOUBLE, "all_laser_3d_pts", false);
  const std::vector<npy_intp> shape = shape_of(p.array.array());
  if (shape.size() != 2 || shape[1] != 3)
    raise(PyExc_ValueError, "all_laser_3d_pts: expected an N x 3 array, got shape " + shape_text(shape));
  p.n = shape[0];
  refuse_unaddressable_count(p.n);
  p.view = rows3_view(p.array.array(), p.n, "all_laser_3d_pts");
  return p;
}

// arr[:, j] = arr[:, j] - O[j] for j = 0, 1, 2, with the interpreter's own indexing and
// NumPy's arithmetic and casting (the caller's element type, e.g. truncation for integers).
void centre_generic(PyObject* obj, const PlaneFrame& f) {
  const double o[3] = {f.plane.Ox_lpts, f.plane.Oy_lpts, f.plane.Oz_lpts};
  PyRef all = PyRef::check(PySlice_New(nullptr, nullptr, nullptr));
  for (int j = 0; j < 3; ++j) {
    PyRef col = PyRef::check(PyLong_FromLong(j));
    PyRef key = PyRef::check(PyTuple_Pack(2, all.get(), col.get()));
    PyRef column = PyRef::check(PyObject_GetItem(obj, key.get()));
    PyRef centred = numpy1_op(PyNumber_Subtract, column.get(), float64_scalar(o[j]).get());
    if (PyObject_SetItem(obj, key.get(), centred.get()) < 0) throw_python_error();
  }
}

// run_core on the n points of all_laser_3d_pts; the working arrays of the fit failing to
// allocate is a MemoryError naming the argument.
template <class Work>
void run_fit(npy_intp n, Work&& work) {
  try {
    run_core(n, work);
  } catch (const std::bad_alloc&) {
    PyErr_Format(PyExc_MemoryError,
                 "all_laser_3d_pts: not enough memory to fit a plane to %zd points",
                 static_cast<Py_ssize_t>(n));
    throw_python_error();
  }
}

bool is_native_float64(PyObject* obj) {
  if (!PyArray_Check(obj)) return false;
  PyArrayObject* a = reinterpret_cast<PyArrayObject*>(obj);
  return PyArray_TYPE(a) == NPY_DOUBLE && PyArray_ISALIGNED(a) && PyArray_ISNOTSWAPPED(a);
}

// (Phi, normal_vec, RRa, RRa_inv, Ox_lpts, Oy_lpts, Oz_lpts, p_cos_one_point, mean_dist,
// shift).
PyObject* plane_result(const LaserPlane& plane) {
  PyRef items[10] = {
      PyRef::check(PyFloat_FromDouble(plane.Phi)),
      double_array(plane.normal_vec.data(), {3}),
      matrix_array(plane.RRa),
      matrix_array(plane.RRa_inv),
      float64_scalar(plane.Ox_lpts),
      float64_scalar(plane.Oy_lpts),
      float64_scalar(plane.Oz_lpts),
      double_array(plane.p_cos_one_point.data(), {3}),
      float64_scalar(plane.mean_dist),
      float64_scalar(plane.shift),
  };
  PyRef result = PyRef::check(PyTuple_New(10));
  for (int i = 0; i < 10; ++i) PyTuple_SET_ITEM(result.get(), i, items[i].release());
  return result.release();
}

PyObject* fit_plane_impl(PyObject* all_laser_3d_pts, double shift_ratio) {
  PyObject* input = all_laser_3d_pts;
  Points pts = points_as_doubles(input);
  const bool in_place = is_native_float64(input) && pts.array.get() == input;

  PlaneFrame frame;
  run_fit(pts.n, [&] { frame = fit_plane_frame(pts.view, static_cast<std::size_t>(pts.n)); });

  // The caller's array is centred in place, in its own element type.
  LaserPlane plane;
  const auto n = static_cast<std::size_t>(pts.n);
  if (in_place) {
    PyArrayObject* a = pts.array.array();
    if (PyArray_FailUnlessWriteable(a, "assignment destination") < 0) throw_python_error();
    double* data = static_cast<double*>(PyArray_DATA(a));
    run_fit(pts.n, [&] {
      plane = centre_and_finish_plane_fit(frame, data, pts.view.row_step, pts.view.col_step, n,
                                          shift_ratio);
    });
  } else {
    centre_generic(input, frame);
    pts = points_as_doubles(input);  // the centred values as stored, e.g. truncated
    run_fit(pts.n, [&] { plane = finish_plane_fit(frame, pts.view, n, shift_ratio); });
  }
  if (plane.empty_below && PyErr_WarnEx(PyExc_RuntimeWarning, "Mean of empty slice.", 1) < 0)
    throw_python_error();

  return plane_result(plane);
}

// Three values given as (3,) or (1, 3).
std::array<double, 3> vector3(const Doubles& a) {
  const std::vector<npy_intp> s = shape_of(a.get());
  if (s != std::vector<npy_intp>{3} && s != std::vector<npy_intp>{1, 3})
    raise(PyExc_ValueError, std::string(a.name) + ": expected 3 values, got shape " + shape_text(s));
  std::array<double, 3> v;
  std::memcpy(v.data(), a.data(), sizeof v);
  return v;
}

cv::Matx33d matrix33(const Doubles& a) {
  if (shape_of(a.get()) != std::vector<npy_intp>{3, 3})
    raise(PyExc_ValueError, std::string(a.name) + ": expected a 3 x 3 array, got shape " +
                                shape_text(shape_of(a.get())));
  cv::Matx33d m;
  std::memcpy(m.val, a.data(), sizeof m.val);
  return m;
}

// The five result arrays of n contour points and the core's view of them.
struct PlaneContourArrays {
  PyRef crt, hor, fx, fy, pts3d;
  explicit PlaneContourArrays(npy_intp n)
      : crt(new_array(NPY_INT32, {n, 1, 2})), hor(new_array(NPY_DOUBLE, {3, n})),
        fx(new_array(NPY_INT64, {n})), fy(new_array(NPY_INT64, {n})),
        pts3d(new_array(NPY_DOUBLE, {n, 3})) {}
  PlaneContourBuffers buffers() const {
    return {static_cast<std::int32_t*>(PyArray_DATA(crt.array())),
            static_cast<double*>(PyArray_DATA(hor.array())),
            static_cast<std::int64_t*>(PyArray_DATA(fx.array())),
            static_cast<std::int64_t*>(PyArray_DATA(fy.array())),
            static_cast<double*>(PyArray_DATA(pts3d.array()))};
  }
};

PyObject* from_cnt2cnt_impl(Doubles xs, Doubles ys, double focus, double pixel_sizer,
                            double pixel_sizec, double center_row, double center_col,
                            Doubles p_cos_one_point, Doubles RRa, Doubles normal_vec) {
  const CameraIntrinsics cam{.focus = focus, .pixel_sizer = pixel_sizer,
                             .pixel_sizec = pixel_sizec, .center_row = center_row,
                             .center_col = center_col};
  const std::vector<npy_intp> shape = shape_of(xs.get());
  if (shape.size() != 1 || shape != shape_of(ys.get()))
    raise(PyExc_ValueError,
          "xs, ys: expected two one-dimensional arrays of one length, got shapes " +
              shape_text(shape) + " and " + shape_text(shape_of(ys.get())));
  const std::array<double, 3> point = vector3(p_cos_one_point);
  const std::array<double, 3> nrm = vector3(normal_vec);
  const cv::Matx33d R = matrix33(RRa);

  const npy_intp n = shape[0];
  const PlaneContourArrays out(n);
  run_core(n, [&] {
    contour_to_plane(VectorView{xs.data(), 1}, VectorView{ys.data(), 1},
                     static_cast<std::size_t>(n), cam, point, R, nrm, out.buffers());
  });
  return PyTuple_Pack(5, out.crt.get(), out.hor.get(), out.fx.get(), out.fy.get(),
                      out.pts3d.get());
}

// ---- registrations ----------------------------------------------------------------

const MethodSpec registrations[] = {
    method<fit_plane_impl>(
        3, "fit_plane",
        "Fit the laser plane robustly to 3-D points and derive the plane frame.\n\n"
        "all_laser_3d_pts: N x 3 array, camera frame (mm); centred in place on the plane point O.\n"
        "shift_ratio: scale of the offset of p_cos_one_point along z.\n"
        "Returns (Phi [rad], normal_vec (3,), RRa (3, 3) camera->plane, RRa_inv, Ox_lpts, "
        "Oy_lpts,\nOz_lpts, p_cos_one_point (3,), mean_dist, shift), float64 throughout.",
        {"all_laser_3d_pts", "shift_ratio"}),
    method<from_cnt2cnt_impl>(
        12, "from_cnt2cnt",
        "Map an image contour onto the laser plane as an integer contour in plane units.\n\n"
        "xs, ys: contour columns and rows (N); camera intrinsics as get_line_of_sight_pts;\n"
        "p_cos_one_point (3,), RRa (3, 3), normal_vec (3,) from fit_plane.\n"
        "Returns (crt N x 1 x 2 int32 in 1e-4 length units, hor_points2 3 x N float64, fx, fy\n"
        "int64, pts3d_contour N x 3 float64).",
        {"xs", "ys", "focus", "pixel_sizer", "pixel_sizec", "center_row", "center_col", "p_cos_one_point", "RRa", "normal_vec"}),
};

}  // namespace

std::span<const MethodSpec> plane_methods() { return registrations; }

}  // namespace torvel::surface
