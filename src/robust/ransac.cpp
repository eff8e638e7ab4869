#include "robust/ransac.h"

#include <cmath>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "numeric/finite.h"
#include "robust/consensus.h"
#include "robust/linear_model.h"
#include "support/grow.h"
#include "support/simd.h"

namespace torvel {

namespace {

// The working arrays of one linear fit, kept per thread between fits of at most
// kKeptSamples samples, so that repeated fits (a plane per frame) allocate nothing.
struct LinearFitBuffers {
  RansacBuffers engine;
  std::vector<double> predictions, rows_x, rows_y, rows_pred, scratch;
  std::vector<std::size_t> scored_rows;
  LeastSquaresWork work;
};

constexpr std::size_t kKeptSamples = std::size_t{1} << 18;

// LinearRegression as a RANSAC estimator over n samples of `columns` features.
class LinearEstimator {
 public:
  using Model = LinearModel;

  LinearEstimator(const double* X, std::size_t n, int columns, const double* y,
                  ArrayOrder order, LinearFitBuffers& buffers, bool x_finite)
      : X_(X), y_(y), n_(n), columns_(columns),
        by_columns_(order == ArrayOrder::Fortran && columns > 1),
        layout_(by_columns_ ? FeatureLayout{1, n}
                            : FeatureLayout{static_cast<std::size_t>(columns), 1}),
        x_checked_(x_finite), work_(buffers.work), predictions_(buffers.predictions),
        rows_x_(buffers.rows_x), rows_y_(buffers.rows_y), rows_pred_(buffers.rows_pred),
        scratch_(buffers.scratch), scored_rows_(buffers.scored_rows) {}

  std::size_t num_samples() const { return n_; }
  std::size_t min_samples() const { return static_cast<std::size_t>(columns_) + 1; }

  LinearModel fit(std::span<const std::size_t> rows) {
    return fit_linear_model(X_, layout_, columns_, y_, rows.data(), rows.size(), work_);
  }

  std::size_t consensus(const LinearModel& model, double threshold, std::size_t wanted,
                        std::size_t* kept) {
    if (!x_checked_) {
      // predict(X) validates the whole X the first time a subset fit succeeds.
      check_all_finite(X_, n_ * static_cast<std::size_t>(columns_), "X", true);
      x_checked_ = true;
    }
    ConsensusInput in{.y = y_, .n = n_, .intercept = model.intercept};
    if (columns_ == 1 || two_column_predictions_are_plain(model)) {
      // The arithmetic NumPy's predictions run, whatever the array's order.
      in.x0 = X_;
      in.c0 = model.coef[0];
      in.step = layout_.row_step;
      if (columns_ == 2) {
        in.x1 = X_ + layout_.column_step;
        in.c1 = model.coef[1];
      }
    } else {
      in.predictions = blas_predictions(model);
    }
    return gather_consensus(in, threshold, wanted, kept);
  }

  // score(X[rows], y[rows]): the rows' predictions as predict computes them on that array.
  double score(const LinearModel& model, std::span<const std::size_t> rows) {
    const auto F = static_cast<std::size_t>(columns_);
    const std::size_t m = rows.size();
    grow(rows_pred_, m);
    // Trials that tie often find the very same inliers: then their rows of X and y, and the
    // score's denominator, are those of the last score.
    const bool same = scored_ && same_rows(rows);
    double* x = same ? rows_x_.data() : grow(rows_x_, m * F);
    double* y = same ? rows_y_.data() : grow(rows_y_, m);
    if (!same && F == 2) {
      const std::size_t rs = layout_.row_step, cs = layout_.column_step;
      for (std::size_t i = 0; i < m; ++i) {
        const std::size_t r = rows[i];
        x[2 * i] = X_[r * rs];
        x[2 * i + 1] = X_[r * rs + cs];
        y[i] = y_[r];
      }
    } else if (!same) {
      for (std::size_t i = 0; i < m; ++i) {
        x[i] = X_[rows[i]];
        y[i] = y_[rows[i]];
      }
    }
    predict_rows(model, x, m, columns_, rows_pred_.data());
    if (m < 2) return r2_score(y, rows_pred_.data(), m, scratch_);
    if (!same) {
      scored_ = true;
      scored_rows_.assign(rows.begin(), rows.end());
      denominator_ = r2_denominator(y, m, scratch_);
    }
    return r2_score(y, rows_pred_.data(), m, denominator_, scratch_);
  }

 private:
  bool same_rows(std::span<const std::size_t> rows) const {
    return rows.size() == scored_rows_.size() &&
           std::equal(rows.begin(), rows.end(), scored_rows_.begin());
  }

  // NumPy's predictions of all of X in the reference array's order, through the BLAS.
  const double* blas_predictions(const LinearModel& model) {
    grow(predictions_, n_);
    if (!by_columns_) {
      predict_rows(model, X_, n_, columns_, predictions_.data());
      return predictions_.data();
    }
    predict_rows_column_major(model, X_, n_, columns_, predictions_.data());
    return predictions_.data();
  }

