// Bindings of the calibration file reader and the two undistortion methods.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "calib/undistort.h"
#include "support/error.h"
#include "surface/convert.h"
#include "surface/promotion.h"
#include "surface/methods.h"

namespace torvel::surface {
namespace {

[[noreturn]] void raise_python(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw_python_error();
}

// ---- the calibration file ----------------------------------------------------------
//
// pickle.load would call whatever the file names. The reader is a pickle.Unpickler whose
// find_class hands out only what NumPy arrays, NumPy scalars, dtypes and plain Python
// values need, resolved here (never imported by the name the file gives), and refuses
// every other global with pickle.UnpicklingError.

PyObject* unpickling_error_type() {
  PyRef pickle = PyRef::check(PyImport_ImportModule("pickle"));
  return PyObject_GetAttrString(pickle.get(), "UnpicklingError");
}

[[noreturn]] void refuse(const std::string& what) {
  PyRef type = PyRef::check(unpickling_error_type());
  const std::string msg = "refused to load " + what +
                          ": a calibration file may hold only NumPy arrays and plain Python values";
  PyErr_SetString(type.get(), msg.c_str());
  throw_python_error();
}

// _codecs.encode as protocols 0-2 use it for bytes: encode(text, "latin1") only.
PyObject* latin1_encode(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  try {
    if (nargs != 2 || !PyUnicode_Check(args[0]) || !PyUnicode_Check(args[1]) ||
        PyUnicode_CompareWithASCIIString(args[1], "latin1") != 0) {
      refuse("the global _codecs.encode with other arguments than (text, 'latin1')");
    }
    return PyUnicode_AsLatin1String(args[0]);
  } catch (const PythonError&) {
    return nullptr;
  }
}

PyMethodDef latin1_encode_def = {"encode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(latin1_encode)),
                                 METH_FASTCALL, nullptr};

// {(module, name): object} of every global a calibration file may name.
PyObject* allowed_globals() {
  PyRef allowed = PyRef::check(PyDict_New());
  auto add = [&](const char* module, const char* name, PyObject* value) {
    PyRef key = PyRef::check(Py_BuildValue("(ss)", module, name));
    if (PyDict_SetItem(allowed.get(), key.get(), value) < 0) throw_python_error();
  };
  auto attr = [](const char* module, const char* name) {
    PyRef m = PyRef::check(PyImport_ImportModule(module));
    return PyRef::check(PyObject_GetAttrString(m.get(), name));
  };
  // NumPy 2 keeps its array internals in numpy._core, NumPy 1 in numpy.core; files written
  // by either name either path.
  PyRef core(PyImport_ImportModule("numpy._core.multiarray"));
  const char* core_pkg = "numpy._core";
  if (!core) {
    PyErr_Clear();
    core_pkg = "numpy.core";
  }
  const std::string multiarray = std::string(core_pkg) + ".multiarray";
  const std::string numeric = std::string(core_pkg) + ".numeric";
  PyRef reconstruct = attr(multiarray.c_str(), "_reconstruct");
  PyRef scalar = attr(multiarray.c_str(), "scalar");
  PyRef frombuffer = attr(numeric.c_str(), "_frombuffer");
  for (const char* pkg : {"numpy.core", "numpy._core"}) {
    const std::string ma = std::string(pkg) + ".multiarray";
    const std::string nu = std::string(pkg) + ".numeric";
    add(ma.c_str(), "_reconstruct", reconstruct.get());
    add(ma.c_str(), "scalar", scalar.get());
    add(nu.c_str(), "_frombuffer", frombuffer.get());
  }
  add("numpy", "ndarray", attr("numpy", "ndarray").get());
  add("numpy", "dtype", attr("numpy", "dtype").get());
  // Protocols 0-2 name the builtins module "__builtin__".
  for (const char* builtins : {"builtins", "__builtin__"}) {
    for (const char* name : {"set", "frozenset", "bytearray", "bytes", "complex"}) {
      add(builtins, name, attr("builtins", name).get());
    }
  }
  add("collections", "OrderedDict", attr("collections", "OrderedDict").get());
  PyRef encode = PyRef::check(PyCFunction_New(&latin1_encode_def, nullptr));
  add("_codecs", "encode", encode.get());
  return allowed.release();
}

PyObject* find_class(PyObject* allowed, PyObject* const* args, Py_ssize_t nargs) {
  try {
    // Bound as a method: args are (unpickler, module, name).
    if (nargs != 3) {
      PyErr_SetString(PyExc_TypeError, "find_class expects a module and a name");
      return nullptr;
    }
    PyRef key = PyRef::check(PyTuple_Pack(2, args[1], args[2]));
    PyObject* found = PyDict_GetItemWithError(allowed, key.get());
    if (found != nullptr) return Py_NewRef(found);
    if (PyErr_Occurred()) return nullptr;
    PyRef module = PyRef::check(PyObject_Str(args[1]));
    PyRef name = PyRef::check(PyObject_Str(args[2]));
    refuse("the global " + std::string(PyUnicode_AsUTF8(module.get())) + "." +
           std::string(PyUnicode_AsUTF8(name.get())));
  } catch (const PythonError&) {
    return nullptr;
  }
}

PyMethodDef find_class_def = {"find_class", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(find_class)),
                              METH_FASTCALL, "Only what NumPy arrays and plain values need."};

// The reader class, made on first use and kept for the life of the process; it is never
// changed after it is made.
PyObject* calibration_unpickler() {
  static PyObject* cls = nullptr;
  if (cls != nullptr) return cls;
  PyRef pickle = PyRef::check(PyImport_ImportModule("pickle"));
  PyRef base = PyRef::check(PyObject_GetAttrString(pickle.get(), "Unpickler"));
  PyRef allowed = PyRef::check(allowed_globals());
  PyRef func = PyRef::check(PyCFunction_New(&find_class_def, allowed.get()));
  PyRef method = PyRef::check(PyInstanceMethod_New(func.get()));
  PyRef made = PyRef::check(PyObject_CallFunction(
      reinterpret_cast<PyObject*>(&PyType_Type), "s(O){sOss}", "CalibrationUnpickler",
      base.get(), "find_class", method.get(), "__module__", "torvel"));
  if (cls == nullptr) cls = made.release();  // another thread may have made it meanwhile
  return cls;
}

// Closes the file, keeping an error already set (the first error is the one reported).
void close_keeping_error(PyObject* file) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyRef r(PyObject_CallMethod(file, "close", nullptr));
  if (!r) PyErr_Clear();
  PyErr_Restore(type, value, traceback);
}

