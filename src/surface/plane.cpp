// Bindings of the laser plane fit and the contour-to-plane mapping (not built yet).
#include "support/error.h"
#include "surface/methods.h"

namespace torvel::surface {

PyObject* fit_plane_impl(PyObject* const*) { throw Error(ErrorKind::NotImplemented, "fit_plane is not implemented yet"); }
PyObject* from_cnt2cnt_impl(PyObject* const*) { throw Error(ErrorKind::NotImplemented, "from_cnt2cnt is not implemented yet"); }

}  // namespace torvel::surface