  const double* X_;
  const double* y_;
  std::size_t n_;
  int columns_;
  bool by_columns_;  // the reference array is Fortran-ordered (two columns)
  FeatureLayout layout_;
  bool x_checked_;
  LeastSquaresWork& work_;
  std::vector<double>& predictions_;
  std::vector<double>& rows_x_;
  std::vector<double>& rows_y_;
  std::vector<double>& rows_pred_;
  std::vector<double>& scratch_;
  std::vector<std::size_t>& scored_rows_;  // the rows of the last score and their denominator
  bool scored_ = false;
  double denominator_ = 0.0;
};

std::string format_double_repr(double v) {
  // Python's repr of a float for the few values a parameter error can show.
  if (std::isnan(v)) return "nan";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  char buffer[64];
  for (int precision = 1; precision <= 17; ++precision) {
    std::snprintf(buffer, sizeof buffer, "%.*g", precision, v);
    if (std::strtod(buffer, nullptr) == v) break;
  }
  std::string text(buffer);
  if (text.find_first_of(".en") == std::string::npos) text += ".0";
  return text;
}

}  // namespace

std::string ransac_no_consensus_message() {
  return "RANSAC could not find a valid consensus set. All `max_trials` iterations were "
         "skipped because each randomly chosen sub-sample failed the passing criteria. See "
         "estimator attributes for diagnostics (n_skips*).";
}

TORVEL_VECTOR_CLONES
std::size_t count_at_most(const double* values, std::size_t n, double limit) {
  std::uint64_t count = 0;
  for (std::size_t i = 0; i < n; ++i) count += static_cast<std::uint64_t>(values[i] <= limit);
  return count;
}

double dynamic_max_trials(std::size_t inliers, std::size_t n, std::size_t k,
                          double probability) {
  constexpr double eps = std::numeric_limits<double>::epsilon();
  const double ratio = static_cast<double>(inliers) / static_cast<double>(n);
  // A runtime exponent keeps the library pow (the compiler would turn pow(x, 2.0) into x * x).
  volatile double exponent = static_cast<double>(k);
  const double nom = std::max(eps, 1.0 - probability);
  const double denom = std::max(eps, 1.0 - std::pow(ratio, static_cast<double>(exponent)));
  if (nom == 1.0) return 0.0;
  if (denom == 1.0) return std::numeric_limits<double>::infinity();
  return std::fabs(std::ceil(std::log(nom) / std::log(denom)));
}

RansacReport ransac_linear(const double* X, std::size_t n, int columns, const double* y,
                           double residual_threshold, ArrayOrder reference_order) {
  RansacOptions options;
  options.residual_threshold = residual_threshold;
  return ransac_linear(X, n, columns, y, options, reference_order);
}

RansacReport ransac_linear(const double* X, std::size_t n, int columns, const double* y,
                           const RansacOptions& options, ArrayOrder reference_order,
                           FiniteInputs finite) {
  const double residual_threshold = options.residual_threshold;
  const int max_trials = options.max_trials;
  if (columns != 1 && columns != 2) raise_value_error("ransac_linear: columns must be 1 or 2");
  if (max_trials < 0) {
    raise_value_error(
        "The 'max_trials' parameter of RANSACRegressor must be an int in the range [0, inf) "
        "or a float among {inf}. Got " + std::to_string(max_trials) + " instead.");
  }
  if (!(residual_threshold >= 0.0)) {
    raise_value_error(
        "The 'residual_threshold' parameter of RANSACRegressor must be a float in the range "
        "[0, inf) or None. Got " + format_double_repr(residual_threshold) + " instead.");
  }
  if (n == 0) {
    raise_value_error("Found array with 0 sample(s) (shape=(0, " + std::to_string(columns) +
                      ")) while a minimum of 1 is required by RANSACRegressor.");
  }
  if (finite == FiniteInputs::Scan) check_all_finite(y, n, "y", false);
  const auto k = static_cast<std::size_t>(columns) + 1;
  if (k > n) {
    raise_value_error("`min_samples` may not be larger than number of samples: n_samples = " +
                      std::to_string(n) + ".");
  }

  thread_local LinearFitBuffers buffers;
  struct Release {  // a large fit's arrays are not kept
    bool large;
    ~Release() {
      if (large) buffers = LinearFitBuffers{};
    }
  } release{n > kKeptSamples};
  LinearEstimator estimator(X, n, columns, y, reference_order, buffers,
                            finite == FiniteInputs::Known);
  RansacResult<LinearModel> result = ransac(estimator, options, buffers.engine);
  if (!result.success) raise_value_error(ransac_no_consensus_message());
  buffers.engine.best_inliers.swap(result.inliers);  // kept for the next fit

  RansacReport report;
  report.num_trials = result.num_trials;
  report.inlier_mask = std::move(result.inlier_mask);
  report.model = std::move(result.model);
  return report;
}

}  // namespace torvel
