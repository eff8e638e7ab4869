// The calibration file's reader. pickle.load would call whatever the file names; this
// reader is a pickle.Unpickler whose find_class hands out only what NumPy arrays, NumPy
// scalars, dtypes and plain Python values need, and refuses every other global.
#pragma once

#include "surface/py.h"
#include "surface/pyref.h"

namespace torvel::surface {

// open(path, "rb"), one pickled object read from it through the restricted reader, the
// file closed on every path.
PyRef load_pickled(PyObject* path);

}  // namespace torvel::surface
