#include "ellipse/ellipse.h"

#include <cmath>
#include <limits>
#include <numbers>
#include <string>

#include "ellipse/chi2_grid.h"
#include "support/error.h"

namespace torvel {
namespace {

constexpr double kPi = std::numbers::pi;

// a*d - b*c with one rounding (Kahan's scheme with fused multiply-adds).
double det2(double a, double b, double c, double d) {
  const double w = b * c;
  const double e = std::fma(-b, c, w);
  const double f = std::fma(a, d, -w);
  return f + e;
}

}  // namespace

Svd2 svd2(double a, double b, double c, double d) {
  // A = [[a, b], [c, d]] = rotation(alpha) diag(q + r, q - r) rotation(beta) with
  // q = |(e, h)|, r = |(f, g)|, alpha = (atan2(g, f) + atan2(h, e)) / 2.
  const double e = (a + d) / 2.0;
  const double f = (a - d) / 2.0;
  const double g = (c + b) / 2.0;
  const double h = (c - b) / 2.0;
  const double q = std::hypot(e, h);
  const double r = std::hypot(f, g);
  Svd2 out;
  out.s0 = q + r;
  out.s1 = out.s0 > 0.0 ? std::fabs(det2(a, b, c, d)) / out.s0 : 0.0;
  if (out.s1 > out.s0) out.s1 = out.s0;
  double dir = (std::atan2(g, f) + std::atan2(h, e)) / 2.0;
  // Fold the line direction into (-pi/2, pi/2].
  while (dir > kPi / 2.0) dir -= kPi;
  while (dir <= -kPi / 2.0) dir += kPi;
  out.direction = dir;
  return out;
}

EllipseShape ellipse_from_covariance(double a, double b, double c, double d,
                                     std::optional<double> mass) {
  if (std::isnan(a) || std::isnan(b) || std::isnan(c) || std::isnan(d)) {
    raise_value_error("SVD did not converge");
  }
  if (std::isinf(a) || std::isinf(b) || std::isinf(c) || std::isinf(d)) {
    // No finite decomposition: NaN singular values, an outline of NaN.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    chi2_multiplier(mass);  // a NaN mass still fails
    return EllipseShape{nan, nan, nan};
  }
  const Svd2 svd = svd2(a, b, c, d);
  const double multiplier = chi2_multiplier(mass);
  EllipseShape shape;
  shape.semimaj = std::sqrt(svd.s0) * multiplier;
  shape.semimin = std::sqrt(svd.s1) * multiplier;
  shape.phi = svd.direction;
  return shape;
}

void ellipse_outline(const EllipseShape& shape, double x_cent, double y_cent, std::int64_t n,
                     double* out_x, double* out_y) {
  if (n < 0) {
    raise_value_error("Number of samples, " + std::to_string(n) + ", must be non-negative.");
  }
  // T = R S with both products of each entry kept (a zero times an infinity stays NaN).
  const double cp = std::cos(shape.phi);
  const double sp = std::sin(shape.phi);
  const double t00 = cp * shape.semimaj + -sp * 0.0;
  const double t01 = cp * 0.0 + -sp * shape.semimin;
  const double t10 = sp * shape.semimaj + cp * 0.0;
  const double t11 = sp * 0.0 + cp * shape.semimin;
  const double stop = 2.0 * kPi;
  const double step = n > 1 ? stop / static_cast<double>(n - 1) : 0.0;
  for (std::int64_t k = 0; k < n; ++k) {
    const double theta = (k + 1 == n && n > 1) ? stop : static_cast<double>(k) * step + 0.0;
    const double ct = std::cos(theta);
    const double st = std::sin(theta);
    const double r = 1.0 / std::sqrt(ct * ct + st * st);
    const double x = r * ct;
    const double y = r * st;
    out_x[k] = (t00 * x + t01 * y) + x_cent;
    out_y[k] = (t10 * x + t11 * y) + y_cent;
  }
}

}  // namespace torvel
