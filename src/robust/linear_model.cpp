#include "robust/linear_model.h"

#include <algorithm>
#include <limits>

#include "numeric/blas.h"
#include "numeric/pairwise_sum.h"
#include "numeric/solve_plan.h"
#include "support/grow.h"
#include "support/simd.h"

namespace torvel {

LinearModel fit_linear_model(const double* X, FeatureLayout layout, int columns, const double* y,
                             const std::size_t* rows, std::size_t m, LeastSquaresWork& work) {
  LinearModel model;
  model.coef.assign(static_cast<std::size_t>(columns), 0.0);
  model.intercept = fit_least_squares(X, layout, columns, y, rows, m, work, model.coef.data());
  return model;
}

double LinearModel::predict(const double* x_row) const {
  const int columns = static_cast<int>(coef.size());
  if (columns == 1) return (0.0 + x_row[0] * coef[0]) + intercept;
  return numpy_dot(x_row, coef.data(), columns) + intercept;
}

namespace {

// out = A x with BLAS dgemv on a column-major `rows` x `cols` matrix (transposed first when
// `trans`), then the intercept added: NumPy's matmul followed by + intercept_.
void gemv_plus_intercept(bool trans, std::size_t rows, std::size_t cols, const double* a,
                         const LinearModel& model, double* out, std::size_t count) {
  std::fill_n(out, count, 0.0);
  cblas_dgemv(kCblasColMajor, trans ? kCblasTrans : kCblasNoTrans, blas_int(rows),
              blas_int(cols), 1.0, a, blas_int(rows), model.coef.data(), 1, 0.0, out, 1);
  for (std::size_t i = 0; i < count; ++i) out[i] = out[i] + model.intercept;
}

// The two-column products inline, in the arithmetic the loaded BLAS was found to use.
TORVEL_VECTOR_CLONES
void plain_two_columns(const double* x0, const double* x1, std::size_t step, std::size_t m,
                       double c0, double c1, double intercept, double* out) {
  if (step == 1) {
    for (std::size_t i = 0; i < m; ++i) out[i] = ((0.0 + x0[i] * c0) + x1[i] * c1) + intercept;
  } else {
    for (std::size_t i = 0; i < m; ++i)
      out[i] = ((0.0 + x0[2 * i] * c0) + x1[2 * i] * c1) + intercept;
  }
}

void plain_two_columns(const LinearModel& model, const double* x0, const double* x1,
                       std::size_t step, std::size_t m, double* out) {
  plain_two_columns(x0, x1, step, m, model.coef[0], model.coef[1], model.intercept, out);
}

}  // namespace

bool two_column_predictions_are_plain(const LinearModel& model) {
  // A zero coefficient is left to the BLAS, which may skip its column.
  return solve_plan().inline_two_column_products && model.coef[0] != 0.0 &&
         model.coef[1] != 0.0;
}

void predict_rows(const LinearModel& model, const double* X, std::size_t m, int columns,
                  double* out) {
  const auto F = static_cast<std::size_t>(columns);
  if (columns == 1 || m == 1) {
    for (std::size_t i = 0; i < m; ++i) out[i] = model.predict(X + i * F);
    return;
  }
  if (columns == 2 && two_column_predictions_are_plain(model)) {
    plain_two_columns(model, X, X + 1, 2, m, out);
    return;
  }
  // A C-ordered m x columns array is a column-major columns x m matrix: transposed gemv.
  gemv_plus_intercept(true, F, m, X, model, out, m);
}

void predict_rows_column_major(const LinearModel& model, const double* X_columns, std::size_t n,
                               int columns, double* out) {
  const auto F = static_cast<std::size_t>(columns);
  if (columns == 1 || n == 1) {
    // NumPy reaches the same scalar code for one column or one row, whatever the order.
    std::vector<double> row(F);
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t j = 0; j < F; ++j) row[j] = X_columns[j * n + i];
      out[i] = model.predict(row.data());
    }
    return;
  }
  if (columns == 2 && two_column_predictions_are_plain(model)) {
    plain_two_columns(model, X_columns, X_columns + n, 1, n, out);
    return;
  }
  gemv_plus_intercept(false, n, F, X_columns, model, out, n);
}

double r2_denominator(const double* y_true, std::size_t m, std::vector<double>& scratch) {
  grow(scratch, m);
  const double mean = (0.0 + pairwise_sum(y_true, m)) / static_cast<double>(m);
  for (std::size_t i = 0; i < m; ++i) {
    const double d = y_true[i] - mean;
    scratch[i] = d * d;
  }
  return 0.0 + pairwise_sum(scratch.data(), m);
}

double r2_score(const double* y_true, const double* y_pred, std::size_t m, double denominator,
                std::vector<double>& scratch) {
  if (m < 2) return std::numeric_limits<double>::quiet_NaN();
  grow(scratch, m);
  for (std::size_t i = 0; i < m; ++i) {
    const double d = y_true[i] - y_pred[i];
    scratch[i] = d * d;
  }
  const double numerator = 0.0 + pairwise_sum(scratch.data(), m);
  if (numerator == 0.0) return 1.0;
  if (denominator == 0.0) return 0.0;
  return 1.0 - numerator / denominator;
}

double r2_score(const double* y_true, const double* y_pred, std::size_t m,
                std::vector<double>& scratch) {
  if (m < 2) return std::numeric_limits<double>::quiet_NaN();
  return r2_score(y_true, y_pred, m, r2_denominator(y_true, m, scratch), scratch);
}

}  // namespace torvel
