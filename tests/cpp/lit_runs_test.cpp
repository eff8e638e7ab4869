#include "laser/lit_runs.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "centroid_tables.h"
#include "laser/laser_line.h"

namespace torvel {
namespace {

using testing::expect_same_table;
using testing::reference_centroids;

cv::Mat noise(std::mt19937& gen, int rows, int cols, double density) {
  cv::Mat img(rows, cols, CV_8UC1);
  std::bernoulli_distribution lit(density);
  for (int y = 0; y < rows; ++y)
    for (int x = 0; x < cols; ++x) img.at<std::uint8_t>(y, x) = lit(gen) ? 200 : 0;
  return img;
}

// Sparse blobs, with components that share a 2 x 2 block row but start in different rows:
// the order OpenCV gives them differs from the order of their first pixels.
cv::Mat blobs(std::mt19937& gen, int rows, int cols, int count) {
  cv::Mat img = cv::Mat::zeros(rows, cols, CV_8UC1);
  std::uniform_int_distribution<int> r(0, rows - 1), c(0, cols - 1), s(0, 6);
  for (int i = 0; i < count; ++i) {
    cv::ellipse(img, cv::Point(c(gen), r(gen)), cv::Size(s(gen), s(gen)), 30.0 * s(gen), 0, 360,
                cv::Scalar(1 + 40 * s(gen)), -1);
  }
  return img;
}

std::vector<std::pair<std::string, cv::Mat>> masks(std::mt19937& gen, int rows, int cols) {
  std::vector<std::pair<std::string, cv::Mat>> out;
  const cv::Mat none = cv::Mat::zeros(rows, cols, CV_8UC1);
  auto with = [&](const std::string& name, auto&& draw) {
    cv::Mat m = none.clone();
    draw(m);
    out.emplace_back(name, m);
  };
  with("empty", [](cv::Mat&) {});
  with("full", [](cv::Mat& m) { m.setTo(1); });
  with("left half", [&](cv::Mat& m) { m(cv::Rect(0, 0, cols / 2, rows)).setTo(255); });
  with("right half", [&](cv::Mat& m) { m(cv::Rect(cols / 2, 0, cols - cols / 2, rows)).setTo(9); });
  with("odd band", [&](cv::Mat& m) { m(cv::Rect(3, rows / 3 + 1, cols - 6, rows / 3)).setTo(255); });
  with("disc", [&](cv::Mat& m) { cv::circle(m, {cols / 2, rows / 2}, rows / 3, 255, -1); });
  with("last pixel", [&](cv::Mat& m) { m.at<std::uint8_t>(rows - 1, cols - 1) = 255; });
  with("speckled", [&](cv::Mat& m) { m = noise(gen, rows, cols, 0.5); });
  return out;
}

TEST(LitRuns, ScenesAndMasksGiveOpenCVsTables) {
  std::mt19937 gen(2026);
  const int rows = 241, cols = 333;  // odd sizes: blocks cut by the right and bottom borders
  cv::Mat border = blobs(gen, rows, cols, 10);
  border.row(0).setTo(255);
  border.col(cols - 1).setTo(7);
  border.row(rows - 1).colRange(0, cols / 2).setTo(3);
  cv::Mat single = cv::Mat::zeros(rows, cols, CV_8UC1);
  // (row 0, column 3) comes first in raster order, but (row 1, column 0) lies in an earlier
  // 2 x 2 block and takes the first label.
  single.at<std::uint8_t>(0, 3) = 1;
  single.at<std::uint8_t>(1, 0) = 1;
  single.at<std::uint8_t>(rows - 1, cols - 1) = 1;
  const std::vector<std::pair<std::string, cv::Mat>> scenes = {
      {"sparse", blobs(gen, rows, cols, 40)},
      {"dense", noise(gen, rows, cols, 0.6)},
      {"noisy", noise(gen, rows, cols, 0.05)},
      {"touching border", border},
      {"single pixels", single},
      {"all lit", cv::Mat(rows, cols, CV_8UC1, cv::Scalar(255))},
  };
  for (const auto& [scene, th2] : scenes) {
    for (const auto& [shape, mask] : masks(gen, rows, cols)) {
      const std::string what = scene + " scene, " + shape + " mask";
      const cv::Mat expected = reference_centroids(mask, th2);
      expect_same_table(centroids_of_masked_runs(lit_runs(th2), mask), expected, what);
      expect_same_table(masked_component_centroids(mask, th2), expected, what + " (chosen path)");
    }
  }
}

TEST(LitRuns, ACameraFrameLabelledInParallelStripes) {
  // OpenCV labels a frame this size in stripes of rows on several threads.
  std::mt19937 gen(7);
  const cv::Mat th2 = blobs(gen, 1080, 1920, 300);
  for (const auto& [shape, mask] : masks(gen, 1080, 1920)) {
    expect_same_table(masked_component_centroids(mask, th2), reference_centroids(mask, th2), shape);
  }
}

TEST(LitRuns, TheScanStopsPastItsLimit) {
  std::mt19937 gen(1);
  const cv::Mat stripes = noise(gen, 50, 64, 0.5);
  const std::size_t all = lit_runs(stripes).size();
  const std::vector<PixelRun> some = lit_runs(stripes, 10);
  EXPECT_GT(some.size(), 10u);
  EXPECT_LT(some.size(), all);
}

}  // namespace
}  // namespace torvel
