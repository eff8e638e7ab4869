#include "geometry/intersect.h"

#include <cmath>
#include <limits>

namespace torvel {
namespace {

struct Direction {
  double u0, u1, u2, dot;
};

Direction direction_and_dot(Rows3View v0, Rows3View v1, Rows3View nrm, std::size_t i) {
  Direction d;
  d.u0 = v1.at(i, 0) - v0.at(i, 0);
  d.u1 = v1.at(i, 1) - v0.at(i, 1);
  d.u2 = v1.at(i, 2) - v0.at(i, 2);
  d.dot = (d.u0 * nrm.at(i, 0) + d.u1 * nrm.at(i, 1)) + d.u2 * nrm.at(i, 2);
  return d;
}

}  // namespace

void intersect_lines_planes(Rows3View v0, Rows3View v1, Rows3View p_cos, Rows3View p_nos,
                            double epsion, std::size_t n, double* out) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  for (std::size_t i = 0; i < n; ++i) {
    Direction d = direction_and_dot(v0, v1, p_nos, i);
    if (std::fabs(d.dot) < epsion) d.dot = inf;
    const double w0 = v0.at(i, 0) - p_cos.at(i, 0);
    const double w1 = v0.at(i, 1) - p_cos.at(i, 1);
    const double w2 = v0.at(i, 2) - p_cos.at(i, 2);
    const double fac = -((p_nos.at(i, 0) * w0 + p_nos.at(i, 1) * w1) + p_nos.at(i, 2) * w2) / d.dot;
    out[3 * i + 0] = v0.at(i, 0) + d.u0 * fac;
    out[3 * i + 1] = v0.at(i, 1) + d.u1 * fac;
    out[3 * i + 2] = v0.at(i, 2) + d.u2 * fac;
  }
}

bool any_parallel(Rows3View v0, Rows3View v1, Rows3View p_nos, double epsion, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    if (std::fabs(direction_and_dot(v0, v1, p_nos, i).dot) < epsion) return true;
  }
  return false;
}

}  // namespace torvel
