#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "ellipse/chi2_grid.h"
#include "ellipse/ellipse.h"
#include "support/error.h"
#include "expect_error.h"

namespace torvel {
namespace {

using testing::expect_error;

constexpr double kPi = std::numbers::pi;

TEST(Chi2Grid, CdfMatchesTheStatisticsLibraryBitForBit) {
  // scipy.stats.chi2.cdf(linspace(0, 20, 20001), 2) at points of every branch
  // (several where 1 - exp(-d/2) differs in the last bit).
  const std::vector<std::pair<std::size_t, double>> ref = {
      {0, 0.0},
      {1, 0x1.061416eeb48bep-11},   {500, 0x1.c5041854df7d4p-3},  {1199, 0x1.cdbc5ee26e058p-2},
      {1200, 0x1.ce04528d3f637p-2}, {1201, 0x1.ce4c3d02eff7fp-2}, {1350, 0x1.f69fb303c4c47p-2},
      {2000, 0x1.43a54e4e98864p-1}, {2001, 0x1.43bd68c1d2a20p-1}, {2200, 0x1.5591ebdb77208p-1},
      {2201, 0x1.55a7bb1c868b6p-1}, {2280, 0x1.5c40ae61520e2p-1}, {2800, 0x1.81be0af127e3cp-1},
      {2801, 0x1.81ce331e505b2p-1}, {5000, 0x1.d5f8f47ed617bp-1}, {12345, 0x1.feee94f8669e6p-1},
      {19999, 0x1.fffa0bde886b7p-1}, {20000, 0x1.fffa0ca192a6ep-1}};
  for (const auto& [i, v] : ref) EXPECT_EQ(chi2_grid_cdf(i), v) << i;
  EXPECT_EQ(chi2_grid_distance(20000), 20.0);
  EXPECT_EQ(chi2_grid_distance(2279), 2279 * 0.001);
}

TEST(Chi2Grid, SearchEqualsFullScan) {
  std::vector<double> cdf(kChi2GridSize);
  for (std::size_t i = 0; i < kChi2GridSize; ++i) cdf[i] = chi2_grid_cdf(i);
  for (std::size_t i = 1; i < kChi2GridSize; ++i) ASSERT_LT(cdf[i - 1], cdf[i]) << i;
  auto scan = [&](double mass) {
    std::size_t best = 0;
    double m = std::fabs(cdf[0] - mass);
    for (std::size_t i = 1; i < kChi2GridSize; ++i) {
      const double e = std::fabs(cdf[i] - mass);
      if (e < m) {
        m = e;
        best = i;
      }
    }
    return best;
  };
  std::vector<double> masses = {0.0,  -0.0, 1.0,  0.5,   0.68, 0.9,   0.95, 0.99, -1.0, 2.0,
                                1e17, 1e8,  -1e8, 1e300, 5e-324, 1e-20, 0.9999546, 1.0 - 1e-16,
                                INFINITY, -INFINITY};
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> u(-0.05, 1.05);
  std::uniform_int_distribution<std::size_t> ui(0, kChi2GridSize - 2);
  for (int k = 0; k < 3000; ++k) masses.push_back(u(rng));
  for (int k = 0; k < 1000; ++k) {
    // Exact grid values, their midpoints and neighbours one ulp away: the tie cases.
    const std::size_t i = ui(rng);
    const double mid = cdf[i] + (cdf[i + 1] - cdf[i]) / 2.0;
    for (double m : {cdf[i], mid, std::nextafter(mid, 0.0), std::nextafter(mid, 2.0)}) {
      masses.push_back(m);
    }
  }
  for (double m : masses) EXPECT_EQ(chi2_grid_index(m), scan(m)) << m;
  EXPECT_THROW(chi2_grid_index(std::nan("")), Error);
}

TEST(Chi2Grid, MultipliersOfCommonMasses) {
  EXPECT_EQ(chi2_multiplier(std::nullopt), std::sqrt(2.279));
  const std::vector<std::pair<double, std::size_t>> table = {
      {0.68, 2279}, {0.5, 1386}, {0.9, 4605}, {0.95, 5991}, {0.99, 9210},
      {0.0, 0},     {-3.0, 0},   {1.0, 20000}, {7.0, 20000}};
  for (const auto& [mass, i] : table) EXPECT_EQ(chi2_grid_index(mass), i) << mass;
  EXPECT_NEAR(chi2_multiplier(0.68), 1.5096357, 1e-7);
  EXPECT_NEAR(chi2_multiplier(0.95), 2.4476519, 1e-7);
  EXPECT_EQ(chi2_multiplier(1.0), std::sqrt(20.0));
  EXPECT_EQ(chi2_multiplier(INFINITY), 0.0);  // every error is infinite: the first index
}

TEST(Svd2, SingularValuesAndFirstDirection) {
  Svd2 s = svd2(4, 0, 0, 1);
  EXPECT_EQ(s.s0, 4.0);
  EXPECT_EQ(s.s1, 1.0);
  EXPECT_EQ(s.direction, 0.0);
  s = svd2(1, 0, 0, 4);
  EXPECT_EQ(s.direction, kPi / 2);
  s = svd2(-1, 0, 0, -4);  // the larger magnitude leads, whatever its sign
  EXPECT_EQ(s.s0, 4.0);
  EXPECT_EQ(s.direction, kPi / 2);
  s = svd2(1, 0, 0, 0);
  EXPECT_EQ(s.s1, 0.0);
  EXPECT_EQ(s.direction, 0.0);

  // Against the defining relations on random matrices: A v = s u with u the direction.
  std::mt19937_64 rng(3);
  std::normal_distribution<double> n(0.0, 1.0);
  for (int k = 0; k < 2000; ++k) {
    const double a = n(rng), b = n(rng), c = n(rng);
    const double d = k % 2 ? b : n(rng);  // symmetric and general
    s = svd2(a, b, c, d);
    EXPECT_GT(s.direction, -kPi / 2);
    EXPECT_LE(s.direction, kPi / 2);
    const double ux = std::cos(s.direction), uy = std::sin(s.direction);
    // A^T u = s0 v and |A^T u| = s0; A A^T u = s0^2 u.
    const double vx = a * ux + c * uy, vy = b * ux + d * uy;
    EXPECT_NEAR(std::hypot(vx, vy), s.s0, 1e-12 * s.s0);
    EXPECT_NEAR(a * vx + b * vy, s.s0 * s.s0 * ux, 1e-12 * s.s0 * s.s0);
    EXPECT_NEAR(c * vx + d * vy, s.s0 * s.s0 * uy, 1e-12 * s.s0 * s.s0);
    EXPECT_NEAR(s.s0 * s.s1, std::fabs(a * d - b * c), 1e-12 * s.s0 * s.s0);
    EXPECT_LE(s.s1, s.s0);
  }
}

TEST(EllipseOutline, UnitCircleAndCounts) {
  std::vector<double> x(1000), y(1000);
  ellipse_outline(EllipseShape{1, 1, 0}, 0, 0, 1000, x.data(), y.data());
  EXPECT_EQ(x[0], 1.0);
  EXPECT_EQ(y[0], 0.0);
  EXPECT_EQ(x[999], 1.0);
  EXPECT_EQ(y[999], std::sin(2 * kPi));
  EXPECT_NEAR(y[999], -2.449e-16, 1e-19);
  for (int k = 0; k < 1000; ++k) EXPECT_NEAR(std::hypot(x[k], y[k]), 1.0, 1e-15);

  ellipse_outline(EllipseShape{3, 2, 0.4}, 5, -7, 1, x.data(), y.data());
  EXPECT_DOUBLE_EQ(x[0], 5 + 3 * std::cos(0.4));
  EXPECT_DOUBLE_EQ(y[0], -7 + 3 * std::sin(0.4));
  ellipse_outline(EllipseShape{}, 0, 0, 0, nullptr, nullptr);
  expect_error(ErrorKind::Value, "Number of samples, -1, must be non-negative.",
               [&] { ellipse_outline(EllipseShape{}, 0, 0, -1, nullptr, nullptr); });
}

TEST(EllipseOutline, RotationAndCentre) {
  std::vector<double> x(5), y(5);
  ellipse_outline(EllipseShape{2, 1, kPi / 2}, 10, 20, 5, x.data(), y.data());
  // Long axis along y, starting at the top of the frame (x_cent, y_cent + 2); a quarter turn
  // later at (x_cent - 1, y_cent).
  EXPECT_NEAR(x[0], 10, 1e-15 * 10);
  EXPECT_EQ(y[0], 22);
  EXPECT_NEAR(x[1], 9, 1e-14);
  EXPECT_NEAR(y[1], 20, 1e-14);
}

TEST(EllipseFromCovariance, AxisAlignedAndTiltedCovariances) {
  EllipseShape s = ellipse_from_covariance(4, 0, 0, 1, 0.68);
  EXPECT_EQ(s.semimaj, 2 * std::sqrt(2.279));
  EXPECT_EQ(s.semimin, std::sqrt(2.279));
  EXPECT_EQ(s.phi, 0.0);
  s = ellipse_from_covariance(1, 0, 0, 4, 0.68);
  EXPECT_EQ(s.phi, kPi / 2);
  EXPECT_EQ(s.semimaj, 2 * std::sqrt(2.279));
  // A principal direction of 0.6435 rad (cos 0.8, sin 0.6), whatever the factor's signs.
  const double c = 0.8, sn = 0.6;
  s = ellipse_from_covariance(4 * c * c + sn * sn, 3 * c * sn, 3 * c * sn, 4 * sn * sn + c * c,
                              std::nullopt);
  EXPECT_NEAR(s.phi, std::acos(0.8), 1e-15);
  s = ellipse_from_covariance(4 * c * c + sn * sn, -3 * c * sn, -3 * c * sn,
                              4 * sn * sn + c * c, std::nullopt);
  EXPECT_NEAR(s.phi, -std::acos(0.8), 1e-15);
  s = ellipse_from_covariance(4, 0, 0, 1, -0.5);
  EXPECT_EQ(s.semimaj, 0.0);
  EXPECT_EQ(s.semimin, 0.0);
  EXPECT_THROW(ellipse_from_covariance(1, std::nan(""), 0, 1, 0.68), Error);
  s = ellipse_from_covariance(1, 0, 0, INFINITY, 0.68);
  EXPECT_TRUE(std::isnan(s.semimaj) && std::isnan(s.semimin));
  EXPECT_THROW(ellipse_from_covariance(1, 0, 0, 1, std::nan("")), Error);
}

}  // namespace
}  // namespace torvel
