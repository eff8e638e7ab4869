// The default linear model of the robust fits, y = coef . x + intercept on one or two columns
// of X: scikit-learn's LinearRegression fitted, predicting and scoring on float64 data, in
// NumPy's arithmetic order. Predictions with more than one column go through the BLAS
// routines NumPy calls (ddot, dgemv), or are computed inline where the SolvePlan found the
// loaded BLAS to round them plainly (numeric/solve_plan.h); a one-column prediction is
// (0 + x * c) + intercept.
#pragma once

#include <cstddef>
#include <vector>

#include "numeric/least_squares.h"

namespace torvel {

struct LinearModel {            // y = coef . x + intercept
  std::vector<double> coef;     // one slope per column of X
  double intercept = 0.0;
  // scikit-learn's prediction order: (0 + x0*c0 + x1*c1 ...) left to right, then + intercept.
  // With more than one column the dot product is the BLAS ddot NumPy calls for a single row,
  // so the value is bit-identical to estimator_.predict on a 1 x columns array.
  double predict(const double* x_row) const;
};

// LinearRegression().fit(X[rows], y[rows]) on the m rows `rows` of X, in that order
// (numeric/least_squares.h): columns is 1 or 2, m >= 1.
LinearModel fit_linear_model(const double* X, FeatureLayout layout, int columns, const double* y,
                             const std::size_t* rows, std::size_t m, LeastSquaresWork& work);

// The same on a row-major X.
inline LinearModel fit_linear_model(const double* X, int columns, const double* y,
                                    const std::size_t* rows, std::size_t m,
                                    LeastSquaresWork& work) {
  return fit_linear_model(X, {static_cast<std::size_t>(columns), 1}, columns, y, rows, m, work);
}

// Whether two-column predictions of this model are computed inline (the plan's choice): then
// every prediction of a row has the same value, whatever the array's order or the rows
// around it.
bool two_column_predictions_are_plain(const LinearModel& model);

// Predictions of X @ coef + intercept for the m rows of X (row-major, contiguous), as
// estimator.predict computes them for a C-ordered array (a matrix-vector product, then the
// intercept added).
void predict_rows(const LinearModel& model, const double* X, std::size_t m, int columns,
                  double* out);

// The same predictions for the n rows of a column-major X (columns contiguous runs of n), as
// predict computes them for a Fortran-ordered array (gemv without transposition).
void predict_rows_column_major(const LinearModel& model, const double* X_columns, std::size_t n,
                               int columns, double* out);

// r2_score(y_true, y_pred) with force_finite: fewer than 2 values give NaN; numerator and
// denominator are pairwise sums; numerator 0 gives 1.0, denominator 0 (numerator not 0) 0.0,
// otherwise 1 - numerator / denominator (NaN propagates).
double r2_score(const double* y_true, const double* y_pred, std::size_t m,
                std::vector<double>& scratch);

// The two halves of r2_score, for scores of several predictions of the same values:
// the denominator, the pairwise sum of (y_true - mean)^2 (m >= 1), and the score given it.
double r2_denominator(const double* y_true, std::size_t m, std::vector<double>& scratch);
double r2_score(const double* y_true, const double* y_pred, std::size_t m, double denominator,
                std::vector<double>& scratch);

}  // namespace torvel
