// A function type of our own that binds like a Python function: vectorcall, bound to
// instances on attribute access, with __name__, __qualname__, __module__, __defaults__,
// __doc__ and an inspect-readable __signature__.
#pragma once

#include "surface/methods.h"
#include "surface/py.h"

namespace torvel::surface {

// Creates the method object for one table entry; defaults are the shared objects.
PyObject* new_method(const MethodSpec& entry, PyObject* defaults_tuple);

// Ready the type once at import.
int ready_method_type();

}  // namespace torvel::surface
