// The module (multi-phase initialisation): imports its libraries, collects the subsystems'
// method registrations, builds torvel_class through `type` from them, and binds both in its
// namespace; its state holds the bound cv2.
#define TORVEL_IMPORT_ARRAY
#include "surface/py.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "surface/registry.h"
#include "surface/function.h"
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

// One object per distinct default value, shared by every method that has it.
class SharedDefaults {
 public:
  PyObject* get(const DefaultValue& d) {
    for (auto& [value, object] : made_) {
      if (value == d) return object.get();
    }
    made_.emplace_back(d, PyRef::check(make(d)));
    return made_.back().second.get();
  }

 private:
  static PyObject* make(const DefaultValue& d) {
    switch (d.kind) {
      case DefaultValue::Kind::None: return Py_NewRef(Py_None);
      case DefaultValue::Kind::False: return Py_NewRef(Py_False);
      case DefaultValue::Kind::True: return Py_NewRef(Py_True);
      case DefaultValue::Kind::Int: return PyLong_FromLong(static_cast<long>(d.value));
      case DefaultValue::Kind::Float: return PyFloat_FromDouble(d.value);
      case DefaultValue::Kind::Required: break;
    }
    PyErr_SetString(PyExc_SystemError, "torvel: a required parameter has no default");
    return nullptr;
  }
  std::vector<std::pair<DefaultValue, PyRef>> made_;
};

// Every subsystem's registrations in class-namespace order; refuses a registration set
// whose positions are not 0 .. n-1 or whose defaults do not trail.
std::vector<const MethodSpec*> registrations() {
  std::vector<const MethodSpec*> all;
  for (auto group : {calib_methods(), geometry_methods(), plane_methods(), laser_methods(),
                     contour_methods(), ellipse_methods()}) {
    for (const MethodSpec& m : group) all.push_back(&m);
  }
  std::sort(all.begin(), all.end(),
            [](const MethodSpec* a, const MethodSpec* b) { return a->position < b->position; });
  for (std::size_t i = 0; i < all.size(); ++i) {
    const MethodSpec& m = *all[i];
    bool defaults_trail = true;
    for (std::size_t k = m.nrequired; k < m.params.size(); ++k) {
      defaults_trail = defaults_trail && !m.params[k].required();
    }
    if (m.position != static_cast<int>(i) || !defaults_trail) {
      PyErr_Format(PyExc_SystemError, "torvel: the registration of %s is inconsistent", m.name);
      throw_python_error();
    }
  }
  return all;
}

void bind_libraries(PyObject* ns, ModuleState& state) {
  for (const Binding& b : bindings) {
    PyRef module = PyRef::check(PyImport_ImportModule(b.module));
    PyRef value = b.attr ? PyRef::check(PyObject_GetAttrString(module.get(), b.attr))
                         : std::move(module);
    if (PyDict_SetItemString(ns, b.name, value.get()) < 0) throw_python_error();
    if (std::strcmp(b.name, "cv2") == 0) state.cv2 = Py_NewRef(value.get());
  }
}

// type("torvel_class", (), {"__module__", "__qualname__", methods in position order}).
void bind_class(PyObject* module, PyObject* ns) {
  SharedDefaults shared;

  PyRef class_ns = PyRef::check(PyDict_New());
  PyRef module_name = PyRef::check(PyUnicode_FromString("torvel"));
  PyRef qualname = PyRef::check(PyUnicode_FromString("torvel_class"));
  if (PyDict_SetItemString(class_ns.get(), "__module__", module_name.get()) < 0 ||
      PyDict_SetItemString(class_ns.get(), "__qualname__", qualname.get()) < 0) {
    throw_python_error();
  }
  for (const MethodSpec* registered : registrations()) {
    const MethodSpec& entry = *registered;
    const std::size_t ndefaults = entry.params.size() - entry.nrequired;
    PyRef defaults = PyRef::check(PyTuple_New(static_cast<Py_ssize_t>(ndefaults)));
    for (std::size_t i = 0; i < ndefaults; ++i) {
      PyObject* value = shared.get(entry.params[entry.nrequired + i].def);
      PyTuple_SET_ITEM(defaults.get(), static_cast<Py_ssize_t>(i), Py_NewRef(value));
    }
    PyRef method = PyRef::check(new_method(entry, defaults.get(), module));
    if (PyDict_SetItemString(class_ns.get(), entry.name, method.get()) < 0) throw_python_error();
  }
  PyRef bases = PyRef::check(PyTuple_New(0));
  PyRef cls = PyRef::check(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type),
                                                 "sOO", "torvel_class", bases.get(),
                                                 class_ns.get()));
  if (PyDict_SetItemString(ns, "torvel_class", cls.get()) < 0) throw_python_error();
}

ModuleState& state_of(PyObject* module) {
  return *static_cast<ModuleState*>(PyModule_GetState(module));
}

// Py_mod_exec: the library bindings in order, then the class.
int exec_module(PyObject* module) {
  if (ready_method_type() < 0) return -1;
  try {
    PyObject* ns = PyModule_GetDict(module);
    bind_libraries(ns, state_of(module));
    bind_class(module, ns);
  } catch (const PythonError&) {
    return -1;
  }
  return 0;
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
  Py_VISIT(state_of(module).cv2);
  return 0;
}

int clear_module(PyObject* module) {
  Py_CLEAR(state_of(module).cv2);
  return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    // NumPy's C API and the method type are per process.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "torvel",
    "Measuring with one camera and a line laser: calibration, undistortion, laser stripe,\n"
    "lines of sight, laser plane, axis measurement and error ellipses (see torvel_class).",
    sizeof(ModuleState), nullptr, module_slots, traverse_module, clear_module, free_module};

}  // namespace

PyRef cv2_attribute(const ModuleState& state, const char* name) {
  if (state.cv2 == nullptr) raise(PyExc_SystemError, "torvel: the module's cv2 binding is gone");
  return PyRef::check(PyObject_GetAttrString(state.cv2, name));
}

}  // namespace torvel::surface

// Exported even where the interpreter's headers do not mark it (3.8), since the module is
// built with hidden visibility.
extern "C" __attribute__((visibility("default"))) PyObject* PyInit_torvel(void);

PyMODINIT_FUNC PyInit_torvel() {
  import_array();
  return PyModuleDef_Init(&torvel::surface::module_def);
}
