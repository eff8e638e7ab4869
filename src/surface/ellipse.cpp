// Binding of the error ellipse (not built yet).
#include "support/error.h"
#include "surface/methods.h"

namespace torvel::surface {

PyObject* plot_ellipse_impl(PyObject* const*) { throw Error(ErrorKind::NotImplemented, "plot_ellipse is not implemented yet"); }

}  // namespace torvel::surface
