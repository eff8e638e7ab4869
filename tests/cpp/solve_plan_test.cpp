// Every SolvePlan, forced whatever this machine's probes found, against the routines it
// stands in for: the BLAS's products and the single dgelsd call. Where the forced plan takes
// only what the probes found exact here, the bits must be the libraries'; elsewhere (an
// optimised BLAS rounds by block) within the tolerance of the differential tests, 1e-12 of
// the values' scale.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "blas_reference.h"
#include "geometry/plane_fit.h"
#include "numeric/blas.h"
#include "numeric/dgelsd_paths.h"
#include "numeric/solve_plan.h"
#include "robust/linear_model.h"

using namespace torvel;

namespace {

// got equals want to the bit where `exact`, otherwise within 1e-12 of want's scale.
void expect_matches(const std::vector<double>& got, const std::vector<double>& want, bool exact,
                    const std::string& what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  double scale = 0.0;
  for (double v : want) scale = std::max(scale, std::fabs(v));
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (exact) {
      ASSERT_EQ(std::memcmp(&got[i], &want[i], sizeof(double)), 0)
          << what << " [" << i << "] " << got[i] << " vs " << want[i];
    } else {
      ASSERT_NEAR(got[i], want[i], 1e-12 * scale) << what << " [" << i << "]";
    }
  }
}

SolvePlan plan_number(int bits) {
  SolvePlan p;
  p.inline_two_column_products = bits & 1;
  p.inline_three_term_products = bits & 2;
  p.split_solve = bits & 4;
  p.written_out_reduction = bits & 8;
  return p;
}

std::string describe(const SolvePlan& p) {
  return std::string("plan{two-column inline ") + (p.inline_two_column_products ? "1" : "0") +
         ", three-term inline " + (p.inline_three_term_products ? "1" : "0") + ", split " +
         (p.split_solve ? "1" : "0") + ", reduction " + (p.written_out_reduction ? "1" : "0") +
         "}";
}

// A path the plan forces but the probes did not choose may round differently here.
bool only_probed(bool forced, bool probed) { return !forced || probed; }

}  // namespace

TEST(SolvePlan, EveryPlanMatchesTheBlasAndTheSingleDgelsdCall) {
  const SolvePlan probed = probed_solve_plan();

  // Two-column predictions of a C- and a Fortran-ordered array, against dgemv; R @ pts.T of
  // C-ordered points, against dgemm.
  const std::size_t n = 5003, points = 4099;
  const TwoColumnPredictions predictions = blas_two_column_predictions(n);
  const PlaneFrameProduct plane_frame = blas_plane_frame(points);

  // Centred systems each path applies to: the three-row subsets of a plane fit, tall ones of
  // one and two columns (one with a reflector shorter than its column).
  struct System {
    std::size_t m;
    int columns;
    std::vector<double> a, b, single;
  };
  std::vector<System> systems;
  unsigned seed = 10;
  for (auto [m, cols] : {std::pair{std::size_t{3}, 2}, {700, 2}, {300, 1}, {301, 2}}) {
    System s{m, cols, random_values(m * cols, 40.0, ++seed), random_values(m, 3.0, ++seed), {}};
    if (m == 301)
      for (std::size_t i = m - 9; i < m; ++i) s.a[2 * i] = 0.0;
    LeastSquaresWork work;
    s.single.resize(cols);
    single_dgelsd_call(s.a.data(), s.b.data(), m, cols, s.single.data(), work);
    systems.push_back(std::move(s));
  }

  // A two-column fit on a subset of rows: its centring runs with the reduction's first pass.
  const std::size_t fit_n = 900;
  const std::vector<double> fit_X = random_values(2 * fit_n, 50.0, 31);
  const std::vector<double> fit_y = random_values(fit_n, 5.0, 32);
  std::vector<std::size_t> fit_rows;
  for (std::size_t i = 0; i < fit_n; i += 1 + i % 3) fit_rows.push_back(i);
  auto fit = [&] {
    LeastSquaresWork work;
    const LinearModel m =
        fit_linear_model(fit_X.data(), 2, fit_y.data(), fit_rows.data(), fit_rows.size(), work);
    return std::vector<double>{m.coef[0], m.coef[1], m.intercept};
  };
  std::vector<double> single_fit;
  {
    const ForcedSolvePlan libraries_only(SolvePlan{});
    single_fit = fit();
  }

  for (int bits = 0; bits < 16; ++bits) {
    const SolvePlan plan = plan_number(bits);
    const ForcedSolvePlan forced(plan);
    const std::string name = describe(plan);

    const bool products_exact =
        only_probed(plan.inline_two_column_products, probed.inline_two_column_products);
    std::vector<double> got(n);
    predict_rows(predictions.model, predictions.X.data(), n, 2, got.data());
    expect_matches(got, predictions.by_rows, products_exact, name + " C-ordered predictions");
    predict_rows_column_major(predictions.model, predictions.columns.data(), n, 2, got.data());
    expect_matches(got, predictions.by_columns, products_exact,
                   name + " Fortran-ordered predictions");

    std::vector<double> frame(3 * points);
    to_plane_frame(plane_frame.R, Rows3View{plane_frame.rows.data(), 3, 1}, points, frame.data());
    expect_matches(frame, plane_frame.frame,
                   only_probed(plan.inline_three_term_products, probed.inline_three_term_products),
                   name + " R @ pts.T");

    const bool solve_exact = only_probed(plan.split_solve, probed.split_solve) &&
                             only_probed(plan.written_out_reduction, probed.written_out_reduction);
    for (const System& s : systems) {
      LeastSquaresWork work;
      std::vector<double> coef(s.columns);
      dgelsd_solve(s.a.data(), s.b.data(), s.m, s.columns, coef.data(), work);
      expect_matches(coef, s.single, solve_exact,
                     name + " " + std::to_string(s.m) + " x " + std::to_string(s.columns));
    }
    expect_matches(fit(), single_fit, solve_exact, name + " two-column fit");
  }
}
