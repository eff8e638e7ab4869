// Binding of the laser line extraction (not built yet).
#include "support/error.h"
#include "surface/methods.h"

namespace torvel::surface {

PyObject* get_laser_line_impl(PyObject* const*) { throw Error(ErrorKind::NotImplemented, "get_laser_line is not implemented yet"); }

}  // namespace torvel::surface
