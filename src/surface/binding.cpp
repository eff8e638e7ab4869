#include "surface/binding.h"

namespace torvel::surface {
namespace {

// Parameters including self.
std::size_t parameter_count(const MethodSpec& entry) { return entry.params.size() + 1; }
std::size_t required_count(const MethodSpec& entry) { return entry.nrequired + 1; }

void raise_count_error(const MethodSpec& entry, std::size_t given) {
  const Py_ssize_t max = static_cast<Py_ssize_t>(parameter_count(entry));
  const Py_ssize_t min = static_cast<Py_ssize_t>(required_count(entry));
  const char* more_or_less = "exactly";
  Py_ssize_t expected = max;
  if (min != max) {
    if (static_cast<Py_ssize_t>(given) < min) {
      more_or_less = "at least";
      expected = min;
    } else {
      more_or_less = "at most";
    }
  }
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
               entry.name, more_or_less, expected, expected == 1 ? "" : "s",
               static_cast<Py_ssize_t>(given));
}

// Index of the parameter named by key (self is 0), or -1.
Py_ssize_t parameter_index(const MethodSpec& entry, PyObject* key) {
  if (PyUnicode_CompareWithASCIIString(key, "self") == 0) return 0;
  for (std::size_t i = 0; i < entry.params.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(key, entry.params[i].name) == 0) {
      return static_cast<Py_ssize_t>(i + 1);
    }
  }
  return -1;
}

}  // namespace

bool bind_arguments(const MethodSpec& entry, PyObject* defaults, PyObject* const* args,
                    std::size_t nargs, PyObject* kwnames, PyObject** bound) {
  const std::size_t nparams = parameter_count(entry);
  const std::size_t nrequired = required_count(entry);
  if (nargs > nparams) {
    raise_count_error(entry, nargs);
    return false;
  }
  for (std::size_t i = 0; i < nparams; ++i) bound[i] = i < nargs ? args[i] : nullptr;

  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  // Every keyword is checked before any missing parameter is reported, except that a
  // required parameter left unfilled by keywords is reported first, as the count error.
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    if (!PyUnicode_Check(key)) continue;  // reported below, after the count check
    const Py_ssize_t i = parameter_index(entry, key);
    if (i >= static_cast<Py_ssize_t>(nargs)) bound[i] = args[nargs + k];
  }
  for (std::size_t i = nargs; i < nrequired; ++i) {
    if (bound[i] == nullptr) {
      raise_count_error(entry, i);
      return false;
    }
  }
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", entry.name);
      return false;
    }
    const Py_ssize_t i = parameter_index(entry, key);
    if (i < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", entry.name,
                   key);
      return false;
    }
    if (i < static_cast<Py_ssize_t>(nargs)) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                   entry.name, key);
      return false;
    }
  }
  for (std::size_t i = nrequired; i < nparams; ++i) {
    if (bound[i] == nullptr) bound[i] = PyTuple_GET_ITEM(defaults, i - nrequired);
  }
  return true;
}

}  // namespace torvel::surface
