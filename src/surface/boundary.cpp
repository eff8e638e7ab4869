#include "surface/boundary.h"

#include <opencv2/core.hpp>
#include <string>

#include "support/error.h"
#include "surface/pyref.h"

#if PY_VERSION_HEX >= 0x030D0000
extern "C" PyAPI_FUNC(void) _PyTraceback_Add(const char*, const char*, int);
#endif

namespace torvel::surface {
namespace {

PyObject* exception_type(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::Value: return PyExc_ValueError;
    case ErrorKind::Index: return PyExc_IndexError;
    case ErrorKind::Type: return PyExc_TypeError;
    case ErrorKind::Overflow: return PyExc_OverflowError;
    case ErrorKind::Runtime: break;
  }
  return PyExc_RuntimeError;
}

void set_attr(PyObject* obj, const char* name, PyObject* value) {
  if (value != nullptr) {
    PyObject_SetAttrString(obj, name, value);
    Py_DECREF(value);
  }
  PyErr_Clear();
}

// cv2.error of the module's own cv2, with OpenCV's message; details go on the instance.
void raise_opencv_error(const ModuleState& state, const cv::Exception& e) {
  PyObject* error_type = nullptr;
  PyRef type_ref;
  try {
    type_ref = cv2_attribute(state, "error");
    if (PyExceptionClass_Check(type_ref.get())) error_type = type_ref.get();
  } catch (const PythonError&) {
  }
  PyErr_Clear();
  if (error_type == nullptr) error_type = PyExc_RuntimeError;
  PyRef instance(PyObject_CallFunction(error_type, "s", e.what()));
  if (!instance) return;  // the constructor's own error stands
  set_attr(instance.get(), "file", PyUnicode_FromString(e.file.c_str()));
  set_attr(instance.get(), "func", PyUnicode_FromString(e.func.c_str()));
  set_attr(instance.get(), "line", PyLong_FromLong(e.line));
  set_attr(instance.get(), "code", PyLong_FromLong(e.code));
  set_attr(instance.get(), "msg", PyUnicode_FromString(e.msg.c_str()));
  set_attr(instance.get(), "err", PyUnicode_FromString(e.err.c_str()));
  PyErr_SetObject(error_type, instance.get());
}

}  // namespace

void add_traceback_entry(const char* method_name) noexcept {
  std::string entry = std::string("torvel.torvel_class.") + method_name;
  _PyTraceback_Add(entry.c_str(), "test_bilinear/torvel", 1);
}

PyObject* run_guarded(const MethodSpec& entry, const ModuleState& state,
                      PyObject* const* bound) noexcept {
  try {
    PyObject* result = entry.call(entry, state, bound + 1);
    if (result != nullptr) return result;
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "method failed without an error");
  } catch (const PythonError&) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "method failed without an error");
  } catch (const Error& e) {
    PyErr_SetString(exception_type(e.kind()), e.what());
  } catch (const cv::Exception& e) {
    raise_opencv_error(state, e);
  } catch (const std::bad_alloc&) {
    PyErr_Format(PyExc_MemoryError, "%s: not enough memory for the working arrays",
                 entry.name);
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unknown C++ exception in torvel");
  }
  return nullptr;
}

}  // namespace torvel::surface
