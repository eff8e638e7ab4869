#include "numeric/least_squares.h"

#include <cmath>
#include <cstddef>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "numeric/blas.h"
#include "numeric/finite.h"
#include "numeric/pairwise_sum.h"
#include "numeric/two_column_reduction.h"
#include "support/error.h"
#include "support/grow.h"
#include "support/simd.h"

namespace torvel {
namespace {

// x (m x columns, row-major) and y minus their offsets.
TORVEL_VECTOR_CLONES
void centre_columns(double* x, double* y, std::size_t m, int columns, const double* x_offset,
                    double y_offset) {
  if (columns == 2) {
    const double o0 = x_offset[0], o1 = x_offset[1];
    for (std::size_t i = 0; i < m; ++i) {
      x[2 * i] -= o0;
      x[2 * i + 1] -= o1;
    }
  } else {
    for (std::size_t i = 0; i < m; ++i) x[i] -= x_offset[0];
  }
  for (std::size_t i = 0; i < m; ++i) y[i] -= y_offset;
}

[[noreturn]] void raise_not_finite_lstsq() { raise_value_error("array must not contain infs or NaNs"); }

// The m rows of a two-column X and their targets, gathered; returns the column sums, each
// left to right from +0.0, and whether both are finite. (A NaN or infinity in X makes its
// column's sum NaN or infinite from there on, so finite sums mean a finite X.)
bool gather_two_columns(const double* X, FeatureLayout layout, const double* y,
                        const std::size_t* rows, std::size_t m, double* x_out, double* y_out,
                        double* sums) {
  const std::size_t rs = layout.row_step, cs = layout.column_step;
#if defined(__SSE2__)
  __m128d acc = _mm_setzero_pd();
  for (std::size_t i = 0; i < m; ++i) {
    const double* row = X + rows[i] * rs;
    const __m128d pair = cs == 1 ? _mm_loadu_pd(row) : _mm_set_pd(row[cs], row[0]);
    _mm_storeu_pd(x_out + 2 * i, pair);
    y_out[i] = y[rows[i]];
    acc = _mm_add_pd(acc, pair);
  }
  _mm_storeu_pd(sums, acc);
#else
  double s0 = 0.0, s1 = 0.0;
  for (std::size_t i = 0; i < m; ++i) {
    const double* row = X + rows[i] * rs;
    x_out[2 * i] = row[0];
    x_out[2 * i + 1] = row[cs];
    y_out[i] = y[rows[i]];
    s0 += row[0];
    s1 += row[cs];
  }
  sums[0] = s0;
  sums[1] = s1;
#endif
  return std::isfinite(sums[0]) && std::isfinite(sums[1]);
}

// The centred system x, y (centred here) solved into coef: with the written-out reduction
// where the plan takes it (its first pass runs with the centring, over the rows once), a
// two-point line by its one reflection, otherwise by the plan's dgelsd paths.
void centre_and_solve(double* x, double* y, std::size_t m, int columns, const double* x_offset,
                      double y_offset, LeastSquaresWork& work, double* coef) {
  TwoColumnReduction r;
  const TwoColumnReduction* reduced = nullptr;
  if (plan_reduces(columns, m)) {
    const Reduction outcome = centre_and_reduce_two_columns(x, y, m, x_offset, y_offset,
                                                            grow(work.reduction, 2 * m), r);
    if (outcome == Reduction::NotFinite) raise_not_finite_lstsq();
    if (outcome == Reduction::Done) reduced = &r;
  } else {
    centre_columns(x, y, m, columns, x_offset, y_offset);
    if (!all_finite(x, m * static_cast<std::size_t>(columns)) || !all_finite(y, m))
      raise_not_finite_lstsq();
  }
  if (columns == 1 && m == 2 && two_point_line_applies(x, y)) {
    coef[0] = householder_slope(x, y, m, work.pred);
    return;
  }
  dgelsd_solve_after_reduction(x, y, m, columns, reduced, coef, work);
}

}  // namespace

double fit_least_squares(const double* X, FeatureLayout layout, int columns, const double* y,
                         const std::size_t* rows, std::size_t m, LeastSquaresWork& work,
                         double* coef) {
  const auto F = static_cast<std::size_t>(columns);
  grow(work.x, m * F);
  grow(work.y, m);
  const double count = static_cast<double>(m);
  double x_offset[2] = {0.0, 0.0};
  if (F == 2) {
    if (!gather_two_columns(X, layout, y, rows, m, work.x.data(), work.y.data(), x_offset))
      check_all_finite(work.x.data(), m * F, "X", true);
    x_offset[0] = x_offset[0] / count;
    x_offset[1] = x_offset[1] / count;
  } else {
    for (std::size_t i = 0; i < m; ++i) {
      work.x[i] = X[rows[i] * layout.row_step];
      work.y[i] = y[rows[i]];
    }
    check_all_finite(work.x.data(), m * F, "X", true);
    x_offset[0] = (0.0 + pairwise_sum(work.x.data(), m)) / count;
  }
  const double y_offset = (0.0 + pairwise_sum(work.y.data(), m)) / count;
  for (std::size_t j = 0; j < F; ++j) coef[j] = 0.0;
  centre_and_solve(work.x.data(), work.y.data(), m, columns, x_offset, y_offset, work, coef);
  return y_offset - numpy_dot(x_offset, coef, columns);
}

}  // namespace torvel
