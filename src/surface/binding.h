// Argument binding over the method table, with the interpreter's usual message forms.
#pragma once

#include <cstddef>

#include "surface/methods.h"
#include "surface/py.h"

namespace torvel::surface {

// Largest parameter count of any method (self included).
inline constexpr std::size_t kMaxParams = 16;

// Fills bound[0 .. entry.params.size()) from a vectorcall (positional values, then the
// values named by kwnames) and the defaults tuple. Returns false with TypeError set.
bool bind_arguments(const MethodSpec& entry, PyObject* defaults, PyObject* const* args,
                    std::size_t nargs, PyObject* kwnames, PyObject** bound);

}  // namespace torvel::surface
