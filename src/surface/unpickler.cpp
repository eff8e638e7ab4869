#include "surface/unpickler.h"

#include <string>

namespace torvel::surface {
namespace {

// Globals are resolved here, never imported by the name the file gives; every other one
// is refused with pickle.UnpicklingError.

PyObject* unpickling_error_type() {
  PyRef pickle = PyRef::check(PyImport_ImportModule("pickle"));
  return PyObject_GetAttrString(pickle.get(), "UnpicklingError");
}

[[noreturn]] void refuse(const std::string& what) {
  PyRef type = PyRef::check(unpickling_error_type());
  const std::string msg = "refused to load " + what +
                          ": a calibration file may hold only NumPy arrays and plain Python values";
  raise(type.get(), msg);
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

}  // namespace

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


}  // namespace torvel::surface
