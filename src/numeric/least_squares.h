// Ordinary least squares with an intercept, as scikit-learn's LinearRegression fits it on
// float64 data (centre on the means, minimum-norm solve with LAPACK dgelsd and rcond =
// machine epsilon, intercept = mean_y - offset . coef), in NumPy's arithmetic order:
//   * one-column mean and the y mean: NumPy's pairwise sum, added to +0.0, divided by m;
//   * two-column means: each column summed left to right from +0.0, divided by m;
//   * offset . coef goes through the BLAS ddot NumPy calls, so it carries whatever the loaded
//     BLAS does.
// The library links the system's generic BLAS/LAPACK, the ones NumPy and SciPy load.
#pragma once

#include <cstddef>

#include "numeric/dgelsd_paths.h"

namespace torvel {

// Where the values of an n x columns X lie: X(r, j) = data[r * row_step + j * column_step]
// (row-major: row_step = columns, column_step = 1; column-major: 1 and n).
struct FeatureLayout {
  std::size_t row_step = 1, column_step = 1;
};

// Fits y ~ X on the m rows `rows` of X, taken in that order, exactly as
// LinearRegression().fit(X[rows], y[rows]): writes the `columns` slopes to coef and returns
// the intercept. columns is 1 or 2, m >= 1. Throws Error(Value) with scikit-learn's / SciPy's
// text for non-finite X rows or an overflow to infinity while centring.
double fit_least_squares(const double* X, FeatureLayout layout, int columns, const double* y,
                         const std::size_t* rows, std::size_t m, LeastSquaresWork& work,
                         double* coef);

}  // namespace torvel
