// Robust fitting of the default linear model y = coef . x + intercept, reproducing
// scikit-learn's RANSACRegressor(residual_threshold=T, max_trials, random_state=seed)
// with LinearRegression, absolute-error loss and float64 data: the same random subsets in
// the same order, the same trial loop, the same final refit and the same error texts.
//
// The engine is the generic loop `ransac<Estimator>` below the banner; `ransac_linear` is
// that loop on the linear least-squares estimator (one or two columns of X,
// robust/linear_model.h).
#pragma once

#include <cmath>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "robust/legacy_random.h"
#include "robust/linear_model.h"
#include "support/error.h"
#include "support/grow.h"

namespace torvel {

// One robust fit's settings. The defaults are scikit-learn's RANSACRegressor's (with the
// fixed seed every caller of this library uses); the threshold is each caller's.
struct RansacOptions {
  double residual_threshold = 0.0;  // inlier iff residual <= threshold
  int max_trials = 300;
  std::uint32_t seed = 42;          // a fresh NumPy legacy generator per run
  double stop_probability = 0.99;
  bool inlier_mask = true;          // whether the result lists each sample's inlier flag
};

struct RansacReport {
  int num_trials = 0;
  std::vector<std::uint8_t> inlier_mask;  // one per sample, 1 = inlier (empty when the
                                          // options ask for none)
  LinearModel model;                      // the final refit on the inliers
};

// The memory order of the NumPy array X that the equivalent scikit-learn call receives.
// NumPy predicts on all of X with BLAS gemv, transposed for a C-ordered array and plain for a
// Fortran-ordered one (for example np.vstack((xs, ys)).T), and optimised BLAS libraries round
// the two kernels differently. X is passed in the same order as that array.
enum class ArrayOrder { C, Fortran };

// Whether ransac_linear scans X and y for NaN and infinity, or its caller has found them all
// finite (the scan would pass).
enum class FiniteInputs { Scan, Known };

// X: n x columns doubles, contiguous, in `reference_order`: row after row (C) or column
// after column (Fortran); y: n doubles. columns is 1 or 2.
// A row is an inlier iff |y - prediction| <= options.residual_threshold; the fit is
// scikit-learn's RANSACRegressor(residual_threshold, max_trials, random_state=seed) with the
// default LinearRegression, and every call starts a fresh generator. Throws
// torvel::Error(ErrorKind::Value, <scikit-learn's text>) for every case where scikit-learn
// raises ValueError (empty X, n < min_samples, NaN/inf in y, NaN/inf in X, no consensus set);
// a returned report always holds a model.
RansacReport ransac_linear(const double* X, std::size_t n, int columns, const double* y,
                           const RansacOptions& options,
                           ArrayOrder reference_order = ArrayOrder::C,
                           FiniteInputs finite = FiniteInputs::Scan);

// The same with the default options and this threshold.
RansacReport ransac_linear(const double* X, std::size_t n, int columns, const double* y,
                           double residual_threshold,
                           ArrayOrder reference_order = ArrayOrder::C);

// scikit-learn's text when no trial finds a consensus set.
std::string ransac_no_consensus_message();

// ===========================================================================================
// The generic engine.
//
// An estimator describes n samples and fits models to subsets of them:
//   E::Model                       the fitted model type;
//   e.num_samples(), e.min_samples()
//   e.fit(rows)                    model fitted on these sample indices, in this order;
//   e.residuals(model, out)        out[i] = loss of sample i (NaN never counts as an inlier);
//   or instead
//   e.consensus(model, threshold, wanted, kept)
//                                  writes the indices of the samples whose loss is <= threshold
//                                  to kept (room for n) in order and returns their number;
//                                  it may stop early, returning any number below `wanted`,
//                                  once that many cannot be reached;
//   e.score(model, rows)           a trial's score on its inliers (index order); higher wins.
//                                  The engine asks for it only when two trials find as many
//                                  inliers, so it may come after later trials.
// fit, residuals and consensus may throw; the engine lets the exception through. score is a
// function of its arguments alone and does not throw.
// ===========================================================================================

template <typename E>
concept GathersConsensus = requires(E& est, const typename E::Model& model, double threshold,
                                    std::size_t wanted, std::size_t* kept) {
  { est.consensus(model, threshold, wanted, kept) } -> std::convertible_to<std::size_t>;
};

template <typename E>
concept RansacEstimator = requires(E& est, const E& cest, std::span<const std::size_t> rows,
                                   const typename E::Model& model, std::vector<double>& out) {
  typename E::Model;
  { cest.num_samples() } -> std::convertible_to<std::size_t>;
  { cest.min_samples() } -> std::convertible_to<std::size_t>;
  { est.fit(rows) } -> std::same_as<typename E::Model>;
  { est.score(model, rows) } -> std::convertible_to<double>;
} && (GathersConsensus<E> || requires(E& est, const typename E::Model& model,
                                       std::vector<double>& out) { est.residuals(model, out); });


template <typename Model>
struct RansacResult {
  bool success = false;             // false: no trial produced a consensus set
  int num_trials = 0;
  std::vector<std::uint8_t> inlier_mask;
  std::vector<std::size_t> inliers;  // indices of the inliers, ascending
  Model model{};                     // refit on `inliers` (only when success)
};

// Trials scikit-learn still needs after finding `inliers` of `n` with subsets of `k`:
// |ceil(log(nom) / log(denom))| with nom = max(eps, 1 - p) and denom = max(eps, 1 - ratio^k)
// (C pow), 0 when nom == 1, +inf when denom == 1.
double dynamic_max_trials(std::size_t inliers, std::size_t n, std::size_t k,
                          double probability);

// How many of the n values are <= limit (NaN never is).
std::size_t count_at_most(const double* values, std::size_t n, double limit);

// The engine's working arrays; a caller that fits repeatedly may keep them between fits.
struct RansacBuffers {
  std::vector<std::size_t> subset, inliers, best_inliers;
  std::vector<double> residuals;
};

// The trial loop: best count starts at 1, so a trial needs at least one inlier; a trial with
// fewer inliers than the best is skipped; with as many it replaces the best unless its score is
// strictly lower (a later equal score wins, and a NaN score or a NaN best never loses); every
// accepted trial lowers the trial limit to dynamic_max_trials. The model is refit on the
// best inliers in index order.
template <RansacEstimator E>
RansacResult<typename E::Model> ransac(E& estimator, const RansacOptions& options,
                                       RansacBuffers& buffers) {
  RansacResult<typename E::Model> result;
  const std::size_t n = estimator.num_samples();
  const std::size_t k = estimator.min_samples();
  LegacyRandom rng(options.seed);
  SubsetSampler sampler(n, k);

  std::size_t best_count = 1;
  // The best trial's score, while known; before any trial no score is lower than -inf.
  std::optional<double> best_score = -std::numeric_limits<double>::infinity();
  typename E::Model best_model{};
  bool have_best = false;
  double limit = static_cast<double>(options.max_trials);
  std::vector<std::size_t>& subset = buffers.subset;
  std::vector<std::size_t>& inliers = buffers.inliers;
  std::vector<std::size_t>& best_inliers = buffers.best_inliers;
  std::vector<double>& residuals = buffers.residuals;
  grow(inliers, n);
  grow(best_inliers, n);
  if constexpr (!GathersConsensus<E>) grow(residuals, n);
  const double threshold = options.residual_threshold;

  while (static_cast<double>(result.num_trials) < limit) {
    ++result.num_trials;
    sampler.draw(rng, subset);
    const typename E::Model model = estimator.fit(std::span<const std::size_t>(subset));
    std::size_t* out = inliers.data();
    std::size_t count = 0;
    if constexpr (GathersConsensus<E>) {
      count = estimator.consensus(model, threshold, best_count, out);
      if (count < best_count) continue;
    } else {
      estimator.residuals(model, residuals);
      const double* r = residuals.data();
      count = count_at_most(r, n, threshold);
      if (count < best_count) continue;
      // The inliers' indices in order, without a branch per sample.
      for (std::size_t i = 0, m = 0; i < n; ++i) {
        out[m] = i;
        m += static_cast<std::size_t>(r[i] <= threshold);
      }
    }
    // Scores decide only between trials with as many inliers, so they are computed then.
    std::optional<double> score;
    if (count == best_count) {
      if (!best_score) {
        best_score = estimator.score(
            best_model, std::span<const std::size_t>(best_inliers.data(), best_count));
      }
      score = estimator.score(model, std::span<const std::size_t>(out, count));
      if (*score < *best_score) continue;
    }
    best_count = count;
    best_score = score;
    best_model = model;
    have_best = true;
    std::swap(inliers, best_inliers);  // the trial's indices become the best ones
    const double dynamic = dynamic_max_trials(count, n, k, options.stop_probability);
    if (dynamic < limit) limit = dynamic;
  }
  if (!have_best) return result;
  // The best indices move into the result (a caller keeping the buffers may hand the
  // vector back to them).
  result.inliers.swap(best_inliers);
  result.inliers.resize(best_count);
  result.success = true;
  if (options.inlier_mask) {
    result.inlier_mask.assign(n, 0);
    for (std::size_t i : result.inliers) result.inlier_mask[i] = 1;
  }
  result.model = estimator.fit(std::span<const std::size_t>(result.inliers));
  return result;
}

template <RansacEstimator E>
RansacResult<typename E::Model> ransac(E& estimator, const RansacOptions& options) {
  RansacBuffers buffers;
  return ransac(estimator, options, buffers);
}

}  // namespace torvel
