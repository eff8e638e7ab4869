// A function type of our own that binds like a Python function: vectorcall, bound to
// instances on attribute access, with __name__, __qualname__, __module__, __defaults__,
// __doc__ and an inspect-readable __signature__.
#pragma once

#include "surface/py.h"
#include "surface/registry.h"

namespace torvel::surface {

// Creates the method object for one registration; defaults are the shared objects. The
// method keeps the module, whose state its calls use.
PyObject* new_method(const MethodSpec& entry, PyObject* defaults_tuple, PyObject* module);

// Ready the type once at import.
int ready_method_type();

}  // namespace torvel::surface
