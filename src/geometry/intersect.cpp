#include "geometry/intersect.h"

#include <cmath>
#include <limits>

namespace torvel {
namespace {

// Element access with the view's steps fixed at compile time where they are known:
// contiguous rows (3, 1), one broadcast row (0, 1), or anything else at run time.
template <int RowStep>
struct Fixed {
  const double* data;
  double at(std::size_t i, int j) const { return data[i * RowStep + j]; }
};
struct Any {
  Rows3View v;
  double at(std::size_t i, int j) const { return v.at(i, j); }
};

template <class V0, class V1, class P, class N>
void kernel(V0 v0, V1 v1, P p_cos, N p_nos, double epsion, std::size_t n, double* out) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  for (std::size_t i = 0; i < n; ++i) {
    const double u0 = v1.at(i, 0) - v0.at(i, 0);
    const double u1 = v1.at(i, 1) - v0.at(i, 1);
    const double u2 = v1.at(i, 2) - v0.at(i, 2);
    double dot = (u0 * p_nos.at(i, 0) + u1 * p_nos.at(i, 1)) + u2 * p_nos.at(i, 2);
    if (std::fabs(dot) < epsion) dot = inf;
    const double w0 = v0.at(i, 0) - p_cos.at(i, 0);
    const double w1 = v0.at(i, 1) - p_cos.at(i, 1);
    const double w2 = v0.at(i, 2) - p_cos.at(i, 2);
    const double fac = -((p_nos.at(i, 0) * w0 + p_nos.at(i, 1) * w1) + p_nos.at(i, 2) * w2) / dot;
    out[3 * i + 0] = v0.at(i, 0) + u0 * fac;
    out[3 * i + 1] = v0.at(i, 1) + u1 * fac;
    out[3 * i + 2] = v0.at(i, 2) + u2 * fac;
  }
}

bool is(const Rows3View& v, std::ptrdiff_t row_step) { return v.row_step == row_step && v.col_step == 1; }

}  // namespace

void intersect_lines_planes(Rows3View v0, Rows3View v1, Rows3View p_cos, Rows3View p_nos,
                            double epsion, std::size_t n, double* out) {
  // The pipeline's shape: lines as contiguous rows, one plane for all of them.
  if (is(v1, 3) && is(p_cos, 0) && is(p_nos, 0)) {
    if (is(v0, 3)) {
      kernel(Fixed<3>{v0.data}, Fixed<3>{v1.data}, Fixed<0>{p_cos.data}, Fixed<0>{p_nos.data},
             epsion, n, out);
      return;
    }
    if (is(v0, 0)) {
      kernel(Fixed<0>{v0.data}, Fixed<3>{v1.data}, Fixed<0>{p_cos.data}, Fixed<0>{p_nos.data},
             epsion, n, out);
      return;
    }
  }
  kernel(Any{v0}, Any{v1}, Any{p_cos}, Any{p_nos}, epsion, n, out);
}

bool any_parallel(Rows3View v0, Rows3View v1, Rows3View p_nos, double epsion, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    const double u0 = v1.at(i, 0) - v0.at(i, 0);
    const double u1 = v1.at(i, 1) - v0.at(i, 1);
    const double u2 = v1.at(i, 2) - v0.at(i, 2);
    const double dot = (u0 * p_nos.at(i, 0) + u1 * p_nos.at(i, 1)) + u2 * p_nos.at(i, 2);
    if (std::fabs(dot) < epsion) return true;
  }
  return false;
}

}  // namespace torvel
