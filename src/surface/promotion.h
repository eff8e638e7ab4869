// Arithmetic on caller values with the type promotion of NumPy 1.x, whichever NumPy is
// installed. NumPy 2 lets a Python number take the other operand's type (int32 ** 2 stays
// int32 and can overflow) and keeps a NumPy scalar's own type against an array; NumPy 1
// gave a Python number its default type (int64, float64) against scalars and let a
// scalar's value choose the type against arrays. The library's results are the 1.x ones.
#pragma once

#include "surface/py.h"
#include "surface/pyref.h"

namespace torvel::surface {

// op(a, b) (PyNumber_Add, PyNumber_Subtract, ...) after casting the scalar operands to
// the type NumPy 1.x gives the operation. Operands that are not numbers NumPy promotes
// (objects, texts, two plain Python numbers) go to op unchanged.
PyRef numpy1_op(binaryfunc op, PyObject* a, PyObject* b);

// int(v) and float(v) as under NumPy 1.x, where an array of one element of any dimension
// converts to a number (NumPy 2.5 takes only 0-d arrays).
PyRef numpy1_int(PyObject* v);
double numpy1_float(PyObject* v);

}  // namespace torvel::surface
