// RAII ownership of Python references and the C++ signal for "a Python error is set".
#pragma once

#include <string>
#include <utility>

#include "surface/py.h"

namespace torvel::surface {

// Thrown after a failing C-API call has set the Python error indicator; the method
// boundary lets that error through unchanged.
struct PythonError {};

[[noreturn]] inline void throw_python_error() { throw PythonError{}; }

// Raises `type` with `message`: the surface's one way to fail with a Python exception of
// its own wording.
[[noreturn]] inline void raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw_python_error();
}

class PyRef {
 public:
  PyRef() = default;
  explicit PyRef(PyObject* owned) : obj_(owned) {}
  static PyRef borrow(PyObject* obj) {
    Py_XINCREF(obj);
    return PyRef(obj);
  }
  // Owns a new reference, or throws PythonError when the call that made it failed.
  static PyRef check(PyObject* owned) {
    if (owned == nullptr) throw_python_error();
    return PyRef(owned);
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(obj_);
      obj_ = std::exchange(other.obj_, nullptr);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(obj_); }

  PyObject* get() const { return obj_; }
  PyObject* release() { return std::exchange(obj_, nullptr); }
  explicit operator bool() const { return obj_ != nullptr; }
  PyArrayObject* array() const { return reinterpret_cast<PyArrayObject*>(obj_); }

 private:
  PyObject* obj_ = nullptr;
};

// Releases the interpreter lock for the core's work.
class AllowThreads {
 public:
  AllowThreads() : state_(PyEval_SaveThread()) {}
  ~AllowThreads() { PyEval_RestoreThread(state_); }
  AllowThreads(const AllowThreads&) = delete;
  AllowThreads& operator=(const AllowThreads&) = delete;

 private:
  PyThreadState* state_;
};

// The one rule for the interpreter lock: the core's work runs with the lock released when it
// visits at least this many elements (pixels, points, samples, or a robust fit's points
// times its trials); below that, releasing and taking the lock back costs more than the work.
inline constexpr npy_intp kReleaseGilFrom = 4096;

// Runs work() under that rule; every *_impl runs its core work through this. work() touches
// no Python object.
template <class Work>
void run_core(npy_intp size, Work&& work) {
  if (size >= kReleaseGilFrom) {
    AllowThreads nogil;
    work();
  } else {
    work();
  }
}

}  // namespace torvel::surface
