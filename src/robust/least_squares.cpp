#include "robust/least_squares.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <cmath>
#include <limits>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "robust/blas.h"
#include "robust/two_column_reduction.h"
#include "support/grow.h"
#include "support/simd.h"
#include "support/error.h"


namespace torvel {

namespace {

constexpr int kMaxBlasSize = std::numeric_limits<int>::max();
constexpr std::uint64_t kExponentBits = 0x7ff0000000000000ull;

int blas_int(std::size_t v) {
  if (v > static_cast<std::size_t>(kMaxBlasSize)) {
    raise_value_error("array too large for the linear algebra library");
  }
  return static_cast<int>(v);
}

// numpy.dot of two float64 vectors: 0.0 + ddot.
double numpy_dot(const double* x, const double* y, int n) { return 0.0 + cblas_ddot(n, x, 1, y, 1); }

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

// All-ones exponents mark NaN and infinity; an integer scan the compiler vectorises.
TORVEL_VECTOR_CLONES
bool all_finite(const double* values, std::size_t n) {
  std::uint64_t non_finite = 0;
  for (std::size_t i = 0; i < n; ++i) {
    non_finite |= static_cast<std::uint64_t>(
        (std::bit_cast<std::uint64_t>(values[i]) & kExponentBits) == kExponentBits);
  }
  return non_finite == 0;
}

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

}  // namespace

namespace {

using Lanes = double __attribute__((vector_size(64)));  // one block's eight running sums

inline void add_block(Lanes& r, const double* p) {
  Lanes v;
  std::memcpy(&v, p, sizeof v);
  r += v;
}

// NumPy's sum of one contiguous block of 8 to 128 values: eight running sums, combined
// ((s0+s1)+(s2+s3))+((s4+s5)+(s6+s7)), then the tail left to right.
inline double finish_leaf(const Lanes& r, const double* a, std::size_t n) {
  double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
  for (std::size_t i = n - n % 8; i < n; ++i) res += a[i];
  return res;
}

// Two neighbouring leaves, a (na values) then b (nb values), their running sums advanced
// side by side: each leaf's additions are its own, in its own order.
TORVEL_VECTOR_CLONES
double two_leaves(const double* a, std::size_t na, const double* b, std::size_t nb) {
  Lanes ra, rb;
  std::memcpy(&ra, a, sizeof ra);
  std::memcpy(&rb, b, sizeof rb);
  const std::size_t ea = na - na % 8, eb = nb - nb % 8;
  const std::size_t common = ea < eb ? ea : eb;
  std::size_t i = 8;
  for (; i < common; i += 8) {
    add_block(ra, a + i);
    add_block(rb, b + i);
  }
  for (std::size_t j = i; j < ea; j += 8) add_block(ra, a + j);
  for (std::size_t j = i; j < eb; j += 8) add_block(rb, b + j);
  return finish_leaf(ra, a, na) + finish_leaf(rb, b, nb);
}

}  // namespace

double pairwise_sum(const double* a, std::size_t n, std::size_t stride) {
  if (n < 8) {
    double res = 0.0;
    for (std::size_t i = 0; i < n; ++i) res += a[i * stride];
    return res;
  }
#if defined(__SSE2__)
  if (n <= 128 && stride == 1) {
    // The eight running sums as four pairs of lanes: the same additions in the same order.
    __m128d r01 = _mm_loadu_pd(a), r23 = _mm_loadu_pd(a + 2);
    __m128d r45 = _mm_loadu_pd(a + 4), r67 = _mm_loadu_pd(a + 6);
    std::size_t i = 8;
    for (; i < n - (n % 8); i += 8) {
      r01 = _mm_add_pd(r01, _mm_loadu_pd(a + i));
      r23 = _mm_add_pd(r23, _mm_loadu_pd(a + i + 2));
      r45 = _mm_add_pd(r45, _mm_loadu_pd(a + i + 4));
      r67 = _mm_add_pd(r67, _mm_loadu_pd(a + i + 6));
    }
    double r[8];
    _mm_storeu_pd(r, r01);
    _mm_storeu_pd(r + 2, r23);
    _mm_storeu_pd(r + 4, r45);
    _mm_storeu_pd(r + 6, r67);
    double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (; i < n; ++i) res += a[i];
    return res;
  }
#endif
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
  if (stride == 1 && n - n2 <= 128) return two_leaves(a, n2, a + n2, n - n2);
  return pairwise_sum(a, n2, stride) + pairwise_sum(a + n2 * stride, n - n2, stride);
}

void check_all_finite(const double* values, std::size_t n, const char* name,
                      bool with_estimator_hint) {
  if (all_finite(values, n)) return;
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
    grow(scratch, m);
    scratch[0] = 1.0;
    for (std::size_t i = 1; i < m; ++i) scratch[i] = a[i] * s;
    double w = 0.0;
    for (std::size_t i = 0; i < m; ++i) w += b[i] * scratch[i];
    const double t = -tau * w;
    b0 = b[0] + scratch[0] * t;
  }
  return beta == 0.0 ? 0.0 : b0 * (1.0 / beta);
}

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

