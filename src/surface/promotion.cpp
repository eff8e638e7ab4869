#include "surface/promotion.h"

#include <optional>

namespace torvel::surface {
namespace {

// Kinds in NumPy's order of promotion: bool < integer < real < complex.
int category(PyArray_Descr* d) {
  switch (d->kind) {
    case 'b': return 0;
    case 'i':
    case 'u': return 1;
    case 'f': return 2;
    case 'c': return 3;
    default: return -1;
  }
}

bool is_python_number(PyObject* v) {
  return PyBool_Check(v) || PyLong_Check(v) || PyFloat_Check(v) || PyComplex_Check(v);
}

struct Operand {
  PyRef array;  // the value as NumPy holds it (0-d for a scalar)
  bool scalar;
};

std::optional<Operand> numeric(PyObject* v) {
  bool scalar;
  if (PyArray_Check(v)) {
    scalar = PyArray_NDIM(reinterpret_cast<PyArrayObject*>(v)) == 0;
  } else if (PyArray_IsScalar(v, Number) || PyArray_IsScalar(v, Bool) || is_python_number(v)) {
    scalar = true;
  } else {
    return std::nullopt;
  }
  PyRef a(PyArray_FROM_O(v));
  if (!a) {
    PyErr_Clear();
    return std::nullopt;
  }
  if (category(PyArray_DESCR(a.array())) < 0) return std::nullopt;  // e.g. a huge int
  return Operand{std::move(a), scalar};
}

// NumPy 1.x's result type: against arrays, a scalar of no higher kind counts by its value.
PyArray_Descr* legacy_result_type(const Operand& x, const Operand& y) {
  auto descr = [](const Operand& o, bool by_value) {
    PyArrayObject* a = o.array.array();
    if (by_value) return PyArray_MinScalarType(a);
    Py_INCREF(PyArray_DESCR(a));
    return PyArray_DESCR(a);
  };
  bool x_by_value = false, y_by_value = false;
  if (x.scalar != y.scalar) {
    const Operand& s = x.scalar ? x : y;
    const Operand& arr = x.scalar ? y : x;
    const bool by_value = category(PyArray_DESCR(s.array.array())) <=
                          category(PyArray_DESCR(arr.array.array()));
    (x.scalar ? x_by_value : y_by_value) = by_value;
  }
  PyArray_Descr* dx = descr(x, x_by_value);
  PyArray_Descr* dy = descr(y, y_by_value);
  PyArray_Descr* r = (dx && dy) ? PyArray_PromoteTypes(dx, dy) : nullptr;
  Py_XDECREF(dx);
  Py_XDECREF(dy);
  return r;
}

// A scalar operand as a 0-d array of the result type: under NumPy 2 a 0-d array takes
// part in promotion with its own type, so the operation then runs in that type.
PyRef cast_scalar(const Operand& o, PyArray_Descr* type) {
  Py_INCREF(type);
  return PyRef::check(PyArray_CastToType(o.array.array(), type, 0));
}

// An array of one element of one or more dimensions: that element; else v itself.
PyRef one_element(PyObject* v) {
  if (PyArray_Check(v)) {
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(v);
    if (PyArray_NDIM(a) > 0 && PyArray_SIZE(a) == 1) {
      return PyRef::check(PyArray_GETITEM(a, static_cast<char*>(PyArray_DATA(a))));
    }
  }
  return PyRef::borrow(v);
}

}  // namespace

PyRef numpy1_int(PyObject* v) { return PyRef::check(PyNumber_Long(one_element(v).get())); }

double numpy1_float(PyObject* v) {
  const double d = PyFloat_AsDouble(one_element(v).get());
  if (d == -1.0 && PyErr_Occurred()) throw_python_error();
  return d;
}

PyRef numpy1_op(binaryfunc op, PyObject* a, PyObject* b) {
  std::optional<Operand> x = numeric(a), y = numeric(b);
  if (!x || !y || (is_python_number(a) && is_python_number(b))) return PyRef::check(op(a, b));
  PyArray_Descr* type = legacy_result_type(*x, *y);
  if (type == nullptr) throw_python_error();
  PyRef ca = x->scalar ? cast_scalar(*x, type) : PyRef::borrow(a);
  PyRef cb = y->scalar ? cast_scalar(*y, type) : PyRef::borrow(b);
  Py_DECREF(type);
  return PyRef::check(op(ca.get(), cb.get()));
}

}  // namespace torvel::surface
