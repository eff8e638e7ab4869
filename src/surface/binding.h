// Argument binding over a method's registration, with the interpreter's usual message forms.
#pragma once

#include <cstddef>

#include "surface/py.h"
#include "surface/registry.h"

namespace torvel::surface {

// Fills bound[0 .. 1 + entry.params.size()) (self first) from a vectorcall (positional
// values, then the values named by kwnames) and the defaults tuple. Returns false with
// TypeError set.
bool bind_arguments(const MethodSpec& entry, PyObject* defaults, PyObject* const* args,
                    std::size_t nargs, PyObject* kwnames, PyObject** bound);

}  // namespace torvel::surface
