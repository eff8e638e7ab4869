// Line i with plane i, for n lines at once, in the camera frame.
#pragma once

#include <cstddef>

#include "support/strided.h"

namespace torvel {

// Each view addresses n rows of three doubles (a row step of 0 repeats one row).
// us = vecpt1s - vecpt0s; dots = (us0*n0 + us1*n1) + us2*n2, replaced by +inf where
// |dots| < epsion (strictly); ws = vecpt0s - p_cos;
// facs = -((n0*ws0 + n1*ws1) + n2*ws2) / dots; out row = vecpt0s + us * facs.
// A line parallel to its plane thus yields its own first point.
// out receives n rows of three doubles, contiguous.
void intersect_lines_planes(Rows3View vecpt0s, Rows3View vecpt1s, Rows3View p_cos,
                            Rows3View p_nos, double epsion, std::size_t n, double* out);

// True when some line, with every operand integral, would need +inf stored in an
// integer dots array: |dots| < epsion for a row.
bool any_parallel(Rows3View vecpt0s, Rows3View vecpt1s, Rows3View p_nos, double epsion,
                  std::size_t n);

}  // namespace torvel
