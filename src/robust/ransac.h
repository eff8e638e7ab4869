// Robust fitting of the default linear model y = coef . x + intercept, reproducing
// scikit-learn's RANSACRegressor(residual_threshold=T, max_trials, random_state=seed)
// with LinearRegression, absolute-error loss and float64 data bit for bit: the same random
// subsets in the same order, the same trial loop, the same final refit and error texts.
//
// The engine is the generic loop `ransac<Estimator>` below the banner; `ransac_linear` is
// that loop on the linear least-squares estimator (one or two columns of X).
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "support/error.h"

namespace torvel {

struct LinearModel {            // y = coef . x + intercept
  std::vector<double> coef;     // one slope per column of X
  double intercept = 0.0;
  // scikit-learn's prediction order: (0 + x0*c0 + x1*c1 ...) left to right, then + intercept
  double predict(const double* x_row) const;
};

struct RansacReport {
  bool success = false;
  int num_trials = 0;
  std::vector<std::uint8_t> inlier_mask;  // one per sample, 1 = inlier
  LinearModel model;                      // the final refit on the inliers
};

// X: n rows of `columns` doubles, row-major contiguous; y: n doubles. columns is 1 or 2.
// residual_threshold T (a row is an inlier iff |y - prediction| <= T), max_trials 300 and
// seed 42 as scikit-learn's RANSACRegressor with the default LinearRegression. Every call
// starts a fresh generator. Throws torvel::Error(ErrorKind::Value, <scikit-learn's text>)
// for every case where scikit-learn raises ValueError (empty X, n < min_samples, NaN/inf in
// y, NaN/inf in X, no consensus set).
RansacReport ransac_linear(const double* X, std::size_t n, int columns, const double* y,
                           double residual_threshold, int max_trials = 300,
                           std::uint32_t seed = 42);

}  // namespace torvel
