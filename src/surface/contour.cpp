// Binding of the axis measurement (not built yet).
#include "support/error.h"
#include "surface/methods.h"

namespace torvel::surface {

PyObject* get_short_long_intersection_impl(PyObject* const*) { throw Error(ErrorKind::NotImplemented, "get_short_long_intersection is not implemented yet"); }

}  // namespace torvel::surface
