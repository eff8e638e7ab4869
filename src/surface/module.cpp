// The module: imports its libraries, builds torvel_class through `type` from the method
// table, and binds both in its namespace.
#define TORVEL_IMPORT_ARRAY
#include "surface/py.h"

#include <vector>

#include "surface/boundary.h"
#include "surface/function.h"
#include "surface/methods.h"
#include "surface/pyref.h"

namespace torvel::surface {
namespace {

struct Binding {
  const char* name;    // name in the module namespace
  const char* module;  // what is imported
  const char* attr;    // attribute taken from it, or nullptr for the module itself
};

// In this order; a failing import fails the module's import with that exception.
constexpr Binding bindings[] = {
    {"np", "numpy", nullptr},
    {"LA", "numpy.linalg", nullptr},
    {"linear_model", "sklearn.linear_model", nullptr},
    {"cv2", "cv2", nullptr},
    {"imutils", "imutils", nullptr},
    {"math", "math", nullptr},
    {"chi2", "scipy.stats", "chi2"},
    {"pickle", "pickle", nullptr},
};

PyObject* make_default(Default d) {
  switch (d) {
    case Default::None: return Py_NewRef(Py_None);
    case Default::False: return Py_NewRef(Py_False);
    case Default::Int0: return PyLong_FromLong(0);
    case Default::Int1: return PyLong_FromLong(1);
    case Default::Int100: return PyLong_FromLong(100);
    case Default::Float1e_6: return PyFloat_FromDouble(1e-6);
    case Default::Float1e3: return PyFloat_FromDouble(1e3);
    case Default::Float0_68: return PyFloat_FromDouble(0.68);
  }
  return nullptr;
}

void bind_libraries(PyObject* ns) {
  for (const Binding& b : bindings) {
    PyRef module = PyRef::check(PyImport_ImportModule(b.module));
    PyRef value = b.attr ? PyRef::check(PyObject_GetAttrString(module.get(), b.attr))
                         : std::move(module);
    if (PyDict_SetItemString(ns, b.name, value.get()) < 0) throw_python_error();
  }
}

// type("torvel_class", (), {"__module__", "__qualname__", methods in table order}).
void bind_class(PyObject* ns) {
  constexpr int ndefaults = static_cast<int>(Default::False) + 1;
  std::vector<PyRef> shared;  // one object per default value, shared by every method
  for (int d = 0; d < ndefaults; ++d) shared.push_back(PyRef::check(make_default(Default(d))));

  PyRef class_ns = PyRef::check(PyDict_New());
  PyRef module_name = PyRef::check(PyUnicode_FromString("torvel"));
  PyRef qualname = PyRef::check(PyUnicode_FromString("torvel_class"));
  if (PyDict_SetItemString(class_ns.get(), "__module__", module_name.get()) < 0 ||
      PyDict_SetItemString(class_ns.get(), "__qualname__", qualname.get()) < 0) {
    throw_python_error();
  }
  for (const MethodSpec& entry : method_table()) {
    PyRef defaults = PyRef::check(PyTuple_New(static_cast<Py_ssize_t>(entry.defaults.size())));
    for (std::size_t i = 0; i < entry.defaults.size(); ++i) {
      PyObject* value = shared[static_cast<int>(entry.defaults[i])].get();
      PyTuple_SET_ITEM(defaults.get(), static_cast<Py_ssize_t>(i), Py_NewRef(value));
    }
    PyRef method = PyRef::check(new_method(entry, defaults.get()));
    if (PyDict_SetItemString(class_ns.get(), entry.name, method.get()) < 0) throw_python_error();
  }
  PyRef bases = PyRef::check(PyTuple_New(0));
  PyRef cls = PyRef::check(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type),
                                                 "sOO", "torvel_class", bases.get(),
                                                 class_ns.get()));
  if (PyDict_SetItemString(ns, "torvel_class", cls.get()) < 0) throw_python_error();
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "torvel",
    "Measuring with one camera and a line laser: calibration, undistortion, laser stripe,\n"
    "lines of sight, laser plane, axis measurement and error ellipses (see torvel_class).",
    -1, nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace torvel::surface

// Exported even where the interpreter's headers do not mark it (3.8), since the module is
// built with hidden visibility.
extern "C" __attribute__((visibility("default"))) PyObject* PyInit_torvel(void);

PyMODINIT_FUNC PyInit_torvel() {
  using namespace torvel::surface;
  import_array();
  if (ready_method_type() < 0) return nullptr;
  PyRef module = PyRef(PyModule_Create(&module_def));
  if (!module) return nullptr;
  try {
    PyObject* ns = PyModule_GetDict(module.get());
    bind_libraries(ns);
    bind_class(ns);
  } catch (const PythonError&) {
    return nullptr;
  }
  set_module(module.get());
  return module.release();
}
