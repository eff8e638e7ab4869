#include "numeric/reflection.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace torvel {

double lapack_hypot(double p, double q) {
  const double w = std::max(std::fabs(p), std::fabs(q));
  const double z = std::min(std::fabs(p), std::fabs(q));
  if (z == 0.0 || w > std::numeric_limits<double>::max()) return w;
  const double r = z / w;
  return w * std::sqrt(1.0 + r * r);
}

Reflection reflect(double alpha, double xnorm) {
  Reflection h;
  h.beta = alpha;
  if (xnorm == 0.0) return h;
  h.beta = -std::copysign(lapack_hypot(alpha, xnorm), alpha);
  h.tau = (h.beta - alpha) / h.beta;
  h.scale = 1.0 / (alpha - h.beta);
  return h;
}

}  // namespace torvel
