#include "surface/function.h"

#include <cstddef>
#include <string>

#include "surface/binding.h"
#include "surface/boundary.h"
#include "surface/pyref.h"

namespace torvel::surface {
namespace {

struct MethodObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  const MethodSpec* entry;
  PyObject* defaults;   // tuple of the shared default objects
  PyObject* name;
  PyObject* qualname;
  PyObject* signature;  // built on first use
  PyObject* module;     // the module whose state the calls use
};

// The state calls use once the module has been cleared (at interpreter exit): no cv2.
const ModuleState no_state{};

const ModuleState& state_of(const MethodObject* self) {
  if (self->module == nullptr) return no_state;
  void* state = PyModule_GetState(self->module);
  return state != nullptr ? *static_cast<const ModuleState*>(state) : no_state;
}

MethodObject* as_method(PyObject* obj) { return reinterpret_cast<MethodObject*>(obj); }

PyObject* method_vectorcall(PyObject* callable, PyObject* const* args, std::size_t nargsf,
                            PyObject* kwnames) {
  MethodObject* self = as_method(callable);
  const MethodSpec& entry = *self->entry;
  PyObject* bound[kMaxParams];
  PyObject* result = nullptr;
  if (bind_arguments(entry, self->defaults, args, PyVectorcall_NARGS(nargsf), kwnames, bound)) {
    result = run_guarded(entry, state_of(self), bound);
  }
  if (result == nullptr) add_traceback_entry(entry.name);
  return result;
}

void method_dealloc(PyObject* obj) {
  MethodObject* self = as_method(obj);
  PyObject_GC_UnTrack(obj);
  Py_XDECREF(self->defaults);
  Py_XDECREF(self->name);
  Py_XDECREF(self->qualname);
  Py_XDECREF(self->signature);
  Py_XDECREF(self->module);
  Py_TYPE(obj)->tp_free(obj);
}

// The module holds the class, which holds the methods, which hold the module.
int method_traverse(PyObject* obj, visitproc visit, void* arg) {
  MethodObject* self = as_method(obj);
  Py_VISIT(self->module);
  Py_VISIT(self->signature);
  Py_VISIT(self->defaults);
  return 0;
}

int method_clear(PyObject* obj) {
  Py_CLEAR(as_method(obj)->module);
  return 0;
}

// Like a Python function: bound to an instance, itself when looked up on the class.
PyObject* method_descr_get(PyObject* func, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) {
    Py_INCREF(func);
    return func;
  }
  return PyMethod_New(func, obj);
}

PyObject* method_repr(PyObject* obj) {
  return PyUnicode_FromFormat("<function %U at %p>", as_method(obj)->qualname, obj);
}

PyObject* get_name(PyObject* obj, void*) { return Py_NewRef(as_method(obj)->name); }
PyObject* get_qualname(PyObject* obj, void*) { return Py_NewRef(as_method(obj)->qualname); }
PyObject* get_module(PyObject*, void*) { return PyUnicode_FromString("torvel"); }
PyObject* get_doc(PyObject* obj, void*) { return PyUnicode_FromString(as_method(obj)->entry->doc); }
PyObject* get_defaults(PyObject* obj, void*) {
  MethodObject* self = as_method(obj);
  if (PyTuple_GET_SIZE(self->defaults) == 0) Py_RETURN_NONE;
  return Py_NewRef(self->defaults);
}

// inspect.Signature with every parameter positional-or-keyword and the shared defaults.
PyObject* get_signature(PyObject* obj, void*) {
  MethodObject* self = as_method(obj);
  if (self->signature != nullptr) return Py_NewRef(self->signature);
  try {
    PyRef inspect = PyRef::check(PyImport_ImportModule("inspect"));
    PyRef parameter = PyRef::check(PyObject_GetAttrString(inspect.get(), "Parameter"));
    PyRef signature = PyRef::check(PyObject_GetAttrString(inspect.get(), "Signature"));
    PyRef kind = PyRef::check(PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD"));
    const auto& params = self->entry->params;
    const std::size_t count = params.size() + 1;  // self first
    const std::size_t nrequired = self->entry->nrequired + 1;
    PyRef list = PyRef::check(PyList_New(static_cast<Py_ssize_t>(count)));
    for (std::size_t i = 0; i < count; ++i) {
      const char* name = i == 0 ? "self" : params[i - 1].name;
      PyRef args = PyRef::check(Py_BuildValue("(sO)", name, kind.get()));
      PyRef kwargs = PyRef::check(PyDict_New());
      if (i >= nrequired &&
          PyDict_SetItemString(kwargs.get(), "default",
                               PyTuple_GET_ITEM(self->defaults, i - nrequired)) < 0) {
        throw_python_error();
      }
      PyObject* p = PyObject_Call(parameter.get(), args.get(), kwargs.get());
      if (p == nullptr) throw_python_error();
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), p);
    }
    self->signature = PyObject_CallOneArg(signature.get(), list.get());
    if (self->signature == nullptr) throw_python_error();
    return Py_NewRef(self->signature);
  } catch (const PythonError&) {
    return nullptr;
  }
}

PyGetSetDef method_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject method_type = [] {
  PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
  t.tp_name = "torvel.method";
  t.tp_basicsize = sizeof(MethodObject);
  t.tp_dealloc = method_dealloc;
  t.tp_vectorcall_offset = offsetof(MethodObject, vectorcall);
  t.tp_repr = method_repr;
  t.tp_call = PyVectorcall_Call;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
               Py_TPFLAGS_HAVE_GC;
  t.tp_traverse = method_traverse;
  t.tp_clear = method_clear;
  t.tp_doc = "A method of torvel_class.";
  t.tp_getset = method_getset;
  t.tp_descr_get = method_descr_get;
  return t;
}();
#pragma GCC diagnostic pop

}  // namespace

int ready_method_type() { return PyType_Ready(&method_type); }

PyObject* new_method(const MethodSpec& entry, PyObject* defaults_tuple, PyObject* module) {
  MethodObject* self = PyObject_GC_New(MethodObject, &method_type);
  if (self == nullptr) return nullptr;
  self->vectorcall = method_vectorcall;
  self->entry = &entry;
  self->defaults = Py_NewRef(defaults_tuple);
  self->name = PyUnicode_FromString(entry.name);
  self->qualname = PyUnicode_FromFormat("torvel_class.%s", entry.name);
  self->signature = nullptr;
  self->module = Py_NewRef(module);
  PyObject_GC_Track(self);
  if (self->name == nullptr || self->qualname == nullptr) {
    Py_DECREF(self);
    return nullptr;
  }
  return reinterpret_cast<PyObject*>(self);
}

}  // namespace torvel::surface
