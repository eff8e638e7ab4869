// The fits compute some BLAS products inline and split dgelsd into its own steps when the
// loaded libraries were found to round that way; either way the bits must be the libraries'.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "blas_reference.h"
#include "geometry/plane_fit.h"
#include "numeric/blas.h"
#include "numeric/dgelsd_paths.h"
#include "numeric/pairwise_sum.h"
#include "numeric/solve_plan.h"
#include "numeric/two_column_reduction.h"
#include "robust/linear_model.h"

using namespace torvel;

TEST(BlasProducts, PredictionsAreTheBlasBits) {
  for (std::size_t n : {2u, 7u, 33u, 5000u}) {
    const TwoColumnPredictions blas = blas_two_column_predictions(n);
    std::vector<double> by_rows(n), by_columns(n);
    predict_rows(blas.model, blas.X.data(), n, 2, by_rows.data());
    predict_rows_column_major(blas.model, blas.columns.data(), n, 2, by_columns.data());
    for (std::size_t i = 0; i < n; ++i) {
      ASSERT_TRUE(same_bits(by_rows[i], blas.by_rows[i])) << n << " " << i;
      ASSERT_TRUE(same_bits(by_columns[i], blas.by_columns[i])) << n << " " << i;
    }
  }
}

TEST(BlasProducts, PlaneFrameIsTheBlasBits) {
  for (std::size_t n : {2u, 9u, 4097u}) {
    const PlaneFrameProduct blas = blas_plane_frame(n);
    std::vector<double> got(3 * n);
    to_plane_frame(blas.R, Rows3View{blas.rows.data(), 3, 1}, n, got.data());
    for (std::size_t i = 0; i < 3 * n; ++i)
      ASSERT_TRUE(same_bits(got[i], blas.frame[i])) << n << " " << i;
  }
}

// Tall systems and systems of two to five rows (the robust fit's subsets), including those where dgelsd rescales A, b or the reduced right-hand side,
// and two-column ones whose reflections are shorter than the column, vanish, or meet a value
// the BLAS norm scales.
TEST(BlasProducts, LeastSquaresAreOneDgelsdCall) {
  enum Shape { kRandom, kBInSpan, kTrailingZeros, kZeroColumn, kTinyValue };
  struct System { std::size_t m; int n; double a_scale, b_scale; Shape shape; };
  const System systems[] = {{64, 1, 1.0, 1.0, kRandom},      {1600, 2, 400.0, 1e-3, kRandom},
                            {200, 2, 1e-300, 1.0, kRandom},  {200, 2, 1e300, 1e300, kRandom},
                            {200, 2, 1.0, 1e-300, kRandom},  {300, 2, 1.0, 1.0, kBInSpan},
                            {301, 2, 1.0, 1.0, kTrailingZeros}, {128, 2, 1.0, 1.0, kZeroColumn},
                            {200, 2, 1.0, 1.0, kTinyValue},  {2, 2, 1.0, 1.0, kRandom},
                            {3, 2, 1.0, 1.0, kRandom},       {3, 2, 1.0, 1.0, kZeroColumn},
                            {5, 2, 50.0, 1e-3, kRandom}};
  unsigned seed = 10;
  for (const System& s : systems) {
    std::vector<double> a = random_values(s.m * s.n, s.a_scale, ++seed);
    std::vector<double> b = random_values(s.m, s.b_scale, ++seed);
    if (s.shape == kBInSpan) {  // Q^T b vanishes below R: only rounding is left there
      for (std::size_t i = 0; i < s.m; ++i) b[i] = 1e-310 * a[i * s.n];
    }
    for (std::size_t i = 1; i < s.m; ++i) {
      if ((s.shape == kTrailingZeros && i + 9 >= s.m) || s.shape == kZeroColumn) a[i * s.n] = 0.0;
    }
    if (s.shape == kTinyValue) a[2 * 17] = 1e-160;
    LeastSquaresWork work;
    double coef[2];
    dgelsd_solve(a.data(), b.data(), s.m, s.n, coef, work);

    const int m = static_cast<int>(s.m), n = s.n, nrhs = 1, lwork_query = -1;
    std::vector<double> A(s.m * n), B = b, S(n);
    for (std::size_t i = 0; i < s.m; ++i)
      for (int j = 0; j < n; ++j) A[j * s.m + i] = a[i * n + j];
    const double rcond = std::numeric_limits<double>::epsilon();
    int rank = 0, info = 0, iquery = 0;
    double query = 0.0;
    dgelsd_(&m, &n, &nrhs, A.data(), &m, B.data(), &m, S.data(), &rcond, &rank, &query,
            &lwork_query, &iquery, &info);
    const int lwork = static_cast<int>(query);
    std::vector<double> W(lwork);
    std::vector<int> IW(std::max(1, iquery));
    dgelsd_(&m, &n, &nrhs, A.data(), &m, B.data(), &m, S.data(), &rcond, &rank, W.data(), &lwork,
            IW.data(), &info);
    ASSERT_EQ(info, 0);
    for (int j = 0; j < n; ++j)
      EXPECT_TRUE(same_bits(coef[j], B[j])) << s.m << " x " << n << " scale " << s.a_scale;
  }
}

