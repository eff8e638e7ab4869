#include "robust/ransac.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "expect_error.h"
#include "numeric/dgelsd_paths.h"
#include "numeric/pairwise_sum.h"
#include "robust/consensus.h"
#include "robust/legacy_random.h"
#include "robust/linear_model.h"

namespace torvel {
namespace {

std::uint64_t bits(double v) {
  std::uint64_t b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

// ---------------------------------------------------------------- the legacy generator

TEST(LegacyRandom, MatchesNumPyRandomState42) {
  LegacyRandom words(42);
  EXPECT_EQ(words.next_word(), 1608637542u);
  EXPECT_EQ(words.next_word(), 3421126067u);

  LegacyRandom rng(42);
  std::vector<std::size_t> perm;
  rng.permutation(10, perm);
  EXPECT_EQ(perm, (std::vector<std::size_t>{8, 1, 5, 0, 7, 2, 9, 4, 3, 6}));

  LegacyRandom ints(42);
  std::vector<std::int64_t> got;
  for (int i = 0; i < 5; ++i) got.push_back(ints.randint(0, 100));
  EXPECT_EQ(got, (std::vector<std::int64_t>{51, 92, 14, 71, 60}));

  // A one-value range returns without drawing: the stream continues untouched.
  LegacyRandom lazy(42);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(lazy.randint(5, 6), 5);
  EXPECT_EQ(lazy.words_used(), 0u);
  got.clear();
  for (int i = 0; i < 5; ++i) got.push_back(lazy.randint(0, 7));
  EXPECT_EQ(got, (std::vector<std::int64_t>{6, 3, 4, 6, 2}));
}

TEST(SubsetSampler, MethodBoundariesAreStrict) {
  using M = SubsetSampler::Method;
  EXPECT_EQ(SubsetSampler(2, 2).method(), M::Reservoir);
  EXPECT_EQ(SubsetSampler(3, 2).method(), M::Permutation);
  EXPECT_EQ(SubsetSampler(199, 2).method(), M::Permutation);
  EXPECT_EQ(SubsetSampler(200, 2).method(), M::Tracking);  // 2/200 == 0.01 is not above 0.01
  EXPECT_EQ(SubsetSampler(3, 3).method(), M::Reservoir);
  EXPECT_EQ(SubsetSampler(4, 3).method(), M::Permutation);
  EXPECT_EQ(SubsetSampler(299, 3).method(), M::Permutation);
  EXPECT_EQ(SubsetSampler(300, 3).method(), M::Tracking);
  EXPECT_EQ(SubsetSampler(10, 9).method(), M::Permutation);
  EXPECT_EQ(SubsetSampler(100, 99).method(), M::Reservoir);  // 0.99 is not below 0.99
  EXPECT_THROW(SubsetSampler(2, 3), Error);
}

TEST(SubsetSampler, MatchesScikitLearnDraws) {
  LegacyRandom rng(42);
  std::vector<std::size_t> s;
  SubsetSampler ten(10, 3), many(300, 3), all(4, 4);
  ten.draw(rng, s);
  EXPECT_EQ(s, (std::vector<std::size_t>{8, 1, 5}));
  ten.draw(rng, s);
  EXPECT_EQ(s, (std::vector<std::size_t>{0, 1, 8}));
  many.draw(rng, s);
  EXPECT_EQ(s, (std::vector<std::size_t>{257, 293, 191}));
  many.draw(rng, s);
  EXPECT_EQ(s, (std::vector<std::size_t>{276, 160, 21}));
  const std::size_t before = rng.words_used();
  all.draw(rng, s);
  EXPECT_EQ(s, (std::vector<std::size_t>{0, 1, 2, 3}));
  EXPECT_EQ(rng.words_used(), before);

  // A full shuffle per subset: 300 subsets of 3 from 299 cost 128,849 words.
  LegacyRandom counted(42);
  SubsetSampler perm(299, 3);
  for (int t = 0; t < 300; ++t) perm.draw(counted, s);
  EXPECT_EQ(counted.words_used(), 128849u);
}

// ---------------------------------------------------------------- arithmetic pieces

TEST(LeastSquares, PairwiseSumFollowsNumPyBlocks) {
  // 2^53 swallows a lone 1.0 (a tie rounded to even) but not a block's partial sums of ones.
  std::vector<double> v(16, 1.0);
  v[0] = 0x1p53;
  double left_to_right = 0.0;
  for (double t : v) left_to_right += t;
  EXPECT_EQ(left_to_right, 0x1p53);
  EXPECT_EQ(pairwise_sum(v.data(), v.size()), 0x1p53 + 14.0);
  EXPECT_EQ(pairwise_sum(v.data(), 7), 0x1p53);  // under eight terms: left to right
  EXPECT_EQ(pairwise_sum(v.data() + 1, 8, 2), 8.0);  // strided
}

// NumPy's blocks written plainly: the sums of neighbouring blocks, added side by side in
// vector lanes, must keep each block's own order.
double numpy_pairwise(const double* a, std::size_t n) {
  if (n < 8) {
    double res = 0.0;
    for (std::size_t i = 0; i < n; ++i) res += a[i];
    return res;
  }
  if (n <= 128) {
    double r[8];
    for (std::size_t j = 0; j < 8; ++j) r[j] = a[j];
    std::size_t i = 8;
    for (; i < n - n % 8; i += 8)
      for (std::size_t j = 0; j < 8; ++j) r[j] += a[i + j];
    double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (; i < n; ++i) res += a[i];
    return res;
  }
  const std::size_t n2 = n / 2 - (n / 2) % 8;
  return numpy_pairwise(a, n2) + numpy_pairwise(a + n2, n - n2);
}

TEST(LeastSquares, PairwiseSumOfNeighbouringBlocks) {
  std::mt19937_64 gen(3);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  std::vector<double> v(5000);
  for (double& x : v) x = std::ldexp(unit(gen), static_cast<int>(gen() % 60));
  for (std::size_t n : {129u, 135u, 200u, 255u, 256u, 300u, 1001u, 4097u}) {
    EXPECT_EQ(pairwise_sum(v.data(), n), numpy_pairwise(v.data(), n)) << n;
  }
}

TEST(LeastSquares, R2ScoreRules) {
  std::vector<double> scratch;
  const double y[3] = {0.5, 0.5, 0.5};
  const double exact[3] = {0.5, 0.5, 0.5};
  const double off[3] = {0.5, 0.5, 0.75};
  EXPECT_EQ(r2_score(y, exact, 3, scratch), 1.0);   // numerator 0 wins over denominator 0
  EXPECT_EQ(r2_score(y, off, 3, scratch), 0.0);     // constant y, imperfect fit
  EXPECT_TRUE(std::isnan(r2_score(y, off, 1, scratch)));
  const double t[4] = {1, 2, 3, 4};
  const double p[4] = {1, 2, 3, 5};
  EXPECT_EQ(r2_score(t, p, 4, scratch), 1.0 - 1.0 / 5.0);
}

TEST(LeastSquares, TwoPointReflectionEqualsDgelsd) {
  // The trial fits of a line solve two-row systems; the written-out reflection used for them
  // must equal LAPACK's solve bit for bit.
  std::mt19937 gen(7);
  std::uniform_int_distribution<int> pixel(0, 1919);
  std::uniform_real_distribution<double> real(-1000.0, 1000.0);
  LeastSquaresWork work;
  std::vector<double> scratch;
  for (int trial = 0; trial < 20000; ++trial) {
    double x[2], y[2];
    for (int i = 0; i < 2; ++i) {
      x[i] = trial % 2 ? pixel(gen) / 2.0 : real(gen);
      y[i] = trial % 2 ? pixel(gen) / 4.0 : real(gen);
    }
    const double mx = (0.0 + (0.0 + x[0] + x[1])) / 2.0;
    const double my = (0.0 + (0.0 + y[0] + y[1])) / 2.0;
    const double a[2] = {x[0] - mx, x[1] - mx};
    const double b[2] = {y[0] - my, y[1] - my};
    double lapack = 0.0;
    dgelsd_solve(a, b, 2, 1, &lapack, work);
    ASSERT_EQ(bits(householder_slope(a, b, 2, scratch)), bits(lapack)) << trial;
  }
}

TEST(Ransac, DynamicTrialLimit) {
  EXPECT_EQ(dynamic_max_trials(50, 100, 2, 0.99), 17.0);
  EXPECT_EQ(dynamic_max_trials(3, 3, 3, 0.99), 1.0);
  EXPECT_EQ(dynamic_max_trials(10, 100, 2, 0.99), 459.0);
  EXPECT_EQ(dynamic_max_trials(1, 200, 2, 0.99), 184205.0);
  EXPECT_EQ(dynamic_max_trials(0, 10, 2, 0.99), std::numeric_limits<double>::infinity());
  EXPECT_EQ(dynamic_max_trials(5, 10, 2, 0.0), 0.0);
}

// ---------------------------------------------------------------- the generic loop

// Scripted trials: trial t (1-based) reports counts[t-1] inliers (the first ones) and score
// scores[t-1]; the model is the trial number, and the refit returns 1000 + inlier count.
struct ScriptedEstimator {
  using Model = int;
  std::size_t n = 10;
  std::vector<std::size_t> counts;
  std::vector<double> scores;
  int trial = 0;
  std::size_t num_samples() const { return n; }
  std::size_t min_samples() const { return 2; }
  int fit(std::span<const std::size_t> rows) {
    if (rows.size() != 2) return 1000 + static_cast<int>(rows.size());
    return ++trial;
  }
  void residuals(const int& model, std::vector<double>& out) {
    const std::size_t count = counts[static_cast<std::size_t>(model) - 1];
    for (std::size_t i = 0; i < n; ++i) out[i] = i < count ? 0.0 : 5.0;
  }
  double score(const int& model, std::span<const std::size_t>) {
    return scores[static_cast<std::size_t>(model) - 1];
  }
};

TEST(Ransac, TrialLoopSkipAndTieRules) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  ScriptedEstimator est;
  // t1: 0 inliers (skipped, best count starts at 1); t2: 3 inliers accepted; t3: 2 (fewer,
  // skipped); t4: 3 with a lower score (kept t2); t5: 3 with an equal score (later wins, 4
  // inliers would be identical); t6: 3 with NaN (a NaN score is accepted on a tie); t7: 3 with
  // a lower score (a NaN best never loses: accepted); t8: 4 inliers.
  est.counts = {0, 3, 2, 3, 3, 3, 3, 4, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
  est.scores = {0, 0.5, 0.9, 0.4, 0.5, nan, -7, -9, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  RansacOptions options;
  options.residual_threshold = 1.0;
  options.max_trials = 20;
  auto result = ransac(est, options);
  ASSERT_TRUE(result.success);
  EXPECT_EQ(result.num_trials, 20);  // 4 of 10 inliers: the dynamic limit stays above 20
  EXPECT_EQ(result.inliers, (std::vector<std::size_t>{0, 1, 2, 3}));
  EXPECT_EQ(result.model, 1004);

  // Count 10 of 10 brings the limit down to 1 trial after the accepting one.
  ScriptedEstimator all;
  all.counts = {2, 10, 1, 1};
  all.scores = {0, 1, 0, 0};
  auto stopped = ransac(all, options);
  EXPECT_EQ(stopped.num_trials, 2);
  EXPECT_EQ(stopped.inlier_mask, std::vector<std::uint8_t>(10, 1));

  ScriptedEstimator none;
  none.counts.assign(20, 0);
  none.scores.assign(20, 0.0);
  auto failed = ransac(none, options);
  EXPECT_FALSE(failed.success);
  EXPECT_EQ(failed.num_trials, 20);
}

// The same script through the consensus form (which stops short where it cannot win): the
// same result, and scores asked for only where two trials have as many inliers.
struct ScriptedConsensus : ScriptedEstimator {
  std::vector<int> scored;
  std::size_t consensus(const int& model, double, std::size_t wanted, std::size_t* kept) {
    const std::size_t count = counts[static_cast<std::size_t>(model) - 1];
    if (count < wanted) return 0;  // the early stop: any number below `wanted`
    for (std::size_t i = 0; i < count; ++i) kept[i] = i;
    return count;
  }
  double score(const int& model, std::span<const std::size_t> rows) {
    scored.push_back(model);
    return ScriptedEstimator::score(model, rows);
  }
};

TEST(Ransac, ConsensusFormScoresOnlyTies) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  ScriptedEstimator by_residuals;
  ScriptedConsensus by_consensus;
  for (ScriptedEstimator* e : {&by_residuals, static_cast<ScriptedEstimator*>(&by_consensus)}) {
    e->counts = {0, 3, 2, 3, 3, 3, 3, 4, 1, 1, 4, 1, 1, 1, 1, 1, 1, 1, 1, 1};
    e->scores = {0, 0.5, 0.9, 0.4, 0.5, nan, -7, -9, 0, 0, -1, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  }
  RansacOptions options;
  options.residual_threshold = 1.0;
  options.max_trials = 20;
  const auto a = ransac(by_residuals, options), b = ransac(by_consensus, options);
  EXPECT_EQ(a.num_trials, b.num_trials);
  EXPECT_EQ(a.inliers, b.inliers);
  EXPECT_EQ(a.model, b.model);
  // t2 is scored only when t4 ties with it; t8 (4 inliers) only when t11 ties.
  EXPECT_EQ(by_consensus.scored, (std::vector<int>{2, 4, 5, 6, 7, 8, 11}));
}

TEST(Ransac, LinearErrorsAndTexts) {
  const double x[4] = {0, 1, 2, 3};
  const double y[4] = {0, 1, 2, 3};
  auto message = [](const std::function<void()>& call) {
    return testing::expect_error(ErrorKind::Value, call);
  };
  EXPECT_EQ(message([&] { ransac_linear(x, 0, 2, y, 0.01); }),
            "Found array with 0 sample(s) (shape=(0, 2)) while a minimum of 1 is required by "
            "RANSACRegressor.");
  EXPECT_EQ(message([&] { ransac_linear(x, 2, 2, y, 0.01); }),
            "`min_samples` may not be larger than number of samples: n_samples = 2.");
  EXPECT_EQ(message([&] { ransac_linear(x, 4, 1, y, -1.0); }),
            "The 'residual_threshold' parameter of RANSACRegressor must be a float in the range "
            "[0, inf) or None. Got -1.0 instead.");
  const double same_x[3] = {3, 3, 3};
  const double spread[3] = {0, 10, 30};
  EXPECT_EQ(message([&] { ransac_linear(same_x, 3, 1, spread, 3.0); }),
            ransac_no_consensus_message());
  const double bad_y[4] = {0, INFINITY, 1, NAN};
  EXPECT_EQ(message([&] { ransac_linear(x, 4, 1, bad_y, 3.0); }), "Input y contains NaN.");
  // A finite X whose column sums overflow is not reported as a NaN input: its centred
  // values are, by the least-squares solver.
  const double huge[8] = {1e308, 1e308, 1e308, 1e308, 0, 1, 2, 3};
  EXPECT_EQ(message([&] { ransac_linear(huge, 4, 2, y, 0.01, ArrayOrder::Fortran); }),
            "array must not contain infs or NaNs");
}

TEST(Ransac, LinearFitOfAnExactLine) {
  std::vector<double> x, y;
  for (int i = 0; i < 20; ++i) {
    x.push_back(i);
    y.push_back(i == 7 ? 500.0 : 2.0 * i + 1.0);
  }
  const RansacReport report = ransac_linear(x.data(), x.size(), 1, y.data(), 3.0);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(report.inlier_mask[i], i == 7 ? 0 : 1) << i;
  EXPECT_NEAR(report.model.coef[0], 2.0, 1e-12);
  EXPECT_NEAR(report.model.intercept, 1.0, 1e-12);
  const double at = 10.0;
  EXPECT_NEAR(report.model.predict(&at), 21.0, 1e-12);
  // Without the mask the fit is the same.
  const RansacReport bare = ransac_linear(x.data(), x.size(), 1, y.data(),
                                          RansacOptions{.residual_threshold = 3.0,
                                                        .inlier_mask = false});
  EXPECT_TRUE(bare.inlier_mask.empty());
  EXPECT_EQ(bare.num_trials, report.num_trials);
  EXPECT_EQ(bare.model.coef, report.model.coef);
  EXPECT_EQ(bare.model.intercept, report.model.intercept);
}

// ---------------------------------------------------------------- against scikit-learn

// What scikit-learn's own RANSACRegressor drew and fitted, recorded by ransac_reference.py.
std::filesystem::path reference_data(const std::string& mode) {
  return std::filesystem::path(__FILE__).parent_path() / "data" / ("ransac_" + mode + ".txt");
}

// Values computed through the BLAS agree within rounding of their scale: the recording
// machine's kernels may sum in other blocks than this one's.
void expect_blas_close(double got, double want, const std::string& what) {
  EXPECT_NEAR(got, want, 1e-12 * std::max(1.0, std::abs(want))) << what;
}

std::vector<double> read_doubles(std::istringstream& in) {
  std::vector<double> v;
  std::string token;
  while (in >> token) v.push_back(std::strtod(token.c_str(), nullptr));
  return v;
}

// The numbers of the next line, after its one-letter tag ("x ...", "y ...", "p ...").
std::vector<double> read_tagged_line(std::ifstream& file) {
  std::string line;
  std::getline(file, line);
  std::istringstream values(line.substr(1));
  return read_doubles(values);
}

TEST(RansacAgainstScikitLearn, IndexStreams) {
  std::ifstream file(reference_data("streams"));
  ASSERT_TRUE(file) << reference_data("streams");
  std::string line;
  int streams = 0;
  while (std::getline(file, line)) {
    std::istringstream head(line);
    std::string tag;
    std::size_t n = 0, k = 0;
    head >> tag >> n >> k;
    if (tag == "stream-error") {
      // scikit-learn refuses before drawing; so does the estimator.
      std::vector<double> zeros(n * (k - 1) + n, 0.0);
      EXPECT_THROW(ransac_linear(zeros.data(), n, static_cast<int>(k - 1), zeros.data(), 3.0),
                   Error);
      continue;
    }
    std::size_t count = 0;
    head >> count;
    std::getline(file, line);
    std::istringstream body(line);
    LegacyRandom rng(42);
    SubsetSampler sampler(n, k);
    std::vector<std::size_t> subset;
    for (std::size_t t = 0; t < count; ++t) {
      sampler.draw(rng, subset);
      for (std::size_t j = 0; j < k; ++j) {
        std::size_t expected = 0;
        body >> expected;
        ASSERT_EQ(subset[j], expected) << "n=" << n << " k=" << k << " trial " << t + 1;
      }
    }
    ++streams;
  }
  EXPECT_EQ(streams, 33);
}

TEST(RansacAgainstScikitLearn, PredictionsInBothArrayOrders) {
  std::ifstream file(reference_data("products"));
  ASSERT_TRUE(file) << reference_data("products");
  std::string line;
  int cases = 0;
  while (std::getline(file, line)) {
    std::istringstream head(line);
    std::string tag, order;
    std::size_t n = 0;
    head >> tag >> n >> order;
    const std::vector<double> numbers = read_doubles(head);
    ASSERT_EQ(numbers.size(), 3u);
    LinearModel model;
    model.coef = {numbers[0], numbers[1]};
    model.intercept = numbers[2];
    const std::vector<double> X = read_tagged_line(file);
    const std::vector<double> expected = read_tagged_line(file);
    ASSERT_EQ(X.size(), 2 * n);
    std::vector<double> got(n);
    if (order == "C") {
      predict_rows(model, X.data(), n, 2, got.data());
    } else {
      std::vector<double> columns(2 * n);
      for (std::size_t i = 0; i < n; ++i) {
        columns[i] = X[2 * i];
        columns[n + i] = X[2 * i + 1];
      }
      predict_rows_column_major(model, columns.data(), n, 2, got.data());
    }
    for (std::size_t i = 0; i < n; ++i) {
      expect_blas_close(got[i], expected[i], "n=" + std::to_string(n) + " order " + order +
                                                 " row " + std::to_string(i));
    }
    if (n == 1) expect_blas_close(model.predict(X.data()), expected[0], "predict");
    ++cases;
  }
  EXPECT_EQ(cases, 14);
}

TEST(RansacAgainstScikitLearn, FitsAreIdentical) {
  std::ifstream file(reference_data("problems"));
  ASSERT_TRUE(file) << reference_data("problems");
  std::string line;
  int problems = 0, fits = 0, errors = 0;
  while (std::getline(file, line)) {
    std::istringstream head(line);
    std::string tag, name;
    int columns = 0;
    std::size_t n = 0;
    std::string threshold_text, order_text;
    head >> tag >> name >> columns >> n >> threshold_text >> order_text;
    const ArrayOrder order = order_text == "F" ? ArrayOrder::Fortran : ArrayOrder::C;
    ASSERT_EQ(tag, "problem");
    const double threshold = std::strtod(threshold_text.c_str(), nullptr);
    std::vector<double> X = read_tagged_line(file);  // row after row
    const std::vector<double> y = read_tagged_line(file);
    ASSERT_EQ(X.size(), n * static_cast<std::size_t>(columns)) << name;
    if (order == ArrayOrder::Fortran && columns == 2) {  // passed column after column
      std::vector<double> by_columns(X.size());
      for (std::size_t i = 0; i < n; ++i) {
        by_columns[i] = X[2 * i];
        by_columns[n + i] = X[2 * i + 1];
      }
      X.swap(by_columns);
    }
    ASSERT_EQ(y.size(), n) << name;
    std::getline(file, line);
    std::istringstream expect(line);
    std::string outcome;
    expect >> outcome;
    ++problems;
    SCOPED_TRACE(name);
    if (outcome == "error") {
      std::string type, text;
      expect >> type;
      std::getline(expect, text);
      text = text.substr(1);
      for (std::size_t at; (at = text.find("\\n")) != std::string::npos;) text.replace(at, 2, "\n");
      EXPECT_EQ(type, "ValueError");
      testing::expect_error(ErrorKind::Value, text,
                            [&] { ransac_linear(X.data(), n, columns, y.data(), threshold, order); });
      ++errors;
      continue;
    }
    int trials = 0;
    std::string mask;
    expect >> trials >> mask;
    const std::vector<double> numbers = read_doubles(expect);
    ASSERT_EQ(numbers.size(), static_cast<std::size_t>(columns) + 2);
    RansacReport report;
    ASSERT_NO_THROW(report = ransac_linear(X.data(), n, columns, y.data(), threshold, order));
    std::string got_mask;
    for (std::uint8_t v : report.inlier_mask) got_mask += v ? '1' : '0';
    EXPECT_EQ(got_mask, mask);
    EXPECT_EQ(report.num_trials, trials);
    for (int j = 0; j < columns; ++j) {
      expect_blas_close(report.model.coef[j], numbers[j], "coef " + std::to_string(j));
    }
    expect_blas_close(report.model.intercept, numbers[columns], "intercept");
    const bool by_columns = order == ArrayOrder::Fortran && columns == 2;
    const double first_row[2] = {X[0], by_columns ? X[n] : X[columns - 1]};
    expect_blas_close(report.model.predict(first_row), numbers[columns + 1], "predict");
    ++fits;
  }
  EXPECT_GE(problems, 170);
  EXPECT_GE(fits, 150);
  EXPECT_GE(errors, 20);
}

// The consensus pass against the residuals written out one sample at a time, for each way of
// giving the predictions (the vector lanes, their tail, and the strided one-at-a-time path).
TEST(Consensus, KeptIndicesMatchTheResiduals) {
  std::mt19937_64 gen(7);
  std::uniform_real_distribution<double> value(-3.0, 3.0);
  const std::size_t n = 1003;  // not a whole number of lanes or blocks
  std::vector<double> x(3 * n), y(n), given(n);
  for (double& v : x) v = value(gen);
  for (std::size_t i = 0; i < n; ++i) {
    y[i] = 0.5 * x[3 * i] - 0.25 * x[3 * i + 1] + 1.0 + (i % 3 == 0 ? value(gen) : 0.0);
    given[i] = 0.5 * x[3 * i] + 1.0;
  }
  y[10] = std::nan("");
  given[20] = std::nan("");
  const double c0 = 0.5, c1 = -0.25, b = 1.0, threshold = 0.75;
  std::vector<double> interleaved(2 * n), column0(n), column1(n);
  for (std::size_t i = 0; i < n; ++i) {
    interleaved[2 * i] = column0[i] = x[3 * i];
    interleaved[2 * i + 1] = column1[i] = x[3 * i + 1];
  }
  struct Case {
    ConsensusInput in;
    std::function<double(std::size_t)> predict;
  };
  const std::vector<Case> cases = {
      {{.y = y.data(), .n = n, .predictions = given.data()},
       [&](std::size_t i) { return given[i]; }},
      {{.y = y.data(), .n = n, .x0 = column0.data(), .c0 = c0, .intercept = b},
       [&](std::size_t i) { return (0.0 + column0[i] * c0) + b; }},
      {{.y = y.data(), .n = n, .x0 = column0.data(), .x1 = column1.data(), .c0 = c0, .c1 = c1,
        .intercept = b},
       [&](std::size_t i) { return ((0.0 + column0[i] * c0) + column1[i] * c1) + b; }},
      {{.y = y.data(), .n = n, .x0 = interleaved.data(), .x1 = interleaved.data() + 1, .step = 2,
        .c0 = c0, .c1 = c1, .intercept = b},
       [&](std::size_t i) { return ((0.0 + column0[i] * c0) + column1[i] * c1) + b; }},
      {{.y = y.data(), .n = n, .x0 = x.data(), .x1 = x.data() + 1, .step = 3, .c0 = c0, .c1 = c1,
        .intercept = b},
       [&](std::size_t i) { return ((0.0 + column0[i] * c0) + column1[i] * c1) + b; }},
  };
  for (std::size_t c = 0; c < cases.size(); ++c) {
    SCOPED_TRACE(c);
    std::vector<std::size_t> expected;
    for (std::size_t i = 0; i < n; ++i)
      if (std::fabs(y[i] - cases[c].predict(i)) <= threshold) expected.push_back(i);
    ASSERT_GT(expected.size(), n / 2);
    std::vector<std::size_t> kept(n);
    const std::size_t count =
        gather_consensus(cases[c].in, threshold, expected.size(), kept.data());
    ASSERT_EQ(count, expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), kept.begin()));
    std::vector<std::size_t> again(n);  // wanting fewer lists them all as well
    ASSERT_EQ(gather_consensus(cases[c].in, threshold, 1, again.data()), expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), again.begin()));
    // A trial that cannot reach the wanted count reports fewer.
    EXPECT_LT(gather_consensus(cases[c].in, threshold, expected.size() + 1, kept.data()),
              expected.size() + 1);
  }
}

}  // namespace
}  // namespace torvel
