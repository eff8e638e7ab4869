// Binding of the error ellipse.
#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "ellipse/ellipse.h"
#include "surface/convert.h"
#include "surface/promotion.h"
#include "surface/registry.h"

namespace torvel::surface {
namespace {

[[noreturn]] void raise_linalg_error(const std::string& message) {
  PyRef linalg = PyRef::check(PyImport_ImportModule("numpy.linalg"));
  PyRef type = PyRef::check(PyObject_GetAttrString(linalg.get(), "LinAlgError"));
  raise(type.get(), message);
}

// The covariance as the 2 x 2 matrix the decomposition takes, failing where the
// decomposition or the later steps fail for other shapes.
std::array<double, 4> covariance(PyObject* cov) {
  PyRef a = to_array(cov, NPY_DOUBLE, "cov");
  const std::vector<npy_intp> shape = shape_of(a.array());
  if (shape.size() < 2) {
    raise_linalg_error(std::to_string(shape.size()) +
                       "-dimensional array given. Array must be at least two-dimensional");
  }
  if (shape.size() > 2) {
    raise(PyExc_ValueError, "cov: a stack of matrices " + shape_text(shape) +
                                     " is not one 2 x 2 covariance");
  }
  const npy_intp rows = shape[0];
  const npy_intp cols = shape[1];
  if (rows < 2 || cols < 2) {
    // Fewer than two singular values.
    const npy_intp k = rows < cols ? rows : cols;
    if (k == 0) raise(PyExc_IndexError, "index 0 is out of bounds for axis 0 with size 0");
    raise(PyExc_IndexError, "index 1 is out of bounds for axis 0 with size " + std::to_string(k));
  }
  if (rows != 2) {
    // The first row of the rows x rows left factor against [1, 0].
    const std::string n = std::to_string(rows);
    raise(PyExc_ValueError,
               "shapes (" + n + ",) and (2,) not aligned: " + n + " (dim 0) != 2 (dim 0)");
  }
  if (cols != 2) {
    raise(PyExc_ValueError, "cov: expected a 2 x 2 matrix, got shape " + shape_text(shape));
  }
  const double* v = static_cast<const double*>(PyArray_DATA(a.array()));
  for (int i = 0; i < 4; ++i) {
    if (v[i] != v[i]) raise_linalg_error("SVD did not converge");
  }
  return {v[0], v[1], v[2], v[3]};
}

// ax, plot_kwargs, fill, fill_kwargs and data_out are not read.
PyObject* plot_ellipse_impl(PyObject* semimaj, PyObject* semimin, PyObject* phi, PyObject* x_cent,
                            PyObject* y_cent, PyObject* theta_num, PyObject* /*ax*/,
                            PyObject* /*plot_kwargs*/, PyObject* /*fill*/,
                            PyObject* /*fill_kwargs*/, PyObject* /*data_out*/, PyObject* cov,
                            PyObject* mass_level) {
  EllipseShape shape;
  const bool from_cov = cov != Py_None;
  if (from_cov) {
    const std::array<double, 4> c = covariance(cov);
    std::optional<double> mass;
    if (mass_level != Py_None) mass = to_double(mass_level, "mass_level");
    shape = ellipse_from_covariance(c[0], c[1], c[2], c[3], mass);
  }

  PyRef n_obj = numpy1_int(theta_num);
  int overflow = 0;
  const long long n = PyLong_AsLongLongAndOverflow(n_obj.get(), &overflow);
  if (n == -1 && PyErr_Occurred()) throw_python_error();
  if (overflow > 0) raise(PyExc_ValueError, "Maximum allowed size exceeded");
  if (overflow < 0 || n < 0) {
    raise(PyExc_ValueError, "Number of samples, " +
                                     std::string(overflow < 0 ? "(very negative)" : std::to_string(n)) +
                                     ", must be non-negative.");
  }
  if (!from_cov) {
    shape.semimaj = to_double(semimaj, "semimaj");
    shape.semimin = to_double(semimin, "semimin");
    shape.phi = to_double(phi, "phi");
  }
  const double xc = to_double(x_cent, "x_cent");
  const double yc = to_double(y_cent, "y_cent");

  PyRef data = new_array(NPY_DOUBLE, {2, static_cast<npy_intp>(n)});
  double* d = static_cast<double*>(PyArray_DATA(data.array()));
  run_core(static_cast<npy_intp>(n), [&] { ellipse_outline(shape, xc, yc, n, d, d + n); });
  PyRef x = PyRef::check(PySequence_GetItem(data.get(), 0));
  PyRef y = PyRef::check(PySequence_GetItem(data.get(), 1));
  return PyTuple_Pack(2, x.get(), y.get());
}

// ---- registrations ----------------------------------------------------------------

const MethodSpec registrations[] = {
    method<plot_ellipse_impl>(
        7, "plot_ellipse",
        "Outline of an ellipse from semi-axes and angle, or from a 2 x 2 covariance.\n\n"
        "semimaj, semimin, phi [rad], x_cent, y_cent; theta_num points (truncated to int);\n"
        "cov: 2 x 2 covariance replacing the axes and angle, scaled to enclose mass_level\n"
        "(None: the scale sqrt(2.279)). ax, plot_kwargs, fill, fill_kwargs, data_out: ignored.\n"
        "Returns (x, y): two float64 arrays of theta_num points, rows of one 2 x n array.",
        {{"semimaj", 1}, {"semimin", 1}, {"phi", 0}, {"x_cent", 0}, {"y_cent", 0}, {"theta_num", 1e3}, {"ax", none}, {"plot_kwargs", none}, {"fill", false}, {"fill_kwargs", none}, {"data_out", false}, {"cov", none}, {"mass_level", 0.68}}),
};

}  // namespace

std::span<const MethodSpec> ellipse_methods() { return registrations; }

}  // namespace torvel::surface