// open(path, "rb"), one pickled object read from it, the file closed on every path.
PyRef load_pickled(PyObject* path) {
  PyRef builtins = PyRef::check(PyImport_ImportModule("builtins"));
  PyRef open = PyRef::check(PyObject_GetAttrString(builtins.get(), "open"));
  PyRef file = PyRef::check(PyObject_CallFunction(open.get(), "Os", path, "rb"));
  PyRef content;
  try {
    PyRef unpickler = PyRef::check(PyObject_CallOneArg(calibration_unpickler(), file.get()));
    content = PyRef::check(PyObject_CallMethod(unpickler.get(), "load", nullptr));
  } catch (...) {
    close_keeping_error(file.get());
    throw;
  }
  PyRef closed = PyRef::check(PyObject_CallMethod(file.get(), "close", nullptr));
  return content;
}

PyRef lookup(PyObject* dict, const char* key) {
  PyRef k = PyRef::check(PyUnicode_FromString(key));
  return PyRef::check(PyObject_GetItem(dict, k.get()));
}

// The stored map, or with "shift": map - (shift * shift / 2.0 + 7.0 * shift + 5).
PyRef unshifted_map(PyObject* dict) {
  PyRef key = PyRef::check(PyUnicode_FromString("shift"));
  const int has_shift = PySequence_Contains(dict, key.get());
  if (has_shift < 0) throw_python_error();
  if (!has_shift) return lookup(dict, "map");
  PyRef shift = lookup(dict, "shift");
  PyRef map = lookup(dict, "map");
  PyRef two = PyRef::check(PyFloat_FromDouble(2.0));
  PyRef seven = PyRef::check(PyFloat_FromDouble(7.0));
  PyRef five = PyRef::check(PyLong_FromLong(5));
  PyRef sq = numpy1_op(PyNumber_Multiply, shift.get(), shift.get());
  PyRef half = numpy1_op(PyNumber_TrueDivide, sq.get(), two.get());
  PyRef lin = numpy1_op(PyNumber_Multiply, seven.get(), shift.get());
  PyRef sum = numpy1_op(PyNumber_Add, half.get(), lin.get());
  PyRef offset = numpy1_op(PyNumber_Add, sum.get(), five.get());
  return numpy1_op(PyNumber_Subtract, map.get(), offset.get());
}

// ---- arrays ------------------------------------------------------------------------

// The element type the core reads in place, if the array's dtype is one of them.
std::optional<ElemType> elem_type(PyArrayObject* a) {
  const char kind = PyArray_DESCR(a)->kind;
  const npy_intp size = PyArray_ITEMSIZE(a);
  if (kind == 'i' || kind == 'u') {
    const bool u = kind == 'u';
    switch (size) {
      case 1: return u ? ElemType::U8 : ElemType::I8;
      case 2: return u ? ElemType::U16 : ElemType::I16;
      case 4: return u ? ElemType::U32 : ElemType::I32;
      case 8: return u ? ElemType::U64 : ElemType::I64;
      default: return std::nullopt;
    }
  }
  if (kind == 'f' && size == 4) return ElemType::F32;
  if (kind == 'f' && size == 8) return ElemType::F64;
  return std::nullopt;
}

