#include "geometry/contour_to_plane.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "support/error.h"
#include "expect_error.h"

namespace torvel {
namespace {

using testing::expect_error;

// Unit pixels at focus 1 and the plane z = 1 seen straight on: pixel (r, c) lies at
// (c - 100, r - 50, 1) and the plane frame is the camera frame.
const CameraIntrinsics kCam{1.0, 1.0, 1.0, 50.0, 100.0};
const std::array<double, 3> kPoint{0.0, 0.0, 1.0};
const std::array<double, 3> kNormal{0.0, 0.0, 1.0};
const cv::Matx33d kIdentity = cv::Matx33d::eye();

PlaneContour map(const std::vector<double>& xs, const std::vector<double>& ys,
                 const std::array<double, 3>& point = kPoint,
                 const std::array<double, 3>& normal = kNormal) {
  return contour_to_plane(VectorView{xs.data(), 1}, VectorView{ys.data(), 1}, xs.size(), kCam,
                          point, kIdentity, normal);
}

TEST(ContourToPlane, GridFromTheSmallestCoordinate) {
  // Columns 100, 101, 103 and rows 50, 52, 51: plane coordinates (0, 0), (1, 2), (3, 1).
  const PlaneContour c = map({100, 101, 103}, {50, 52, 51});
  EXPECT_EQ(c.fy, (std::vector<std::int64_t>{0, 10000, 30000}));
  EXPECT_EQ(c.fx, (std::vector<std::int64_t>{0, 20000, 10000}));
  EXPECT_EQ(c.crt, (std::vector<std::int32_t>{10, 10, 10010, 20010, 30010, 10010}));
  for (std::size_t i = 0; i < 3; ++i) EXPECT_DOUBLE_EQ(c.hor_points2[6 + i], 1.0);
  EXPECT_DOUBLE_EQ(c.pts3d_contour[3], 1.0);  // (1, 2, 1) in the camera frame
  EXPECT_DOUBLE_EQ(c.pts3d_contour[4], 2.0);
  EXPECT_DOUBLE_EQ(c.pts3d_contour[5], 1.0);
}

TEST(ContourToPlane, OnePointAndTruncation) {
  const PlaneContour one = map({7.5}, {-3.0});
  EXPECT_EQ(one.fx, std::vector<std::int64_t>{0});
  EXPECT_EQ(one.fy, std::vector<std::int64_t>{0});
  EXPECT_EQ(one.crt, (std::vector<std::int32_t>{10, 10}));
  // 0.00009 length units is 0.9 grid units: truncated, not rounded.
  const PlaneContour fine = map({100.0, 100.00009}, {50.0, 50.0});
  EXPECT_EQ(fine.fy[1], 0);
}

TEST(ContourToPlane, ParallelLineOfSightMapsToTheCentre) {
  // Plane x = 5: the line of sight of the principal point, (0, 0, 1), is parallel to it.
  const PlaneContour c = map({100, 101}, {50, 50}, {5.0, 0.0, 0.0}, {1.0, 0.0, 0.0});
  EXPECT_EQ(c.pts3d_contour[0], 0.0);
  EXPECT_EQ(c.pts3d_contour[1], 0.0);
  EXPECT_EQ(c.pts3d_contour[2], 0.0);
  EXPECT_DOUBLE_EQ(c.pts3d_contour[3], 5.0);  // (1, 0, 1) scaled to x = 5
  EXPECT_DOUBLE_EQ(c.pts3d_contour[5], 5.0);
  EXPECT_EQ(c.fy[0], 0);  // the centre takes part in the minimum
  EXPECT_NEAR(c.fy[1], 50000, 1);
}

TEST(ContourToPlane, EmptyAndOversizedContoursFail) {
  expect_error(ErrorKind::Value, "zero-size array to reduction operation minimum which has no identity",
               [&] { map({}, {}); });
  // 214748.3637 length units is the last extent that fits; one unit more does not.
  EXPECT_NO_THROW(map({100, 100 + 214748.36}, {50, 50}));
  const std::string oversized =
      expect_error(ErrorKind::Overflow, [&] { map({100, 100 + 214749.0}, {50, 50}); });
  EXPECT_NE(oversized.find("214749 x 0 length units"), std::string::npos) << oversized;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  expect_error(ErrorKind::Overflow, [&] { map({100, 101}, {50, 50}, {nan, nan, nan}); });
}

}  // namespace
}  // namespace torvel
