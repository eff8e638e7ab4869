// LAPACK's Householder reflection (dlarfg) and the hypotenuse it takes (dlapy2), for the
// written-out reductions of tall least-squares systems.
#pragma once

namespace torvel {

// LAPACK's dlapy2: sqrt(p^2 + q^2) without needless overflow.
double lapack_hypot(double p, double q);

// H = I - tau v v^T with v = (1, x * scale), which maps (alpha, x) to (beta, 0).
struct Reflection {
  double tau = 0.0, scale = 0.0, beta = 0.0;
};

// dlarfg on (alpha, x) with x's norm already known (dnrm2's plain sum of squares). A zero
// norm gives tau = 0 and beta = alpha. A norm in dnrm2's plain range is at least 2^-511, so
// dlarfg's rescaling of a tiny beta never happens here.
Reflection reflect(double alpha, double xnorm);

}  // namespace torvel
