#include "numeric/dgelsd_paths.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "numeric/blas.h"
#include "numeric/norm_range.h"
#include "numeric/reflection.h"
#include "numeric/solve_plan.h"
#include "support/error.h"
#include "support/grow.h"

namespace torvel {
namespace {

// dgelsd on the column-major m x n `a` and b (length max(m, n)), workspace queried once per
// shape as SciPy queries it. Returns the solution in b[0..n).
void call_dgelsd(int m, int n, double* a, int lda, double* b, int ldb, LeastSquaresWork& work) {
  const int nrhs = 1;
  const double rcond = std::numeric_limits<double>::epsilon();
  int rank = 0, info = 0;
  work.s.resize(static_cast<std::size_t>(std::min(m, n)));
  if (work.queried_m != m || work.queried_n != n) {
    double query = 0.0;
    int iquery = 0, lwork = -1;
    dgelsd_(&m, &n, &nrhs, a, &lda, b, &ldb, work.s.data(), &rcond, &rank, &query, &lwork,
            &iquery, &info);
    if (info != 0) raise_value_error("internal gelsd workspace query failed");
    work.lwork = static_cast<int>(query);
    work.work.resize(static_cast<std::size_t>(std::max(1, work.lwork)));
    work.iwork.resize(static_cast<std::size_t>(std::max(1, iquery)));
    work.queried_m = m;
    work.queried_n = n;
  }
  dgelsd_(&m, &n, &nrhs, a, &lda, b, &ldb, work.s.data(), &rcond, &rank, work.work.data(),
          &work.lwork, work.iwork.data(), &info);
  if (info > 0) throw Error(ErrorKind::Runtime, "SVD did not converge in Linear Least Squares");
  if (info < 0) {
    raise_value_error("illegal value in " + std::to_string(-info) + "-th argument of internal gelsd");
  }
}

double max_abs(const double* v, std::size_t n) {
  double m = 0.0;
  for (std::size_t i = 0; i < n; ++i) m = std::max(m, std::fabs(v[i]));
  return m;
}

// Far inside dgelsd's range [2^-970, 2^970] in which it leaves A and b unscaled.
bool unscaled(double norm) { return norm >= 0x1p-900 && norm <= 0x1p900; }

// The system copied column-major into work.a, and b into work.b (zero-padded to max(m, n)).
void copy_system(const double* a, const double* b, std::size_t m, int n, LeastSquaresWork& work) {
  const auto ldb = std::max(m, static_cast<std::size_t>(n));
  double* wa = grow(work.a, m * static_cast<std::size_t>(n));
  for (std::size_t i = 0; i < m; ++i) {
    for (int j = 0; j < n; ++j) wa[static_cast<std::size_t>(j) * m + i] = a[i * n + j];
  }
  double* wb = grow(work.b, ldb);
  std::copy_n(b, m, wb);
  std::fill(wb + m, wb + ldb, 0.0);
}

// dgelsd's own path for m >= n rows beyond its threshold, in separate calls on the copied
// system: A = QR, b = Q^T b, then dgelsd on R and the first n values of b. False (a and b
// partly overwritten) where dgelsd would rescale, A or b, or the reduced system.
bool split_in_place(int m, int n, double* a, double* b, LeastSquaresWork& work) {
  if (!unscaled(max_abs(a, static_cast<std::size_t>(m) * n))) return false;
  const double bnrm = max_abs(b, static_cast<std::size_t>(m));
  if (bnrm != 0.0 && !unscaled(bnrm)) return false;
  double tau[2], qwork[64];
  const int one = 1, lq = 64;
  int info = 0;
  dgeqrf_(&m, &n, a, &m, tau, qwork, &lq, &info);
  if (info != 0) return false;
  dormqr_("L", "T", &m, &one, &n, a, &m, tau, b, &m, qwork, &lq, &info, 1, 1);
  if (info != 0) return false;
  if (n > 1) a[1] = 0.0;  // below R
  const double top = max_abs(b, static_cast<std::size_t>(n));
  if (top != 0.0 && !unscaled(top)) return false;
  call_dgelsd(n, n, a, m, b, m, work);
  return true;
}

// dgelsd on the reduced system R, Q^T b. False where dgelsd would have rescaled A or b, or
// would rescale the reduced right-hand side.
bool solve_reduced(const TwoColumnReduction& r, double* coef, LeastSquaresWork& work) {
  if (!unscaled(r.a_max) || (r.b_max != 0.0 && !unscaled(r.b_max))) return false;
  const double top = std::max(std::fabs(r.qtb0), std::fabs(r.qtb1));
  if (top != 0.0 && !unscaled(top)) return false;
  double ra[4] = {r.r11, 0.0, r.r12, r.r22}, rb[2] = {r.qtb0, r.qtb1};
  call_dgelsd(2, 2, ra, 2, rb, 2, work);
  coef[0] = rb[0];
  coef[1] = rb[1];
  return true;
}

}  // namespace

bool plan_reduces(int columns, std::size_t m) {
  return columns == 2 && m >= kReduceFromRows && solve_plan().written_out_reduction;
}

void dgelsd_solve(const double* a, const double* b, std::size_t m, int columns, double* coef,
                  LeastSquaresWork& work) {
  TwoColumnReduction r;
  const bool reduced = plan_reduces(columns, m) &&
                       reduce_two_columns(a, b, m, grow(work.reduction, 2 * m), r);
  dgelsd_solve_after_reduction(a, b, m, columns, reduced ? &r : nullptr, coef, work);
}

void dgelsd_solve_after_reduction(const double* a, const double* b, std::size_t m, int columns,
                                  const TwoColumnReduction* reduced, double* coef,
                                  LeastSquaresWork& work) {
  if (reduced && solve_reduced(*reduced, coef, work)) return;
  if (m >= kSplitFromRows && solve_plan().split_solve &&
      split_dgelsd_call(a, b, m, columns, coef, work))
    return;
  single_dgelsd_call(a, b, m, columns, coef, work);
}

void single_dgelsd_call(const double* a, const double* b, std::size_t m, int columns,
                        double* coef, LeastSquaresWork& work) {
  copy_system(a, b, m, columns, work);
  const int mm = blas_int(m);
  call_dgelsd(mm, columns, work.a.data(), std::max(1, mm), work.b.data(), std::max(mm, columns),
              work);
  std::copy_n(work.b.begin(), columns, coef);
}

bool split_dgelsd_call(const double* a, const double* b, std::size_t m, int columns,
                       double* coef, LeastSquaresWork& work) {
  copy_system(a, b, m, columns, work);
  if (!split_in_place(blas_int(m), columns, work.a.data(), work.b.data(), work)) return false;
  std::copy_n(work.b.begin(), columns, coef);
  return true;
}

bool reduced_dgelsd_call(const double* a, const double* b, std::size_t m, double* coef,
                         LeastSquaresWork& work) {
  TwoColumnReduction r;
  return reduce_two_columns(a, b, m, grow(work.reduction, 2 * m), r) &&
         solve_reduced(r, coef, work);
}

bool two_point_line_applies(const double* a, const double* b) {
  double smallest = std::numeric_limits<double>::infinity(), largest = 0.0;
  for (double v : {a[0], a[1], b[0], b[1]}) {
    const double magnitude = std::fabs(v);
    if (magnitude != 0.0) smallest = std::min(smallest, magnitude);
    largest = std::max(largest, magnitude);
  }
  return in_plain_norm_range(smallest, largest);
}

double householder_slope(const double* a, const double* b, std::size_t m,
                         std::vector<double>& scratch) {
  double sum_sq = 0.0;
  for (std::size_t i = 1; i < m; ++i) sum_sq += a[i] * a[i];
  const double xnorm = std::sqrt(sum_sq);
  const Reflection h = reflect(a[0], xnorm);
  double b0 = b[0];
  if (xnorm != 0.0) {
    grow(scratch, m);
    scratch[0] = 1.0;
    for (std::size_t i = 1; i < m; ++i) scratch[i] = a[i] * h.scale;
    double w = 0.0;
    for (std::size_t i = 0; i < m; ++i) w += b[i] * scratch[i];
    const double t = -h.tau * w;
    b0 = b[0] + scratch[0] * t;
  }
  return h.beta == 0.0 ? 0.0 : b0 * (1.0 / h.beta);
}

}  // namespace torvel
