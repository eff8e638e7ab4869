// The one exception boundary of every method call.
#pragma once

#include "surface/methods.h"
#include "surface/py.h"

namespace torvel::surface {

// Runs entry.impl on bound arguments. Any C++ exception becomes the matching Python
// exception (torvel::Error by kind, cv::Exception as cv2.error); nothing escapes.
PyObject* run_guarded(const MethodSpec& entry, PyObject* const* args) noexcept;

// Adds the traceback entry "torvel.torvel_class.<name>" to the pending exception.
void add_traceback_entry(const char* method_name) noexcept;

// Remembers the module, whose namespace holds the bound cv2.
void set_module(PyObject* module) noexcept;

}  // namespace torvel::surface
