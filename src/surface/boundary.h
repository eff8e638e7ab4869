// The one exception boundary of every method call.
#pragma once

#include "surface/py.h"
#include "surface/registry.h"

namespace torvel::surface {

// Runs the method on bound arguments (self first). Any C++ exception becomes the matching
// Python exception (torvel::Error by kind, cv::Exception as the module's cv2.error);
// nothing escapes.
PyObject* run_guarded(const MethodSpec& entry, const ModuleState& state,
                      PyObject* const* bound) noexcept;

// Adds the traceback entry "torvel.torvel_class.<name>" to the pending exception.
void add_traceback_entry(const char* method_name) noexcept;

}  // namespace torvel::surface