// Rows from which the split pays for its extra calls.
constexpr int kSplitFromRows = 64;
// Rows from which dgelsd factors a two-column system before its SVD (its threshold is
// 1.6 times the columns), so that the written-out reduction is its path.
constexpr int kReduceFromRows = 3;

// dgelsd's own path for m >= n rows beyond its threshold, in separate calls: A = QR,
// b = Q^T b, then dgelsd on R and the first n values of b. False (a and b partly
// overwritten) where dgelsd would rescale, A or b, or the reduced system.
bool split_dgelsd(int m, int n, double* a, double* b, LeastSquaresWork& work) {
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

void solve_whole(const double* a, const double* b, std::size_t m, int n, LeastSquaresWork& work) {
  copy_system(a, b, m, n, work);
  const int mm = blas_int(m);
  call_dgelsd(mm, n, work.a.data(), std::max(1, mm), work.b.data(), std::max(mm, n), work);
}

// A probe's system: m x n values in [-4, 4) from a fixed generator, and m right-hand sides.
struct ProbeSystem {
  std::vector<double> a, b;
  ProbeSystem(int m, int n, std::uint64_t& state) : a(static_cast<std::size_t>(m) * n), b(m) {
    auto next = [&state] {
      state = state * 6364136223846793005ull + 1442695040888963407ull;
      return static_cast<double>(state >> 11) * 0x1p-50 - 4.0;
    };
    for (double& v : a) v = next();
    for (double& v : b) v = next();
  }
};

// Whether the loaded LAPACK gives the split the bits of the single call, on tall systems
// of one and two columns (decided once per process).
bool split_matches_single_call() {
  static const bool matches = [] {
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    LeastSquaresWork work;
    for (int n = 1; n <= 2; ++n)
      for (int m : {kSplitFromRows, 301}) {
        ProbeSystem s(m, n, state);
        solve_whole(s.a.data(), s.b.data(), m, n, work);
        const std::vector<double> whole(work.b.begin(), work.b.begin() + n);
        copy_system(s.a.data(), s.b.data(), m, n, work);
        if (!split_dgelsd(m, n, work.a.data(), work.b.data(), work)) return false;
        if (std::memcmp(whole.data(), work.b.data(), sizeof(double) * n) != 0) return false;
      }
    return true;
  }();
  return matches;
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

// The two-column split with dgeqrf and dormqr written out (robust/two_column_reduction.h),
// then dgelsd on R. False where dgelsd or its dnrm2 would rescale; a and b are unchanged.
bool reduced_two_columns(const double* a, const double* b, std::size_t m, double* coef,
                         LeastSquaresWork& work) {
  grow(work.reduction, 2 * m);
  TwoColumnReduction r;
  return reduce_two_columns(a, b, m, work.reduction.data(), r) && solve_reduced(r, coef, work);
}

// Whether the written-out reduction gives the single dgelsd call's bits with the loaded
// libraries (decided once per process), on tall systems with and without trailing zeros.
bool reduction_matches_single_call() {
  static const bool matches = [] {
    std::uint64_t state = 0x2545F4914F6CDD1Dull;
    LeastSquaresWork work;
    for (int m : {kReduceFromRows, 4, kSplitFromRows, 301, 1000}) {
      ProbeSystem s(m, 2, state);
      if (m == 301)
        for (int i = m - 7; i < m; ++i) s.a[2 * i] = 0.0;  // a reflector shorter than the column
      solve_whole(s.a.data(), s.b.data(), m, 2, work);
      const double whole[2] = {work.b[0], work.b[1]};
      double coef[2];
      if (!reduced_two_columns(s.a.data(), s.b.data(), m, coef, work)) return false;
      if (std::memcmp(whole, coef, sizeof coef) != 0) return false;
    }
    return true;
  }();
  return matches;
}

}  // namespace

void dgelsd_solve(const double* a, const double* b, std::size_t m, int columns, double* coef,
                  LeastSquaresWork& work) {
  const int n = columns;
  if (n == 2 && m >= static_cast<std::size_t>(kReduceFromRows) && reduction_matches_single_call() &&
      reduced_two_columns(a, b, m, coef, work))
    return;
  if (m >= static_cast<std::size_t>(kSplitFromRows) && split_matches_single_call()) {
    copy_system(a, b, m, n, work);
    if (split_dgelsd(blas_int(m), n, work.a.data(), work.b.data(), work)) {
      std::copy_n(work.b.begin(), n, coef);
      return;
    }
  }
  solve_whole(a, b, m, n, work);
  std::copy_n(work.b.begin(), n, coef);
}

namespace {

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

}  // namespace

LinearModel fit_least_squares(const double* X, FeatureLayout layout, int columns,
                              const double* y, const std::size_t* rows, std::size_t m,
                              LeastSquaresWork& work) {
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

  LinearModel model;
  model.coef.assign(F, 0.0);
  if (F == 2 && m >= static_cast<std::size_t>(kReduceFromRows) && reduction_matches_single_call()) {
    // Centring, the finiteness check and the reduction's first pass go over the rows once.
    grow(work.reduction, 2 * m);
    TwoColumnReduction r;
    const Reduction reduced = centre_and_reduce_two_columns(
        work.x.data(), work.y.data(), m, x_offset, y_offset, work.reduction.data(), r);
    if (reduced == Reduction::NotFinite) raise_not_finite_lstsq();
    if (reduced != Reduction::Done || !solve_reduced(r, model.coef.data(), work))
      dgelsd_solve(work.x.data(), work.y.data(), m, columns, model.coef.data(), work);
    model.intercept = y_offset - numpy_dot(x_offset, model.coef.data(), columns);
    return model;
  }
  centre_columns(work.x.data(), work.y.data(), m, columns, x_offset, y_offset);
  if (!all_finite(work.x.data(), m * F) || !all_finite(work.y.data(), m)) raise_not_finite_lstsq();

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
// `trans`), then the intercept added: NumPy's matmul followed by + intercept_.
void gemv_plus_intercept(bool trans, std::size_t rows, std::size_t cols, const double* a,
                         const LinearModel& model, double* out, std::size_t count) {
  std::fill_n(out, count, 0.0);
  cblas_dgemv(kCblasColMajor, trans ? kCblasTrans : kCblasNoTrans, blas_int(rows),
              blas_int(cols), 1.0, a, blas_int(rows), model.coef.data(), 1, 0.0, out, 1);
  for (std::size_t i = 0; i < count; ++i) out[i] = out[i] + model.intercept;
}

// The two-column products in the arithmetic the loaded BLAS was found to use.
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
  return plain_blas().gemv_two_columns && model.coef[0] != 0.0 && model.coef[1] != 0.0;
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