bool whole_element_strides(PyArrayObject* a) {
  for (int i = 0; i < PyArray_NDIM(a); ++i) {
    if (PyArray_STRIDES(a)[i] % PyArray_ITEMSIZE(a) != 0) return false;
  }
  return true;
}

// obj as an array in its own dtype: a view when it is aligned, native and strided in whole
// elements, else a copy.
PyRef as_array(PyObject* obj, const char* argname) {
  PyObject* arr = PyArray_CheckFromAny(obj, nullptr, 0, 0,
                                       NPY_ARRAY_ALIGNED | NPY_ARRAY_NOTSWAPPED, nullptr);
  if (arr == nullptr) rethrow_naming(argname);
  PyRef a(arr);
  if (!whole_element_strides(a.array())) {
    a = PyRef::check(PyArray_NewCopy(a.array(), NPY_CORDER));
  }
  return a;
}

// astype(typenum) of an array whose dtype the core does not read in place.
PyRef cast(PyRef a, int typenum) {
  return PyRef::check(PyArray_CastToType(a.array(), PyArray_DescrFromType(typenum), 0));
}

// The image as contiguous uint8 pixels (other dtypes converted as astype(uint8) does);
// H and W are its first two dimensions.
PyRef image_array(PyObject* obj, ImageView* view) {
  PyObject* arr = PyArray_FromAny(obj, PyArray_DescrFromType(NPY_UINT8), 0, 0,
                                  NPY_ARRAY_ALIGNED | NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_FORCECAST,
                                  nullptr);
  if (arr == nullptr) rethrow_naming("img");
  PyRef a(arr);
  if (PyArray_NDIM(a.array()) < 2) raise_python(PyExc_IndexError, "tuple index out of range");
  view->data = static_cast<const std::uint8_t*>(PyArray_DATA(a.array()));
  view->rows = PyArray_DIMS(a.array())[0];
  view->cols = PyArray_DIMS(a.array())[1];
  view->size = PyArray_SIZE(a.array());
  return a;
}

Strided2D map_view(PyArrayObject* a, ElemType type) {
  const npy_intp item = PyArray_ITEMSIZE(a);
  return {PyArray_DATA(a), type, PyArray_DIMS(a)[0], PyArray_DIMS(a)[1],
          PyArray_STRIDES(a)[0] / item, PyArray_STRIDES(a)[1] / item};
}

// A 2-D map, after the image checks that come first.
void require_2d_map(PyArrayObject* map, const ImageView& img) {
  const int nd = PyArray_NDIM(map);
  if (nd == 2) return;
  check_image_flattenable(img);
  raise_python(PyExc_ValueError, nd < 2 ? "not enough values to unpack (expected 2, got 1)"
                                        : "too many values to unpack (expected 2)");
}

// NumPy's way of writing a shape in a broadcast message: "(2,3)", "(5,)", "()".
std::string numpy_shape(const std::vector<npy_intp>& shape) {
  std::string s = "(";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (i) s += ",";
    s += std::to_string(shape[i]);
  }
  if (shape.size() == 1) s += ",";
  return s + ")";
}

// a * b's shape, or NumPy's error for it.
std::vector<npy_intp> broadcast_pair(const std::vector<npy_intp>& a, const std::vector<npy_intp>& b) {
  const std::size_t nd = std::max(a.size(), b.size());
  std::vector<npy_intp> out(nd);
  for (std::size_t i = 0; i < nd; ++i) {
    const npy_intp da = i + a.size() >= nd ? a[i + a.size() - nd] : 1;
    const npy_intp db = i + b.size() >= nd ? b[i + b.size() - nd] : 1;
    if (da != db && da != 1 && db != 1) {
      raise_python(PyExc_ValueError, "operands could not be broadcast together with shapes " +
                                         numpy_shape(a) + " " + numpy_shape(b) + " ");
    }
    out[i] = da == 1 ? db : da;
  }
  return out;
}

}  // namespace

PyObject* get_calib_res0_impl(PyObject* const* args) {
  PyRef dict = load_pickled(args[1]);
  PyRef params = lookup(dict.get(), "param");
  PyRef map = unshifted_map(dict.get());
  return PyTuple_Pack(2, params.get(), map.get());
}

PyObject* get_calib_res_impl(PyObject* const* args) {
  PyRef dict = load_pickled(args[1]);
  PyRef params = lookup(dict.get(), "param");
  PyRef w1 = lookup(dict.get(), "w1");
  PyRef w2 = lookup(dict.get(), "w2");
  PyRef w3 = lookup(dict.get(), "w3");
  PyRef w4 = lookup(dict.get(), "w4");
  PyRef map = unshifted_map(dict.get());
  return PyTuple_Pack(6, params.get(), map.get(), w1.get(), w2.get(), w3.get(), w4.get());
}

