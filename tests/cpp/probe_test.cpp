// The chord probe against the same steps done with image-sized canvases: draw the line,
// AND it with the mask, list the non-zero pixels in raster order, take first-index extremes.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "contour/probe.h"
#include "support/error.h"
#include "expect_error.h"

namespace torvel {
namespace {

using testing::expect_error;

struct CanvasProbe {
  PointPair pair;
  double length;
  double xlen;
  double ylen;
};

// Returns false when the line covers no object pixel.
bool canvas_probe(const cv::Mat& img, int cx, int cy, std::int64_t R, Direction dir,
                  CanvasProbe& out) {
  cv::Mat canvas = cv::Mat::zeros(img.rows, img.cols, CV_8UC1);
  const double r = static_cast<double>(R);
  cv::Point p1(static_cast<int>(cx - r * dir.co), static_cast<int>(cy - r * dir.si));
  cv::Point p2(static_cast<int>(cx + r * dir.co), static_cast<int>(cy + r * dir.si));
  cv::line(canvas, p1, p2, cv::Scalar(255), 1, cv::LINE_8);
  cv::Mat anded;
  cv::bitwise_and(canvas, img, anded);
  std::vector<cv::Point> aa4;
  cv::findNonZero(anded, aa4);
  if (aa4.empty()) return false;
  auto arg = [&](auto key, bool largest) {
    std::size_t best = 0;
    for (std::size_t i = 1; i < aa4.size(); ++i) {
      if (largest ? key(aa4[i]) > key(aa4[best]) : key(aa4[i]) < key(aa4[best])) best = i;
    }
    return best;
  };
  auto px = [](const cv::Point& p) { return p.x; };
  auto py = [](const cv::Point& p) { return p.y; };
  std::size_t max_index = arg(px, true), min_index = arg(px, false);
  const std::size_t max_index1 = arg(py, true), min_index1 = arg(py, false);
  if (aa4[max_index].x == aa4[min_index].x) {
    max_index = arg(py, true);
    min_index = arg(py, false);
  }
  auto dist = [](cv::Point a, cv::Point b) {
    return std::sqrt(double(a.x - b.x) * (a.x - b.x) + double(a.y - b.y) * (a.y - b.y));
  };
  out.xlen = dist(aa4[max_index], aa4[min_index]);
  out.ylen = dist(aa4[max_index1], aa4[min_index1]);
  if (out.ylen > out.xlen) {
    out.pair = {aa4[max_index1], aa4[min_index1]};
  } else {
    out.pair = {aa4[max_index], aa4[min_index]};
  }
  out.length = std::max(out.xlen, out.ylen);
  return true;
}

void expect_same(const cv::Mat& img, int cx, int cy, std::int64_t R, double angle) {
  const Direction dir = direction_from_degrees(angle);
  CanvasProbe ref;
  const bool hit = canvas_probe(img, cx, cy, R, dir, ref);
  SCOPED_TRACE(::testing::Message() << "cx=" << cx << " cy=" << cy << " R=" << R
                                  << " angle=" << angle);
  if (!hit) {
    EXPECT_THROW(probe_chord(img, cx, cy, R, dir), Error);
    return;
  }
  const ChordProbe got = probe_chord(img, cx, cy, R, dir);
  EXPECT_EQ(got.pair[0], ref.pair[0]);
  EXPECT_EQ(got.pair[1], ref.pair[1]);
  EXPECT_EQ(got.length, ref.length);
  EXPECT_EQ(got.x_pair_length, ref.xlen);
  EXPECT_EQ(got.y_pair_length, ref.ylen);
}

// Blobs, a ring and scattered noise, so lines leave and re-enter the object.
cv::Mat random_mask(std::mt19937& rng, int rows, int cols) {
  cv::Mat img = cv::Mat::zeros(rows, cols, CV_8UC1);
  std::uniform_int_distribution<int> ux(0, cols - 1), uy(0, rows - 1), ua(2, 120), ud(0, 179);
  for (int k = 0; k < 4; ++k) {
    cv::ellipse(img, cv::Point(ux(rng), uy(rng)), cv::Size(ua(rng), ua(rng)), ud(rng), 0, 360,
                cv::Scalar(255), -1);
  }
  cv::circle(img, cv::Point(ux(rng), uy(rng)), ua(rng), cv::Scalar(255), 3);
  for (int k = 0; k < 300; ++k) img.at<std::uint8_t>(uy(rng), ux(rng)) = 17;
  return img;
}

TEST(ProbeChord, MatchesCanvasProbeOnRandomLines) {
  std::mt19937 rng(20240611);
  const std::vector<double> fixed = {0.0, 90.0, 180.0, 269.5, 45.0, 135.0, 30.0, 60.0, 120.0,
                                     240.0, 0.5, 89.5, 90.5, 179.5, 3.0, 87.0, 93.0};
  for (int trial = 0; trial < 40; ++trial) {
    const int rows = trial % 2 ? 480 : 97;
    const int cols = trial % 2 ? 640 : 131;
    const cv::Mat img = random_mask(rng, rows, cols);
    std::uniform_int_distribution<int> ux(-5, cols + 4), uy(-5, rows + 4);
    std::uniform_int_distribution<int> ua(0, 539);
    for (int k = 0; k < 60; ++k) {
      const int cx = ux(rng);
      const int cy = uy(rng);
      std::int64_t R;
      switch (k % 4) {
        case 0: R = 1 + k % 7; break;
        case 1: R = std::uniform_int_distribution<int>(1, std::max(rows, cols))(rng); break;
        case 2: R = std::uniform_int_distribution<int>(cols, 20 * cols)(rng); break;
        default: R = 1000000 + k; break;
      }
      const double angle = k < static_cast<int>(fixed.size()) ? fixed[k] : ua(rng) / 2.0;
      expect_same(img, cx, cy, R, angle);
    }
  }
}

TEST(ProbeChord, ExactDirections) {
  // A filled block: direction 0 keeps the row, the x-pair is returned right-most first.
  cv::Mat img = cv::Mat::zeros(300, 400, CV_8UC1);
  img(cv::Rect(50, 40, 300, 220)).setTo(255);
  ChordProbe p = probe_chord(img, 200, 150, 1000, direction_from_degrees(0.0));
  EXPECT_EQ(p.pair[0], cv::Point(349, 150));
  EXPECT_EQ(p.pair[1], cv::Point(50, 150));
  EXPECT_EQ(p.length, 299.0);
  EXPECT_EQ(p.y_pair_length, 0.0);

  // 90 degrees: cos is 6.1e-17, R = 232 keeps one column (column fallback), R = 233 steps
  // one column at the top end (the row pair wins); both give bottom-most, top-most.
  p = probe_chord(img, 200, 150, 232, direction_from_degrees(90.0));
  EXPECT_EQ(p.pair[0], cv::Point(200, 259));
  EXPECT_EQ(p.pair[1], cv::Point(200, 40));
  p = probe_chord(img, 200, 150, 233, direction_from_degrees(90.0));
  EXPECT_GT(p.y_pair_length, p.x_pair_length);
  EXPECT_EQ(p.pair[0].y, 259);
  EXPECT_EQ(p.pair[1].y, 40);

  // 180 degrees: sin is 1.2e-16; R = 117 moves P1 one row up; the x pair stays.
  for (std::int64_t R : {116, 117}) {
    p = probe_chord(img, 200, 150, R, direction_from_degrees(180.0));
    EXPECT_EQ(p.pair[0].x, 200 + R);
    EXPECT_EQ(p.pair[1].x, 200 - R);
    EXPECT_EQ(p.length, p.x_pair_length);
  }
}

TEST(ProbeChord, SinglePixelAndGaps) {
  cv::Mat img = cv::Mat::zeros(100, 100, CV_8UC1);
  img.at<std::uint8_t>(50, 70) = 1;
  ChordProbe p = probe_chord(img, 50, 50, 40, direction_from_degrees(0.0));
  EXPECT_EQ(p.pair[0], cv::Point(70, 50));
  EXPECT_EQ(p.pair[1], cv::Point(70, 50));
  EXPECT_EQ(p.length, 0.0);
  // A second object on the line extends the chord across the gap.
  img.at<std::uint8_t>(50, 10) = 255;
  p = probe_chord(img, 50, 50, 40, direction_from_degrees(0.0));
  EXPECT_EQ(p.pair[1], cv::Point(10, 50));
  EXPECT_EQ(p.length, 60.0);
}

TEST(ProbeChord, Errors) {
  cv::Mat img = cv::Mat::zeros(100, 100, CV_8UC1);
  img(cv::Rect(0, 0, 20, 20)).setTo(255);
  EXPECT_NE(expect_error(ErrorKind::Value,
                         [&] { probe_chord(img, 60, 60, 30, direction_from_degrees(0.0)); })
                .find("met no object pixel"),
            std::string::npos);
  cv::Mat f;
  img.convertTo(f, CV_32F);
  EXPECT_THROW(probe_chord(f, 10, 10, 5, direction_from_degrees(0.0)), cv::Exception);
  cv::Mat three;
  cv::merge(std::vector<cv::Mat>{img, img, img}, three);
  EXPECT_THROW(probe_chord(three, 10, 10, 5, direction_from_degrees(0.0)), cv::Exception);
  expect_error(ErrorKind::Overflow, [&] {
    probe_chord(img, 10, 10, std::int64_t{1} << 40, direction_from_degrees(0.0));
  });
}

}  // namespace
}  // namespace torvel
