#include <gtest/gtest.h>

#include <array>
#include <tuple>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "contour/axes.h"
#include "contour/profile.h"
#include "contour/select.h"
#include "support/error.h"
#include "expect_error.h"

namespace torvel {
namespace {

using testing::expect_error;

TEST(SelectContour, AreaThresholdIsStrict) {
  cv::Mat img = cv::Mat::zeros(40, 40, CV_8UC1);
  img(cv::Rect(5, 5, 11, 11)).setTo(255);  // polygon area exactly 100
  EXPECT_FALSE(select_contour(img).has_value());
  img.at<std::uint8_t>(15, 16) = 255;  // one more boundary triangle: 100.5
  const auto sel = select_contour(img);
  ASSERT_TRUE(sel.has_value());
  EXPECT_EQ(sel->area, 100.5);
  EXPECT_EQ(sel->cx, 10);
  EXPECT_EQ(sel->cy, 10);
  EXPECT_FALSE(select_contour(cv::Mat::zeros(30, 30, CV_8UC1)).has_value());
}

TEST(SelectContour, FirstQualifyingInFinderOrderAndOuterOutlineOnly) {
  // The finder lists the lower object first; the small top block never qualifies.
  cv::Mat img = cv::Mat::zeros(60, 80, CV_8UC1);
  img(cv::Rect(5, 5, 11, 11)).setTo(255);
  img(cv::Rect(40, 30, 30, 20)).setTo(255);
  img(cv::Rect(5, 40, 15, 15)).setTo(255);
  auto sel = select_contour(img);
  ASSERT_TRUE(sel.has_value());
  EXPECT_EQ(sel->area, 196.0);  // the 15 x 15 block, though the 30 x 20 one is larger
  EXPECT_EQ(sel->cx, 12);
  EXPECT_EQ(sel->cy, 47);

  // A hole changes neither the outline nor the centroid.
  cv::Mat ring = cv::Mat::zeros(100, 100, CV_8UC1);
  ring(cv::Rect(20, 30, 51, 41)).setTo(255);
  const auto solid = select_contour(ring);
  ring(cv::Rect(25, 35, 20, 20)).setTo(0);
  sel = select_contour(ring);
  ASSERT_TRUE(sel.has_value() && solid.has_value());
  EXPECT_EQ(sel->area, solid->area);
  EXPECT_EQ(sel->contour, solid->contour);
  EXPECT_EQ(sel->cx, 45);
  EXPECT_EQ(sel->cy, 50);
}

TEST(SelectContour, OtherElementTypesAreSearchedInTheirUint8Conversion) {
  cv::Mat img = cv::Mat::zeros(50, 50, CV_8UC1);
  img(cv::Rect(10, 10, 20, 20)).setTo(255);
  cv::Mat f;
  img.convertTo(f, CV_64F);
  auto sel = select_contour(f);
  ASSERT_TRUE(sel.has_value());
  EXPECT_EQ(sel->area, 361.0);
  f.setTo(256.0, img);  // 256 wraps to 0: nothing left to find
  EXPECT_FALSE(select_contour(f).has_value());
  f.setTo(-1.5, img);  // -1 wraps to 255
  EXPECT_TRUE(select_contour(f).has_value());
  cv::Mat i16;
  img.convertTo(i16, CV_16S);
  i16.setTo(512, img);
  EXPECT_FALSE(select_contour(i16).has_value());
  cv::Mat three;
  cv::merge(std::vector<cv::Mat>{img, img, img}, three);
  EXPECT_THROW(select_contour(three), cv::Exception);
}

TEST(WarpRadius, InitialAndAdapted) {
  EXPECT_EQ(initial_warp_radius(480, 640), 452);
  EXPECT_EQ(initial_warp_radius(1080, 1920), 1358);
  EXPECT_EQ(initial_warp_radius(1000, 1000), 707);
  EXPECT_EQ(initial_warp_radius(2048, 2448), 1731);
  EXPECT_EQ(adapted_warp_radius(215.3, 100.0), 207);
  EXPECT_EQ(adapted_warp_radius(215.3, 0.0), 107);
  EXPECT_EQ(adapted_warp_radius(10.0, -20.5), -15);
  EXPECT_THROW(adapted_warp_radius(10.0, std::nan("")), Error);
  EXPECT_THROW(adapted_warp_radius(10.0, 1e300), Error);
}

TEST(AngularProfile, CountsAndTies) {
  cv::Mat blank = cv::Mat::zeros(200, 300, CV_8UC1);
  AngularProfile p = angular_profile(blank, 150, 100, 200);
  EXPECT_EQ(p.angle_max, 0.0);
  EXPECT_EQ(p.angle_min, 0.0);
  for (double a : p.accum) EXPECT_EQ(a, 0.0);

  // A horizontal ellipse: densest line near 0 (or 179.5), sparsest within a few degrees of 90 (first index among near-equal counts).
  cv::Mat img = cv::Mat::zeros(300, 400, CV_8UC1);
  cv::ellipse(img, cv::Point(200, 150), cv::Size(120, 40), 0, 0, 360, cv::Scalar(255), -1);
  p = angular_profile(img, 200, 150, 250);
  EXPECT_TRUE(p.angle_max <= 2.0 || p.angle_max >= 178.0) << p.angle_max;
  EXPECT_NEAR(p.angle_min, 90.0, 10.0);  // the chord is nearly flat around 90
  // 0/255 mask: accum holds whole sample counts (300 radial samples per half-line).
  for (double a : p.accum) {
    EXPECT_NEAR(a, std::round(a), 1e-12);
    EXPECT_LE(a, 600.0);
  }
}

// accum from OpenCV's own warpPolar, as the documented steps compute it.
std::array<double, 360> warp_polar_accum(const cv::Mat& img, int cx, int cy, std::int64_t r) {
  cv::Mat polar;
  cv::warpPolar(img, polar, cv::Size(300, 720), cv::Point2f(cx, cy), static_cast<double>(r),
                cv::INTER_NEAREST + cv::WARP_FILL_OUTLIERS + cv::WARP_POLAR_LINEAR);
  std::array<double, 360> accum{};
  for (int i = 0; i < 360; ++i) {
    accum[i] = cv::sum(polar.row(i))[0] / 255.0 + cv::sum(polar.row(i + 360))[0] / 255.0;
  }
  return accum;
}

TEST(AngularProfile, SamplesExactlyAsWarpPolar) {
  // Grey values, centres inside, on the border and outside, radii from 0 to far beyond the
  // image: the sampled sums must be those of OpenCV's polar image, rounding ties included.
  cv::RNG rng(99);
  cv::Mat img(237, 311, CV_8UC1);
  rng.fill(img, cv::RNG::UNIFORM, 0, 256);
  cv::Mat strided = cv::Mat::zeros(240, 700, CV_8UC1)(cv::Rect(5, 2, 311, 237));
  img.copyTo(strided);
  for (const auto& [cx, cy, r] : {std::tuple{155, 118, 100}, {0, 0, 452}, {310, 236, 3},
                                  {-40, 500, 700}, {155, 118, 0}, {100, 60, 300},
                                  {200, 100, 2999}}) {
    for (const cv::Mat* m : {&img, &strided}) {
      const AngularProfile p = angular_profile(*m, cx, cy, r);
      const std::array<double, 360> expected = warp_polar_accum(*m, cx, cy, r);
      for (int i = 0; i < 360; ++i) {
        ASSERT_EQ(p.accum[i], expected[i]) << cx << "," << cy << " r " << r << " line " << i;
      }
    }
  }
}

TEST(AngularProfile, ReadingOnlyTheLitExtentChangesNothing) {
  // Objects near three borders, rings reaching past them or ending just beyond the extent.
  cv::Mat img = cv::Mat::zeros(301, 419, CV_8UC1);
  cv::ellipse(img, cv::Point(90, 150), cv::Size(85, 30), 17, 0, 360, cv::Scalar(255), -1);
  cv::circle(img, cv::Point(418, 3), 6, cv::Scalar(77), -1);
  img.at<std::uint8_t>(300, 200) = 255;
  const cv::Rect extent = nonzero_extent(img);
  EXPECT_EQ(extent, cv::boundingRect(img));
  // The same pixels inside a larger buffer: the extent no longer ends the image's memory,
  // so the samples may be read several at a time.
  cv::Mat inner = cv::Mat::zeros(310, 430, CV_8UC1)(cv::Rect(3, 4, 419, 301));
  img.copyTo(inner);
  for (const cv::Mat* m : {&img, &inner}) {
    for (const auto& [cx, cy, r] : {std::tuple{90, 150, 452}, {90, 150, 120}, {300, 100, 40},
                                    {-20, 150, 60}, {200, 299, 101}}) {
      const AngularProfile p = angular_profile(*m, cx, cy, r, &extent);
      EXPECT_EQ(p.accum, warp_polar_accum(*m, cx, cy, r)) << cx << "," << cy << " r " << r;
    }
  }
}

TEST(AngularProfile, RingsInsideAFullDiscAreCountedUnread) {
  // A full object about the centre, with pixels that bound the disc of 255 differently:
  // none, a hole off the centre row, a grey pixel, a hole next to the centre, a full object
  // reaching the extent's edge; radii sampling finer and coarser than the pixels.
  cv::Mat base = cv::Mat::zeros(260, 300, CV_8UC1);
  cv::ellipse(base, cv::Point(150, 130), cv::Size(110, 70), 23, 0, 360, cv::Scalar(255), -1);
  std::vector<cv::Mat> masks(5);
  for (cv::Mat& m : masks) m = base.clone();
  masks[1].at<std::uint8_t>(139, 146) = 0;
  masks[2].at<std::uint8_t>(118, 165) = 254;
  masks[3].at<std::uint8_t>(130, 151) = 0;
  masks[4] = cv::Mat(260, 300, CV_8UC1, cv::Scalar(255));
  for (const cv::Mat& m : masks) {
    const cv::Rect extent = nonzero_extent(m);
    for (const auto& [cx, cy, r] : {std::tuple{150, 130, 40}, {150, 130, 160}, {150, 130, 452},
                                    {0, 130, 90}, {149, 131, 75}}) {
      const AngularProfile p = angular_profile(m, cx, cy, r, &extent);
      EXPECT_EQ(p.accum, warp_polar_accum(m, cx, cy, r)) << cx << "," << cy << " r " << r;
    }
  }
}

TEST(SelectContour, ExtentOfTheNonZeroPixels) {
  cv::Mat img = cv::Mat::zeros(70, 333, CV_8UC1);
  EXPECT_TRUE(nonzero_extent(img).empty());
  img.at<std::uint8_t>(69, 332) = 1;  // the last pixel, after whole 64-byte blocks
  EXPECT_EQ(nonzero_extent(img), cv::Rect(332, 69, 1, 1));
  img.at<std::uint8_t>(5, 70) = 9;
  img.at<std::uint8_t>(40, 0) = 9;
  EXPECT_EQ(nonzero_extent(img), cv::Rect(0, 5, 333, 65));
}

TEST(AxisMeasurement, EllipseAgainstTheComposedSteps) {
  // Values of the same steps composed with cv2 and NumPy.
  cv::Mat img = cv::Mat::zeros(300, 400, CV_8UC1);
  cv::ellipse(img, cv::Point(200, 150), cv::Size(120, 50), 0, 0, 360, cv::Scalar(255), -1);
  const auto m = get_short_long_intersection(img);
  ASSERT_TRUE(m.has_value());
  EXPECT_EQ(m->pt_short[0], cv::Point(202, 200));
  EXPECT_EQ(m->pt_short[1], cv::Point(195, 100));
  EXPECT_EQ(m->pt_long0[0], cv::Point(320, 153));
  EXPECT_EQ(m->pt_long0[1], cv::Point(80, 146));
  EXPECT_EQ(m->pt_long1[0], cv::Point(318, 142));
  EXPECT_EQ(m->pt_long1[1], cv::Point(81, 157));
  EXPECT_EQ(m->short_intersection, 100.24470060806208);
  EXPECT_EQ(m->long_intersection, 240.10206163213175);
  EXPECT_EQ(m->short_intersection_90, 237.47420912595962);
}

TEST(AxisMeasurement, NothingAndErrors) {
  cv::Mat img = cv::Mat::zeros(120, 160, CV_8UC1);
  EXPECT_FALSE(get_short_long_intersection(img).has_value());
  img(cv::Rect(5, 5, 11, 11)).setTo(255);
  EXPECT_FALSE(get_short_long_intersection(img).has_value());

  // A one-pixel ring: the short-axis line slips between its diagonal steps.
  img.setTo(0);
  cv::circle(img, cv::Point(80, 60), 23, cv::Scalar(255), 1);
  expect_error(ErrorKind::Value, [&] { get_short_long_intersection(img); });

  // Another element type fails in the probe's AND with OpenCV's error.
  cv::Mat solid = cv::Mat::zeros(120, 160, CV_8UC1);
  solid(cv::Rect(30, 30, 50, 40)).setTo(255);
  cv::Mat f;
  solid.convertTo(f, CV_32F);
  EXPECT_THROW(get_short_long_intersection(f), cv::Exception);
  f.setTo(0);
  EXPECT_FALSE(get_short_long_intersection(f).has_value());
}

TEST(AxisMeasurement, LengthsAreTheDistancesOfThePairs) {
  cv::Mat img = cv::Mat::zeros(480, 640, CV_8UC1);
  cv::ellipse(img, cv::Point(300, 260), cv::Size(150, 60), 33, 0, 360, cv::Scalar(255), -1);
  cv::circle(img, cv::Point(520, 100), 30, cv::Scalar(255), -1);
  for (double margin : {0.0, 100.0, 300.0}) {
    const auto m = get_short_long_intersection(img, margin);
    ASSERT_TRUE(m.has_value());
    auto dist = [](const PointPair& p) { return std::hypot(p[0].x - p[1].x, p[0].y - p[1].y); };
    EXPECT_DOUBLE_EQ(m->short_intersection, dist(m->pt_short));
    EXPECT_DOUBLE_EQ(m->long_intersection, dist(m->pt_long0));
    EXPECT_DOUBLE_EQ(m->short_intersection_90, dist(m->pt_long1));
    EXPECT_GT(m->long_intersection, 280.0);
    EXPECT_LT(m->short_intersection, 130.0);
  }
}

}  // namespace
}  // namespace torvel