PyObject* undistortion_impl(PyObject* const* args) {
  PyRef map = as_array(args[1], "maparray");
  ImageView img;
  PyRef image = image_array(args[2], &img);
  require_2d_map(map.array(), img);
  std::optional<ElemType> type = elem_type(map.array());
  if (!type || !is_integer(*type)) {
    check_image_flattenable(img);
    if (PyArray_DESCR(map.array())->kind == 'b') {
      raise_python(PyExc_TypeError, "maparray: a boolean map names no source pixels; expected integers");
    }
    raise_python(PyExc_IndexError, "arrays used as indices must be of integer (or boolean) type");
  }
  const Strided2D view = map_view(map.array(), *type);
  PyRef out = new_array(NPY_UINT8, {img.rows, img.cols});
  auto* o = static_cast<std::uint8_t*>(PyArray_DATA(out.array()));
  run_core(img.rows * img.cols, [&] { undistort_nearest(view, img, o); });
  return out.release();
}

PyObject* undistort_bilinear_impl(PyObject* const* args) {
  // map1 = maparray.astype(np.int32); w = map1.shape[1]
  PyRef map = as_array(args[2], "maparray");
  std::optional<ElemType> map_type = elem_type(map.array());
  if (!map_type) {
    map = cast(std::move(map), NPY_INT32);
    map_type = ElemType::I32;
  }
  if (PyArray_NDIM(map.array()) < 2) raise_python(PyExc_IndexError, "tuple index out of range");
  ImageView img;
  PyRef image = image_array(args[1], &img);
  require_2d_map(map.array(), img);
  const Strided2D map2d = map_view(map.array(), *map_type);
  check_bilinear_map(map2d, img);

  // S = w1 * t1 + w2 * t2 + w3 * t3 + w4 * t4, each weight as uint64, t of shape (H, W).
  const char* names[] = {"weight1", "weight2", "weight3", "weight4"};
  const std::vector<npy_intp> hw{img.rows, img.cols};
  PyRef weights[4];
  std::optional<ElemType> wtypes[4];
  std::vector<npy_intp> shape;
  for (int k = 0; k < 4; ++k) {
    weights[k] = as_array(args[3 + k], names[k]);
    wtypes[k] = elem_type(weights[k].array());
    if (!wtypes[k]) {
      weights[k] = cast(std::move(weights[k]), NPY_UINT64);
      wtypes[k] = ElemType::U64;
    }
    const std::vector<npy_intp> product = broadcast_pair(shape_of(weights[k].array()), hw);
    shape = k == 0 ? product : broadcast_pair(shape, product);
  }
  const std::size_t nd = shape.size();
  if (shape[nd - 2] != img.rows || shape[nd - 1] != img.cols) {
    raise_python(PyExc_NotImplementedError, "undistort_bilinear: weights that widen a " +
                                                numpy_shape(hw) + " image to " +
                                                numpy_shape(shape) + " are not supported");
  }

  // Leading axes (weights of more than two dimensions) repeat the image: one pass each.
  PyRef out = new_array(NPY_UINT8, shape);
  auto* o = static_cast<std::uint8_t*>(PyArray_DATA(out.array()));
  const npy_intp slices = size_of(shape) / std::max<npy_intp>(img.rows * img.cols, 1);
  const npy_intp total = size_of(shape);
  run_core(total, [&] {
    if (total == 0) return;
    for (npy_intp l = 0; l < slices; ++l) {
      Strided2D views[4];
      for (int k = 0; k < 4; ++k) {
        PyArrayObject* a = weights[k].array();
        const int wd = PyArray_NDIM(a);
        const npy_intp item = PyArray_ITEMSIZE(a);
        auto* base = static_cast<const char*>(PyArray_DATA(a));
        npy_intp rest = l;
        for (int axis = static_cast<int>(nd) - 3; axis >= 0; --axis) {
          const npy_intp idx = rest % shape[axis];
          rest /= shape[axis];
          const int waxis = axis - static_cast<int>(nd) + wd;
          if (waxis >= 0 && PyArray_DIMS(a)[waxis] != 1) base += idx * PyArray_STRIDES(a)[waxis];
        }
        auto step = [&](int from_end) -> std::ptrdiff_t {
          const int waxis = wd - from_end;
          if (waxis < 0 || PyArray_DIMS(a)[waxis] == 1) return 0;
          return PyArray_STRIDES(a)[waxis] / item;
        };
        views[k] = {base, *wtypes[k], img.rows, img.cols, step(2), step(1)};
      }
      undistort_bilinear(map2d, img, views, o + l * img.rows * img.cols);
    }
  });
  return out.release();
}

}  // namespace torvel::surface
