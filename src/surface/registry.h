// Method registration: every method of torvel_class is declared once, in the surface file of
// its subsystem, as
//
//   method<distance_2pts_impl>(2, "distance_2pts", "help text", {"p1", "p2"})
//
// with its place in the class namespace, its name, help text and parameters (with their
// defaults). The binder converts the bound arguments to the types the typed `*_impl`
// declares, in parameter order, naming the parameter in every conversion error, and calls
// it; the parameter list and the implementation's arity are checked against each other at
// compile time.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <tuple>
#include <type_traits>
#include <utility>

#include "surface/convert.h"
#include "surface/py.h"
#include "surface/pyref.h"

namespace torvel::surface {

// Largest parameter count of any method (self included).
inline constexpr std::size_t kMaxParams = 16;

// What the module keeps per interpreter (PEP 489 module state).
struct ModuleState {
  PyObject* cv2 = nullptr;  // the module's bound cv2
};

// An attribute of the module's bound cv2: the one way the surface reaches cv2.
PyRef cv2_attribute(const ModuleState& state, const char* name);

// ---- parameters and their defaults ----------------------------------------------------

struct NoneDefault {};
inline constexpr NoneDefault none{};

// A default value; equal defaults of every method are one shared object.
struct DefaultValue {
  enum class Kind { Required, None, False, True, Int, Float };
  Kind kind = Kind::Required;
  double value = 0.0;
  friend constexpr bool operator==(const DefaultValue&, const DefaultValue&) = default;
};

struct Param {
  const char* name;
  DefaultValue def{};

  constexpr Param(const char* n) : name(n) {}  // NOLINT: a required parameter
  constexpr Param(const char* n, int v) : name(n), def{DefaultValue::Kind::Int, double(v)} {}
  constexpr Param(const char* n, double v) : name(n), def{DefaultValue::Kind::Float, v} {}
  constexpr Param(const char* n, NoneDefault) : name(n), def{DefaultValue::Kind::None} {}
  constexpr Param(const char* n, bool v)
      : name(n), def{v ? DefaultValue::Kind::True : DefaultValue::Kind::False} {}
  constexpr bool required() const { return def.kind == DefaultValue::Kind::Required; }
};

struct MethodSpec;
// args: the bound parameters after self, in declaration order (borrowed references).
using MethodCall = PyObject* (*)(const MethodSpec&, const ModuleState&, PyObject* const* args);

struct MethodSpec {
  int position;                   // place in the class namespace, from 0
  const char* name;
  const char* doc;
  std::span<const Param> params;  // without self
  std::size_t nrequired;          // leading parameters without a default
  MethodCall call;
};

// ---- argument types an *_impl may declare ---------------------------------------------

// The argument as given (borrowed), with its parameter name for messages.
struct Arg {
  PyObject* obj;
  const char* name;
};

// A number (float(x) semantics, text refused) and the object it came from.
struct Number {
  PyObject* given;
  double value;
};

// An aligned native float64 array of the argument (a view when it already is one), C-contiguous
// or with any strides.
template <bool Contiguous>
struct Float64Array {
  PyObject* given;
  const char* name;
  PyRef array;
  PyArrayObject* get() const { return array.array(); }
  const double* data() const { return static_cast<const double*>(PyArray_DATA(get())); }
};
using Doubles = Float64Array<true>;
using StridedDoubles = Float64Array<false>;

inline PyObject* convert_argument(std::type_identity<PyObject*>, PyObject* obj, const char*) {
  return obj;
}
inline Arg convert_argument(std::type_identity<Arg>, PyObject* obj, const char* name) {
  return {obj, name};
}
inline double convert_argument(std::type_identity<double>, PyObject* obj, const char* name) {
  return to_double(obj, name);
}
inline Number convert_argument(std::type_identity<Number>, PyObject* obj, const char* name) {
  return {obj, to_double(obj, name)};
}
template <bool C>
Float64Array<C> convert_argument(std::type_identity<Float64Array<C>>, PyObject* obj,
                                 const char* name) {
  return {obj, name, to_array(obj, NPY_DOUBLE, name, C)};
}

// ---- the binder -------------------------------------------------------------------------

namespace detail {

template <class F>
struct ImplTraits;
template <class... A>
struct ImplTraits<PyObject* (*)(A...)> {
  using Args = std::tuple<A...>;
};

template <class Args>
constexpr bool takes_state() {
  if constexpr (std::tuple_size_v<Args> == 0) {
    return false;
  } else {
    return std::is_same_v<std::tuple_element_t<0, Args>, const ModuleState&>;
  }
}

template <auto Impl>
constexpr std::size_t impl_arity() {
  using Args = typename ImplTraits<decltype(Impl)>::Args;
  return std::tuple_size_v<Args> - (takes_state<Args>() ? 1 : 0);
}

// Converts args[0 .. n) in order (a braced list evaluates left to right) and calls Impl.
template <auto Impl>
PyObject* call(const MethodSpec& registered, const ModuleState& state, PyObject* const* args) {
  using Args = typename ImplTraits<decltype(Impl)>::Args;
  constexpr std::size_t skip = takes_state<Args>() ? 1 : 0;
  return [&]<std::size_t... I>(std::index_sequence<I...>) {
    using Converted = std::tuple<std::tuple_element_t<I + skip, Args>...>;
    Converted converted{convert_argument(
        std::type_identity<std::tuple_element_t<I + skip, Args>>{}, args[I],
        registered.params[I].name)...};
    if constexpr (skip == 1) {
      return Impl(state, std::get<I>(std::move(converted))...);
    } else {
      return Impl(std::get<I>(std::move(converted))...);
    }
  }(std::make_index_sequence<impl_arity<Impl>()>{});
}

// (The module refuses a registration where a required parameter follows a default.)
template <std::size_t N>
constexpr std::size_t leading_required(const std::array<Param, N>& params) {
  std::size_t n = 0;
  while (n < N && params[n].required()) ++n;
  return n;
}

}  // namespace detail

// The registration of one method. Parameters are stored once per implementation.
template <auto Impl, std::size_t N>
MethodSpec method(int position, const char* name, const char* doc, const Param (&params)[N]) {
  static_assert(N + 1 <= kMaxParams, "more parameters than the binder holds (kMaxParams)");
  static_assert(N == detail::impl_arity<Impl>(),
                "the parameter list and the implementation's arguments differ in number");
  static const std::array<Param, N> stored = std::to_array(params);
  return {position, name, doc, stored, detail::leading_required(stored), &detail::call<Impl>};
}

// The registrations of each subsystem, in any order; `position` orders the class namespace.
std::span<const MethodSpec> calib_methods();
std::span<const MethodSpec> geometry_methods();
std::span<const MethodSpec> plane_methods();
std::span<const MethodSpec> laser_methods();
std::span<const MethodSpec> contour_methods();
std::span<const MethodSpec> ellipse_methods();

}  // namespace torvel::surface