// A two-column fit on a subset of rows is the centred system's single dgelsd call, also where
// a centred value is one the BLAS norm scales.
TEST(BlasProducts, TwoColumnFitIsTheCentredDgelsdCall) {
  for (bool tiny : {false, true}) {
    const std::size_t n = 700;
    std::vector<double> X = random_values(2 * n, 50.0, 31), y = random_values(n, 5.0, 32);
    std::vector<std::size_t> rows;
    for (std::size_t i = 0; i < n; i += 1 + i % 3) rows.push_back(i);
    const std::size_t m = rows.size();
    if (tiny) {  // column 0 of the rows is +-1 around a mean of exactly 0, one row 2^-530
      for (std::size_t i = 0; i < m; ++i) X[2 * rows[i]] = i % 2 ? 1.0 : -1.0;
      X[2 * rows[0]] = 0x1p-530;
      X[2 * rows[1]] = -0x1p-530;
    }
    LeastSquaresWork work;
    const LinearModel model = fit_linear_model(X.data(), 2, y.data(), rows.data(), m, work);

    double s0 = 0.0, s1 = 0.0, sy;
    std::vector<double> A(2 * m), B(m);
    for (std::size_t i = 0; i < m; ++i) {
      s0 += X[2 * rows[i]];
      s1 += X[2 * rows[i] + 1];
      B[i] = y[rows[i]];
    }
    sy = (0.0 + pairwise_sum(B.data(), m)) / static_cast<double>(m);
    s0 = s0 / static_cast<double>(m);
    s1 = s1 / static_cast<double>(m);
    for (std::size_t i = 0; i < m; ++i) {
      A[i] = X[2 * rows[i]] - s0;
      A[m + i] = X[2 * rows[i] + 1] - s1;
      B[i] = B[i] - sy;
    }
    const int mm = static_cast<int>(m), two = 2, nrhs = 1, query_size = -1;
    const double rcond = std::numeric_limits<double>::epsilon();
    int rank = 0, info = 0, iquery = 0;
    double S[2], query = 0.0;
    dgelsd_(&mm, &two, &nrhs, A.data(), &mm, B.data(), &mm, S, &rcond, &rank, &query,
            &query_size, &iquery, &info);
    const int lwork = static_cast<int>(query);
    std::vector<double> W(lwork);
    std::vector<int> IW(std::max(1, iquery));
    dgelsd_(&mm, &two, &nrhs, A.data(), &mm, B.data(), &mm, S, &rcond, &rank, W.data(), &lwork,
            IW.data(), &info);
    ASSERT_EQ(info, 0);
    EXPECT_TRUE(same_bits(model.coef[0], B[0])) << tiny;
    EXPECT_TRUE(same_bits(model.coef[1], B[1])) << tiny;
  }
}

// The written-out reduction is the reference LAPACK's QR and Q^T b to the bit: R's entries
// and the first two values of Q^T b, with reflectors of full length and shortened by
// trailing zeros. (An optimised library loaded instead is probed and not reproduced.)
TEST(BlasProducts, TwoColumnReductionIsTheLapackQr) {
  if (!probed_solve_plan().inline_two_column_products) GTEST_SKIP() << "not the reference BLAS and LAPACK";
  for (std::size_t zeros : {0u, 5u}) {
    const std::size_t m = 500;
    std::vector<double> x = random_values(2 * m, 3.0, 41), b = random_values(m, 2.0, 42);
    for (std::size_t i = m - zeros; i < m; ++i) x[2 * i] = 0.0;
    std::vector<double> scratch(2 * m);
    TwoColumnReduction r;
    ASSERT_TRUE(reduce_two_columns(x.data(), b.data(), m, scratch.data(), r));

    const int mm = static_cast<int>(m), two = 2, one = 1, lwork = 64;
    std::vector<double> A(2 * m), B = b, work(lwork);
    for (std::size_t i = 0; i < m; ++i) {
      A[i] = x[2 * i];
      A[m + i] = x[2 * i + 1];
    }
    double tau[2];
    int info = 0;
    dgeqrf_(&mm, &two, A.data(), &mm, tau, work.data(), &lwork, &info);
    ASSERT_EQ(info, 0);
    dormqr_("L", "T", &mm, &one, &two, A.data(), &mm, tau, B.data(), &mm, work.data(), &lwork,
            &info, 1, 1);
    ASSERT_EQ(info, 0);
    EXPECT_TRUE(same_bits(r.r11, A[0])) << zeros;
    EXPECT_TRUE(same_bits(r.r12, A[m])) << zeros;
    EXPECT_TRUE(same_bits(r.r22, A[m + 1])) << zeros;
    EXPECT_TRUE(same_bits(r.qtb0, B[0])) << zeros;
    EXPECT_TRUE(same_bits(r.qtb1, B[1])) << zeros;
  }
}

// A two-point line is solved by its one reflection wherever every value lies in dnrm2's plain
// range, up to its ends: the single dgelsd call's bits there too.
TEST(BlasProducts, TwoPointLineAtTheEndsOfTheNormsPlainRange) {
  for (double scale : {0x1p-511, 0x1p485}) {  // magnitudes in [scale, 2 * scale)
    const std::vector<double> u = random_values(4, 1.0, 51);
    const double a[2] = {scale * (1.0 + std::fabs(u[0])), -scale * (1.0 + std::fabs(u[1]))};
    const double b[2] = {-scale * (1.0 + std::fabs(u[2])), scale * (1.0 + std::fabs(u[3]))};
    ASSERT_TRUE(two_point_line_applies(a, b)) << scale;
    std::vector<double> scratch;
    LeastSquaresWork work;
    double single = 0.0;
    single_dgelsd_call(a, b, 2, 1, &single, work);
    EXPECT_TRUE(same_bits(householder_slope(a, b, 2, scratch), single)) << scale;
  }
}
