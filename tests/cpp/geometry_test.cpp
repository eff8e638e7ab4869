#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <limits>
#include <vector>

#include "geometry/camera.h"
#include "geometry/intersect.h"
#include "expect_error.h"

namespace torvel {
namespace {

TEST(Camera, LinesOfSightFollowThePinholeAxes) {
  CameraIntrinsics cam{8.0, 8.0, 8.0, 540.0, 960.0};  // pitch = focus: one pixel is 45 degrees
  const std::vector<double> rows{540, 540, 541};
  const std::vector<double> cols{960, 961, 960};
  std::vector<double> x(3), y(3), z(3);
  lines_of_sight(rows.data(), cols.data(), 3, cam, x.data(), y.data(), z.data());
  EXPECT_EQ(x[0], 0.0);
  EXPECT_EQ(y[0], 0.0);
  EXPECT_EQ(z[0], 1.0);
  EXPECT_DOUBLE_EQ(x[1], 1 / std::sqrt(2.0));  // one column right: +x
  EXPECT_DOUBLE_EQ(z[1], 1 / std::sqrt(2.0));
  EXPECT_DOUBLE_EQ(y[2], 1 / std::sqrt(2.0));  // one row down: +y
  EXPECT_EQ(x[2], 0.0);
}

TEST(Camera, ProjectionTruncatesTowardZeroAndDefinesNonFiniteResults) {
  CameraIntrinsics cam{1.0, 1.0, 1.0, 0.0, 0.0};
  const std::vector<double> x{12.9, -0.7, -3.7, 1.0, 1.0, 1e300};
  const std::vector<double> y{0.0, 0.0, 0.0, 1.0, std::nan(""), 1.0};
  const std::vector<double> z{1.0, 1.0, 1.0, 0.0, 1.0, 1.0};
  std::vector<std::int64_t> row(6), col(6);
  project_to_pixels(x.data(), y.data(), z.data(), 6, cam, row.data(), col.data());
  EXPECT_EQ(col[0], 12);
  EXPECT_EQ(col[1], 0);  // not -1
  EXPECT_EQ(col[2], -3);
  EXPECT_EQ(col[3], INT64_MIN);  // z = 0: infinity
  EXPECT_EQ(row[4], INT64_MIN);  // NaN
  EXPECT_EQ(col[5], INT64_MIN);  // beyond int64
}

TEST(Camera, TruncationAtTheInt64Limits) {
  EXPECT_EQ(truncate_to_int64(-9223372036854775808.0), INT64_MIN);
  EXPECT_EQ(truncate_to_int64(9223372036854775808.0), INT64_MIN);
  EXPECT_EQ(truncate_to_int64(9223372036854774784.0), 9223372036854774784LL);
  EXPECT_EQ(truncate_to_int64(-std::numeric_limits<double>::infinity()), INT64_MIN);
}

TEST(Camera, DistanceUsesTheFirstTwoCoordinates) {
  EXPECT_EQ(distance_2pts(0, 0, 3, 4), 5.0);
  EXPECT_EQ(distance_2pts(-1, -1, 2, 3), 5.0);
  // A finite difference whose square overflows fails, as float ** 2 does; an infinite one
  // squares to infinity.
  testing::expect_error(ErrorKind::Overflow, [] { distance_2pts(1e200, 0, 0, 0); });
  EXPECT_EQ(distance_2pts(HUGE_VAL, 0, 0, 0), HUGE_VAL);
}

TEST(Camera, DistanceSquaresAsTheCLibrarysPow) {
  // The squares take d * d where that is pow(d, 2); pow(d, 2) is not always d * d.
  volatile double two = 2.0;
  std::mt19937_64 gen(5);
  std::uniform_real_distribution<double> mantissa(1.0, 2.0);
  std::uniform_int_distribution<int> exponent(-560, 500);
  std::vector<double> values = {0x1.f88c0f6aaed34p+0, 0x1.9889b117cffbcp-22, 0.0, -0.0, 3.0};
  for (int i = 0; i < 200000; ++i) values.push_back(std::ldexp(mantissa(gen), exponent(gen)));
  for (double d : values) {
    const double want = std::sqrt(std::pow(d, two) + std::pow(0.5, two));
    ASSERT_EQ(distance_2pts(d, 0.5, 0.0, 0.0), want) << std::hexfloat << d;
  }
}

Rows3View rows(const std::vector<double>& v, std::ptrdiff_t row_step = 3) {
  return Rows3View{v.data(), row_step, 1};
}

TEST(Intersect, LineMeetsPlaneWhateverTheNormalLength) {
  const std::vector<double> v0{0, 0, 0}, v1{0, 0, 1}, p{0, 0, 5}, n1{0, 0, 1}, n2{0, 0, 2};
  double out[3];
  intersect_lines_planes(rows(v0), rows(v1), rows(p, 0), rows(n1, 0), 1e-6, 1, out);
  EXPECT_EQ(out[2], 5.0);
  intersect_lines_planes(rows(v0), rows(v1), rows(p, 0), rows(n2, 0), 1e-6, 1, out);
  EXPECT_EQ(out[2], 5.0);
}

TEST(Intersect, ParallelLinesKeepTheirFirstPointAndTheThresholdIsStrict) {
  // Row 0 parallel, row 1 dot exactly epsion (not parallel), row 2 behind the start.
  const std::vector<double> v0{1, 2, 3, 0, 0, 0, 0, 0, 10};
  const std::vector<double> v1{2, 2, 3, 0, 0, 0.5, 0, 0, 11};
  const std::vector<double> p{0, 0, 5}, n{0, 0, 1};
  std::vector<double> out(9);
  intersect_lines_planes(rows(v0), rows(v1), rows(p, 0), rows(n, 0), 0.5, 3, out.data());
  EXPECT_EQ(out[0], 1.0);
  EXPECT_EQ(out[1], 2.0);
  EXPECT_EQ(out[2], 3.0);
  EXPECT_EQ(out[5], 5.0);
  EXPECT_EQ(out[8], 5.0);  // a negative parameter: back along the line
  EXPECT_TRUE(any_parallel(rows(v0), rows(v1), rows(n, 0), 0.5, 3));
  EXPECT_FALSE(any_parallel(rows(v0), rows(v1), rows(n, 0), 0.5, 0));
}

}  // namespace
}  // namespace torvel
