#include "surface/convert.h"

#include <string>

#include "surface/promotion.h"

namespace torvel::surface {

void rethrow_naming(const char* argname) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  const bool plain = type == PyExc_ValueError || type == PyExc_TypeError ||
                     type == PyExc_OverflowError || type == PyExc_IndexError;
  // NumPy's allocation failure is a subclass of MemoryError; it becomes a MemoryError
  // naming the argument whose conversion needed the memory.
  const bool memory = type != nullptr && PyErr_GivenExceptionMatches(type, PyExc_MemoryError);
  if ((plain || memory) && value != nullptr) {
    PyErr_Format(memory ? PyExc_MemoryError : type, "%s: %S", argname, value);
    Py_DECREF(type);
    Py_DECREF(value);
    Py_XDECREF(traceback);
  } else {
    PyErr_Restore(type, value, traceback);
  }
  throw_python_error();
}

PyRef to_array(PyObject* obj, int typenum, const char* argname, bool contiguous) {
  int flags = NPY_ARRAY_ALIGNED | NPY_ARRAY_NOTSWAPPED;
  if (contiguous) flags |= NPY_ARRAY_C_CONTIGUOUS;
  PyObject* arr = PyArray_FromAny(obj, PyArray_DescrFromType(typenum), 0, 0, flags, nullptr);
  if (arr == nullptr) rethrow_naming(argname);
  return PyRef(arr);
}

double to_double(PyObject* obj, const char* argname) {
  if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
  // An array of text converts through float() of its element, which parses it; the
  // arithmetic this number takes part in has no loop for text, so it is no number.
  if (PyArray_Check(obj)) {
    PyArray_Descr* d = PyArray_DESCR(reinterpret_cast<PyArrayObject*>(obj));
    if (d->kind == 'U' || d->kind == 'S') {
      PyErr_Format(PyExc_TypeError, "%s: must be real number, not an array of dtype %S",
                   argname, reinterpret_cast<PyObject*>(d));
      throw_python_error();
    }
  }
  try {
    return numpy1_float(obj);
  } catch (const PythonError&) {
    rethrow_naming(argname);
  }
}

PyRef new_array(int typenum, const std::vector<npy_intp>& shape) {
  return PyRef::check(PyArray_SimpleNew(static_cast<int>(shape.size()),
                                        const_cast<npy_intp*>(shape.data()), typenum));
}

std::string shape_text(const std::vector<npy_intp>& shape) {
  std::string s = "(";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (i) s += ", ";
    s += std::to_string(shape[i]);
  }
  if (shape.size() == 1) s += ",";
  return s + ")";
}

std::vector<npy_intp> broadcast_shapes(const std::vector<std::vector<npy_intp>>& shapes,
                                       const char* what) {
  std::size_t nd = 0;
  for (const auto& s : shapes) nd = std::max(nd, s.size());
  std::vector<npy_intp> out(nd, 1);
  for (const auto& s : shapes) {
    for (std::size_t k = 0; k < s.size(); ++k) {
      npy_intp& o = out[nd - s.size() + k];
      const npy_intp d = s[k];
      if (d == o || d == 1) continue;
      if (o == 1) {
        o = d;
        continue;
      }
      std::string msg = std::string(what) + ": operands could not be broadcast together with shapes";
      for (const auto& t : shapes) msg += " " + shape_text(t);
      raise(PyExc_ValueError, msg);
    }
  }
  return out;
}

PyRef broadcast_to(PyRef a, const std::vector<npy_intp>& shape) {
  if (shape_of(a.array()) == shape) return a;
  PyRef out = new_array(PyArray_TYPE(a.array()), shape);
  if (PyArray_CopyInto(out.array(), a.array()) < 0) throw_python_error();
  return out;
}

Rows3View rows3_view(PyArrayObject* a, npy_intp n, const char* argname) {
  const int nd = PyArray_NDIM(a);
  const npy_intp* dims = PyArray_DIMS(a);
  const npy_intp* strides = PyArray_STRIDES(a);
  auto step = [&](int axis, npy_intp want) -> npy_intp {
    if (dims[axis] == want && want != 1) return strides[axis] / npy_intp(sizeof(double));
    if (dims[axis] == 1) return 0;
    std::string msg = std::string(argname) + ": shape " + shape_text(shape_of(a)) +
                      " does not broadcast to (" + std::to_string(n) + ", 3)";
    raise(PyExc_ValueError, msg);
  };
  Rows3View v;
  v.data = static_cast<const double*>(PyArray_DATA(a));
  if (nd == 0) {
    v.row_step = v.col_step = 0;
  } else if (nd == 1) {
    v.row_step = 0;
    v.col_step = step(0, 3);
  } else if (nd == 2) {
    v.row_step = step(0, n);
    v.col_step = step(1, 3);
  } else {
    std::string msg = std::string(argname) + ": expected an N x 3 array, got shape " +
                      shape_text(shape_of(a));
    raise(PyExc_ValueError, msg);
  }
  return v;
}

bool is_integer_kind(PyObject* obj) {
  if (PyArray_Check(obj)) {
    const char kind = PyArray_DESCR(reinterpret_cast<PyArrayObject*>(obj))->kind;
    return kind == 'i' || kind == 'u' || kind == 'b';
  }
  if (PyArray_IsScalar(obj, Integer) || PyArray_IsScalar(obj, Bool) || PyLong_Check(obj)) {
    return true;
  }
  if (PyFloat_Check(obj) || PyComplex_Check(obj) || PyArray_IsScalar(obj, Generic)) return false;
  PyRef natural(PyArray_FROM_O(obj));
  if (!natural) {
    PyErr_Clear();
    return false;
  }
  return is_integer_kind(natural.get());
}

}  // namespace torvel::surface
