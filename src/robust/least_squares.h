// Ordinary least squares with an intercept, as scikit-learn's LinearRegression fits and
// scores it on float64 data (centre on the means, minimum-norm solve with LAPACK dgelsd and
// rcond = machine epsilon, intercept = mean_y - offset . coef), in NumPy's arithmetic order:
//   * one-column mean and the y mean: NumPy's pairwise sum, added to +0.0, divided by m;
//   * two-column means: each column summed left to right from +0.0, divided by m;
//   * offset . coef and every prediction with more than one column go through the same BLAS
//     routines NumPy calls (ddot, dgemv), so they carry whatever the loaded BLAS does;
//     a one-column prediction is (0 + x * c) + intercept.
// The library links the system's generic BLAS/LAPACK, the ones NumPy and SciPy load.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "robust/ransac.h"

namespace torvel {

// NumPy's pairwise float64 sum of n values `stride` elements apart: under 8 terms left to
// right from 0; up to 128 terms eight running sums combined ((s0+s1)+(s2+s3))+((s4+s5)+(s6+s7))
// then the tail; above that the two halves split at floor(n/2) rounded down to a multiple of 8.
double pairwise_sum(const double* a, std::size_t n, std::size_t stride = 1);

// The finiteness check scikit-learn applies to an input: any NaN gives "Input <name> contains
// NaN." (plus LinearRegression's hint for X), otherwise any infinity gives "Input <name>
// contains infinity or a value too large for dtype('float64').".
// Returns normally when all n values are finite.
void check_all_finite(const double* values, std::size_t n, const char* name, bool with_estimator_hint);

// Reusable buffers of one fitter; not shared between threads.
struct LeastSquaresWork {
  std::vector<double> x, y, a, b, s, work, pred, reduction;
  std::vector<int> iwork;
  int queried_m = -1, queried_n = -1;  // the shape whose workspace `work`/`iwork` hold
  int lwork = 0;
};

// Where the values of an n x columns X lie: X(r, j) = data[r * row_step + j * column_step]
// (row-major: row_step = columns, column_step = 1; column-major: 1 and n).
struct FeatureLayout {
  std::size_t row_step = 1, column_step = 1;
};

// Fits y ~ X on the m rows `rows` of X, taken in that order, exactly as
// LinearRegression().fit(X[rows], y[rows]). columns is 1 or 2, m >= 1. Throws
// Error(Value) with scikit-learn's / SciPy's text for non-finite X rows or an overflow to
// infinity while centring.
LinearModel fit_least_squares(const double* X, FeatureLayout layout, int columns,
                              const double* y, const std::size_t* rows, std::size_t m,
                              LeastSquaresWork& work);

// The same on a row-major X.
inline LinearModel fit_least_squares(const double* X, int columns, const double* y,
                                     const std::size_t* rows, std::size_t m,
                                     LeastSquaresWork& work) {
  return fit_least_squares(X, {static_cast<std::size_t>(columns), 1}, columns, y, rows, m, work);
}

// The same fit with the one-column minimum-norm solve written out (one Householder reflection,
// the arithmetic dgelsd performs with a reference BLAS on m x 1 data). Exposed for tests.
double householder_slope(const double* a, const double* b, std::size_t m,
                         std::vector<double>& scratch);

// The minimum-norm least-squares solution of the centred m x columns system through dgelsd
// (a row-major, b of length m), rcond = machine epsilon. Exposed for tests.
// On a tall system dgelsd first reduces A to R with a QR factorisation (dgeqrf, dormqr) and
// then solves the columns x columns system; where no rescaling can happen that is done here
// in the same calls, which spares dgelsd's two full scans of A and b. The split is used only
// when the loaded LAPACK was found to give the same bits as the single call.
void dgelsd_solve(const double* a, const double* b, std::size_t m, int columns, double* coef,
                  LeastSquaresWork& work);

// Whether two-column predictions of this model are computed inline (the loaded BLAS was
// found to round them plainly): then every prediction of a row has the same value, whatever
// the array's order or the rows around it.
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
