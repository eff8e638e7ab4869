// The method table: every method of torvel_class, its parameters, defaults, help text and
// the typed implementation that receives the bound arguments.
#pragma once

#include <span>

#include "surface/py.h"

namespace torvel::surface {

// args[0] is self, args[1..] the parameters in declaration order (borrowed references).
// Returns a new reference; failures throw (see boundary.h).
using MethodImpl = PyObject* (*)(PyObject* const* args);

// Shared default objects, created once at import.
enum class Default { None, Int0, Int1, Int100, Float1e_6, Float1e3, Float0_68, False };

struct MethodSpec {
  const char* name;
  std::span<const char* const> params;   // including "self"
  std::span<const Default> defaults;     // for the trailing parameters
  const char* doc;
  MethodImpl impl;
};

std::span<const MethodSpec> method_table();

// Implementations, one file per subsystem.
PyObject* get_calib_res0_impl(PyObject* const* args);
PyObject* get_calib_res_impl(PyObject* const* args);
PyObject* undistortion_impl(PyObject* const* args);
PyObject* undistort_bilinear_impl(PyObject* const* args);

PyObject* distance_2pts_impl(PyObject* const* args);
PyObject* intersect_line_plane_impl(PyObject* const* args);
PyObject* get_img_coord_from_3d_pts_impl(PyObject* const* args);
PyObject* get_line_of_sight_pts_impl(PyObject* const* args);

PyObject* fit_plane_impl(PyObject* const* args);
PyObject* from_cnt2cnt_impl(PyObject* const* args);

PyObject* get_laser_line_impl(PyObject* const* args);

PyObject* get_short_long_intersection_impl(PyObject* const* args);

PyObject* plot_ellipse_impl(PyObject* const* args);

}  // namespace torvel::surface
