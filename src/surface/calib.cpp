// Bindings of the calibration file and undistortion (not built yet).
#include "support/error.h"
#include "surface/methods.h"

namespace torvel::surface {

PyObject* get_calib_res0_impl(PyObject* const*) { throw Error(ErrorKind::NotImplemented, "get_calib_res0 is not implemented yet"); }
PyObject* get_calib_res_impl(PyObject* const*) { throw Error(ErrorKind::NotImplemented, "get_calib_res is not implemented yet"); }
PyObject* undistortion_impl(PyObject* const*) { throw Error(ErrorKind::NotImplemented, "undistortion is not implemented yet"); }
PyObject* undistort_bilinear_impl(PyObject* const*) { throw Error(ErrorKind::NotImplemented, "undistort_bilinear is not implemented yet"); }

}  // namespace torvel::surface
