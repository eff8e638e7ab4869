#include "robust/least_squares.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "support/error.h"

extern "C" {
void dgelsd_(const int* m, const int* n, const int* nrhs, double* a, const int* lda, double* b,
             const int* ldb, double* s, const double* rcond, int* rank, double* work,
             const int* lwork, int* iwork, int* info);
double ddot_(const int* n, const double* x, const int* incx, const double* y, const int* incy);
void dgemv_(const char* trans, const int* m, const int* n, const double* alpha, const double* a,
            const int* lda, const double* x, const int* incx, const double* beta, double* y,
            const int* incy, std::size_t trans_len);
}

namespace torvel {

namespace {

constexpr int kMaxBlasSize = std::numeric_limits<int>::max();

int blas_int(std::size_t v) {
  if (v > static_cast<std::size_t>(kMaxBlasSize)) {
    raise_value_error("array too large for the linear algebra library");
  }
  return static_cast<int>(v);
}

// numpy.dot of two float64 vectors: 0.0 + ddot.
double numpy_dot(const double* x, const double* y, int n) {
  const int one = 1;
  return 0.0 + ddot_(&n, x, &one, y, &one);
}

// LAPACK dlapy2: sqrt(p^2 + q^2) without needless overflow.
double lapack_hypot(double p, double q) {
  const double w = std::max(std::fabs(p), std::fabs(q));
  const double z = std::min(std::fabs(p), std::fabs(q));
  if (z == 0.0 || w > std::numeric_limits<double>::max()) return w;
  const double r = z / w;
  return w * std::sqrt(1.0 + r * r);
}

// True when the Householder recipe reproduces dgelsd bit for bit on this column: every value
// inside the range where the norm is a plain sum of squares and no rescaling happens.
bool householder_safe(const double* a, const double* b, std::size_t m) {
  constexpr double kSmall = 0x1p-500;  // above BLAS dnrm2's small threshold 2^-511
  constexpr double kBig = 0x1p480;     // below its big threshold 2^486
  for (std::size_t i = 0; i < m; ++i) {
    const double va = std::fabs(a[i]);
    const double vb = std::fabs(b[i]);
    if (va != 0.0 && (va < kSmall || va > kBig)) return false;
    if (vb != 0.0 && (vb < kSmall || vb > kBig)) return false;
  }
  return true;
}

[[noreturn]] void raise_not_finite_lstsq() { raise_value_error("array must not contain infs or NaNs"); }

}  // namespace

double pairwise_sum(const double* a, std::size_t n, std::size_t stride) {
  if (n < 8) {
    double res = 0.0;
    for (std::size_t i = 0; i < n; ++i) res += a[i * stride];
    return res;
  }
  if (n <= 128) {
    double r[8];
    for (std::size_t j = 0; j < 8; ++j) r[j] = a[j * stride];
    std::size_t i = 8;
    for (; i < n - (n % 8); i += 8) {
      for (std::size_t j = 0; j < 8; ++j) r[j] += a[(i + j) * stride];
    }
    double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (; i < n; ++i) res += a[i * stride];
    return res;
  }
  std::size_t n2 = n / 2;
  n2 -= n2 % 8;
  return pairwise_sum(a, n2, stride) + pairwise_sum(a + n2 * stride, n - n2, stride);
}

void check_all_finite(const double* values, std::size_t n, const char* name,
                      bool with_estimator_hint) {
  bool has_inf = false;
  bool has_nan = false;
  for (std::size_t i = 0; i < n; ++i) {
    has_nan = has_nan || std::isnan(values[i]);
    has_inf = has_inf || std::isinf(values[i]);
  }
  if (!has_nan && !has_inf) return;
  std::string message = std::string("Input ") + name + " contains ";
  if (has_nan) {
    message += "NaN.";
    if (with_estimator_hint) {
      message +=
          "\nLinearRegression does not accept missing values encoded as NaN natively. For "
          "supervised learning, you might want to consider "
          "sklearn.ensemble.HistGradientBoostingClassifier and Regressor which accept "
          "missing values encoded as NaNs natively. Alternatively, it is possible to "
          "preprocess the data, for instance by using an imputer transformer in a pipeline "
          "or drop samples with missing values. See "
          "https://scikit-learn.org/stable/modules/impute.html You can find a list of all "
          "estimators that handle NaN values at the following page: "
          "https://scikit-learn.org/stable/modules/impute.html"
          "#estimators-that-handle-nan-values";
    }
  } else {
    message += "infinity or a value too large for dtype('float64').";
  }
  raise_value_error(message);
}

double householder_slope(const double* a, const double* b, std::size_t m,
                         std::vector<double>& scratch) {
  const double alpha = a[0];
  double sum_sq = 0.0;
  for (std::size_t i = 1; i < m; ++i) sum_sq += a[i] * a[i];
  const double xnorm = std::sqrt(sum_sq);
  double beta = alpha;
  double b0 = b[0];
  if (xnorm != 0.0) {
    beta = -std::copysign(lapack_hypot(alpha, xnorm), alpha);
    const double tau = (beta - alpha) / beta;
    const double s = 1.0 / (alpha - beta);
    scratch.resize(m);
    scratch[0] = 1.0;
    for (std::size_t i = 1; i < m; ++i) scratch[i] = a[i] * s;
    double w = 0.0;
    for (std::size_t i = 0; i < m; ++i) w += b[i] * scratch[i];
    const double t = -tau * w;
    b0 = b[0] + scratch[0] * t;
  }
  return beta == 0.0 ? 0.0 : b0 * (1.0 / beta);
}

void dgelsd_solve(const double* a, const double* b, std::size_t m, int columns, double* coef,
                  LeastSquaresWork& work) {
  const int mm = blas_int(m);
  const int n = columns;
  const int nrhs = 1;
  const int lda = std::max(1, mm);
  const int ldb = std::max(mm, n);
  work.a.resize(m * static_cast<std::size_t>(n));
  for (std::size_t i = 0; i < m; ++i) {
    for (int j = 0; j < n; ++j) work.a[static_cast<std::size_t>(j) * m + i] = a[i * n + j];
  }
  work.b.assign(static_cast<std::size_t>(ldb), 0.0);
  std::copy_n(b, m, work.b.begin());
  work.s.resize(static_cast<std::size_t>(std::min(mm, n)));
  const double rcond = std::numeric_limits<double>::epsilon();
  int rank = 0;
  int info = 0;
  // Workspace query first, as SciPy does, then the solve with exactly that workspace.
  double query = 0.0;
  int iquery = 0;
  int lwork = -1;
  dgelsd_(&mm, &n, &nrhs, work.a.data(), &lda, work.b.data(), &ldb, work.s.data(), &rcond, &rank,
          &query, &lwork, &iquery, &info);
  if (info != 0) raise_value_error("internal gelsd workspace query failed");
  lwork = static_cast<int>(query);
  work.work.resize(static_cast<std::size_t>(std::max(1, lwork)));
  work.iwork.resize(static_cast<std::size_t>(std::max(1, iquery)));
  dgelsd_(&mm, &n, &nrhs, work.a.data(), &lda, work.b.data(), &ldb, work.s.data(), &rcond, &rank,
          work.work.data(), &lwork, work.iwork.data(), &info);
  if (info > 0) throw Error(ErrorKind::Runtime, "SVD did not converge in Linear Least Squares");
  if (info < 0) {
    raise_value_error("illegal value in " + std::to_string(-info) + "-th argument of internal gelsd");
  }
  std::copy_n(work.b.begin(), n, coef);
}

LinearModel fit_least_squares(const double* X, int columns, const double* y,
                              const std::size_t* rows, std::size_t m, LeastSquaresWork& work) {
  const auto F = static_cast<std::size_t>(columns);
  work.x.resize(m * F);
  work.y.resize(m);
  for (std::size_t i = 0; i < m; ++i) {
    const std::size_t r = rows[i];
    for (std::size_t j = 0; j < F; ++j) work.x[i * F + j] = X[r * F + j];
    work.y[i] = y[r];
  }
  check_all_finite(work.x.data(), m * F, "X", true);

  const double count = static_cast<double>(m);
  double x_offset[2] = {0.0, 0.0};
  if (F == 1) {
    x_offset[0] = (0.0 + pairwise_sum(work.x.data(), m)) / count;
  } else {
    for (std::size_t j = 0; j < F; ++j) {
      double s = 0.0;
      for (std::size_t i = 0; i < m; ++i) s += work.x[i * F + j];
      x_offset[j] = s / count;
    }
  }
  const double y_offset = (0.0 + pairwise_sum(work.y.data(), m)) / count;
  for (std::size_t i = 0; i < m; ++i) {
    for (std::size_t j = 0; j < F; ++j) work.x[i * F + j] -= x_offset[j];
    work.y[i] -= y_offset;
  }
  for (std::size_t i = 0; i < m * F; ++i) {
    if (!std::isfinite(work.x[i])) raise_not_finite_lstsq();
  }
  for (std::size_t i = 0; i < m; ++i) {
    if (!std::isfinite(work.y[i])) raise_not_finite_lstsq();
  }

  LinearModel model;
  model.coef.assign(F, 0.0);
  if (F == 1 && m == 2 && householder_safe(work.x.data(), work.y.data(), m)) {
    // A two-point line: one reflection of length two, which every BLAS computes alike.
    model.coef[0] = householder_slope(work.x.data(), work.y.data(), m, work.pred);
  } else {
    dgelsd_solve(work.x.data(), work.y.data(), m, columns, model.coef.data(), work);
  }
  model.intercept = y_offset - numpy_dot(x_offset, model.coef.data(), columns);
  return model;
}

double LinearModel::predict(const double* x_row) const {
  const int columns = static_cast<int>(coef.size());
  if (columns == 1) return (0.0 + x_row[0] * coef[0]) + intercept;
  return numpy_dot(x_row, coef.data(), columns) + intercept;
}

namespace {

// out = A x with BLAS dgemv on a column-major `rows` x `cols` matrix (transposed first when
// trans is 'T'), then the intercept added: NumPy's matmul followed by + intercept_.
void gemv_plus_intercept(char trans, std::size_t rows, std::size_t cols, const double* a,
                         const LinearModel& model, double* out, std::size_t count) {
  const int m = blas_int(rows);
  const int n = blas_int(cols);
  const int one = 1;
  const double alpha = 1.0;
  const double beta = 0.0;
  std::fill_n(out, count, 0.0);
  dgemv_(&trans, &m, &n, &alpha, a, &m, model.coef.data(), &one, &beta, out, &one, 1);
  for (std::size_t i = 0; i < count; ++i) out[i] = out[i] + model.intercept;
}

}  // namespace

void predict_rows(const LinearModel& model, const double* X, std::size_t m, int columns,
                  double* out) {
  const auto F = static_cast<std::size_t>(columns);
  if (columns == 1 || m == 1) {
    for (std::size_t i = 0; i < m; ++i) out[i] = model.predict(X + i * F);
    return;
  }
  // A C-ordered m x columns array is a column-major columns x m matrix: transposed gemv.
  gemv_plus_intercept('T', F, m, X, model, out, m);
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
  gemv_plus_intercept('N', n, F, X_columns, model, out, n);
}

double r2_score(const double* y_true, const double* y_pred, std::size_t m,
                std::vector<double>& scratch) {
  if (m < 2) return std::numeric_limits<double>::quiet_NaN();
  scratch.resize(m);
  for (std::size_t i = 0; i < m; ++i) {
    const double d = y_true[i] - y_pred[i];
    scratch[i] = d * d;
  }
  const double numerator = 0.0 + pairwise_sum(scratch.data(), m);
  const double mean = (0.0 + pairwise_sum(y_true, m)) / static_cast<double>(m);
  for (std::size_t i = 0; i < m; ++i) {
    const double d = y_true[i] - mean;
    scratch[i] = d * d;
  }
  const double denominator = 0.0 + pairwise_sum(scratch.data(), m);
  if (numerator == 0.0) return 1.0;
  if (denominator == 0.0) return 0.0;
  return 1.0 - numerator / denominator;
}

}  // namespace torvel
