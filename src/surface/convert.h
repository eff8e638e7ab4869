// Conversions between Python arguments and the core's views. Every conversion error
// names the argument; arrays already of the wanted dtype and layout are not copied.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/strided.h"
#include "surface/py.h"
#include "surface/pyref.h"

namespace torvel::surface {

// An aligned, native-order array of `typenum` viewing or converting obj (NumPy's own
// conversion rules, "safe" casting). With contiguous, also C-contiguous.
PyRef to_array(PyObject* obj, int typenum, const char* argname, bool contiguous = true);

// A real number from a Python or NumPy number (float(x) semantics).
double to_double(PyObject* obj, const char* argname);

// An argument that must be one number but is an array of at least this many values is
// refused before any arithmetic on it: NumPy would first compute at its full size (a
// zero-stride view's included) what can never become one number.
inline constexpr npy_intp kLargestNumberArray = npy_intp{1} << 16;

// Is obj an ndarray of kLargestNumberArray values or more?
inline bool is_large_array(PyObject* obj) {
  return PyArray_Check(obj) &&
         PyArray_SIZE(reinterpret_cast<PyArrayObject*>(obj)) >= kLargestNumberArray;
}

// A new C-contiguous array.
PyRef new_array(int typenum, const std::vector<npy_intp>& shape);

inline std::vector<npy_intp> shape_of(PyArrayObject* a) {
  return std::vector<npy_intp>(PyArray_DIMS(a), PyArray_DIMS(a) + PyArray_NDIM(a));
}
inline npy_intp size_of(const std::vector<npy_intp>& shape) {
  npy_intp n = 1;
  for (npy_intp d : shape) n *= d;
  return n;
}

// NumPy broadcasting of several shapes; ValueError in NumPy's words when they do not.
std::vector<npy_intp> broadcast_shapes(const std::vector<std::vector<npy_intp>>& shapes,
                                       const char* what);

// An array of `shape` holding `a` broadcast to it: `a` itself when the shape is already
// right, else a contiguous copy.
PyRef broadcast_to(PyRef a, const std::vector<npy_intp>& shape);

// Rows of three doubles of a double array broadcastable to (n, 3), without a copy.
Rows3View rows3_view(PyArrayObject* a, npy_intp n, const char* argname);

// "(2, 3)" for messages.
std::string shape_text(const std::vector<npy_intp>& shape);

// Sets the Python error for a failed conversion of argname, keeping its type.
[[noreturn]] void rethrow_naming(const char* argname);

// Is obj integral in NumPy's sense (an integer or bool array or scalar, or a Python int)?
bool is_integer_kind(PyObject* original);

}  // namespace torvel::surface
