#include "laser/laser_line.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>

#include <opencv2/imgproc.hpp>

#include "centroid_tables.h"
#include "expect_error.h"
#include "robust/ransac.h"
#include "support/error.h"

namespace torvel {
namespace {

using testing::expect_error;
using testing::expect_same_table;
using testing::reference_centroids;

// Stripe image: blobs of random shape along a line plus scattered outlier blobs and specks.
cv::Mat stripe_image(std::mt19937& gen, int rows, int cols, int blobs) {
  cv::Mat th2 = cv::Mat::zeros(rows, cols, CV_8UC1);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  const double slope = (u(gen) - 0.5) * 0.4;
  const double offset = rows * (0.3 + 0.4 * u(gen));
  for (int b = 0; b < blobs; ++b) {
    const int x = static_cast<int>(u(gen) * (cols - 1));
    const int y = static_cast<int>(offset + slope * x);
    const int w = 1 + static_cast<int>(u(gen) * 6);
    const int h = 1 + static_cast<int>(u(gen) * 4);
    cv::ellipse(th2, cv::Point(x, y), cv::Size(w, h), u(gen) * 180, 0, 360,
                cv::Scalar(1 + static_cast<int>(u(gen) * 254)), -1);
  }
  for (int b = 0; b < blobs / 5; ++b) {
    cv::circle(th2, cv::Point(static_cast<int>(u(gen) * cols), static_cast<int>(u(gen) * rows)),
               1 + static_cast<int>(u(gen) * 3), cv::Scalar(255), -1);
  }
  for (int s = 0; s < blobs; ++s) {
    th2.at<std::uint8_t>(static_cast<int>(u(gen) * rows), static_cast<int>(u(gen) * cols)) = 9;
  }
  return th2;
}

// The module's steps: both regions' tables over one scan of th2's runs, then the fit.
LaserLinePoints laser_line(const cv::Mat& mask1, const cv::Mat& mask2, const cv::Mat& th2,
                           bool row_of_column) {
  LitRunsCache runs;
  const cv::Mat first = masked_component_centroids(mask1, th2, runs);
  const cv::Mat second = masked_component_centroids(mask2, th2, runs);
  return fit_laser_line(first, second, row_of_column);
}

cv::Mat region_mask(std::mt19937& gen, int rows, int cols) {
  cv::Mat mask = cv::Mat::zeros(rows, cols, CV_8UC1);
  std::uniform_int_distribution<int> r(0, rows - 1), c(0, cols - 1), v(1, 255);
  const int x0 = c(gen), y0 = r(gen);
  const int x1 = c(gen), y1 = r(gen);
  cv::rectangle(mask, cv::Point(std::min(x0, x1), std::min(y0, y1)),
                cv::Point(std::max(x0, x1), std::max(y0, y1)), cv::Scalar(v(gen)), -1);
  if (gen() % 2) cv::circle(mask, cv::Point(c(gen), r(gen)), 1 + rows / 8, cv::Scalar(255), -1);
  return mask;
}

TEST(MaskedComponentCentroids, EqualTheFullImageTable) {
  std::mt19937 gen(12345);
  for (int trial = 0; trial < 200; ++trial) {
    // A few camera-sized frames, where OpenCV labels in parallel stripes.
    const int rows = trial % 50 == 0 ? 1080 : 20 + static_cast<int>(gen() % 300);
    const int cols = trial % 50 == 0 ? 1920 : 20 + static_cast<int>(gen() % 400);
    const cv::Mat th2 = stripe_image(gen, rows, cols, 5 + static_cast<int>(gen() % 60));
    const cv::Mat mask = region_mask(gen, rows, cols);
    expect_same_table(masked_component_centroids(mask, th2), reference_centroids(mask, th2),
                      "trial " + std::to_string(trial));
  }
}

TEST(MaskedComponentCentroids, EdgeRegions) {
  std::mt19937 gen(3);
  const cv::Mat th2 = stripe_image(gen, 121, 157, 30);
  const cv::Mat empty = cv::Mat::zeros(th2.size(), CV_8UC1);
  const cv::Mat full(th2.size(), CV_8UC1, cv::Scalar(1));
  cv::Mat odd = empty.clone();
  odd(cv::Rect(1, 1, 155, 119)).setTo(7);  // odd offsets, odd extent
  cv::Mat corner = empty.clone();
  corner.at<std::uint8_t>(120, 156) = 255;  // the last pixel only
  for (const cv::Mat* mask :
       std::initializer_list<const cv::Mat*>{&empty, &full, &odd, &corner}) {
    expect_same_table(masked_component_centroids(*mask, th2), reference_centroids(*mask, th2),
                      "edge mask");
  }
  // No stripe pixel: the background centroid is the image centre.
  const cv::Mat table = masked_component_centroids(empty, th2);
  ASSERT_EQ(table.rows, 1);
  EXPECT_EQ(table.at<double>(0, 0), 78.0);
  EXPECT_EQ(table.at<double>(0, 1), 60.0);
  // Every pixel a stripe pixel: the background has no pixel and a NaN centroid.
  const cv::Mat bright(th2.size(), CV_8UC1, cv::Scalar(200));
  const cv::Mat saturated = masked_component_centroids(full, bright);
  ASSERT_EQ(saturated.rows, 2);
  EXPECT_TRUE(std::isnan(saturated.at<double>(0, 0)));
  EXPECT_EQ(saturated.at<double>(1, 0), 78.0);
}

TEST(MaskedComponentCentroids, InvalidInputsRaiseOpenCVsErrors) {
  const cv::Mat th2 = cv::Mat::zeros(10, 12, CV_8UC1);
  auto error_of = [](auto&& call) -> std::string {
    try {
      call();
    } catch (const cv::Exception& e) {
      return e.what();
    }
    return "no error";
  };
  const cv::Mat small_mask = cv::Mat::ones(10, 11, CV_8UC1);
  const cv::Mat color = cv::Mat::zeros(10, 12, CV_8UC3);
  const cv::Mat wide = cv::Mat::zeros(10, 12, CV_16UC1);
  const cv::Mat mask = cv::Mat::ones(10, 12, CV_8UC1);
  for (const auto& [m, t] : {std::pair{&small_mask, &th2}, std::pair{&mask, &color},
                             std::pair{&mask, &wide}}) {
    const std::string expected = error_of([&] { reference_centroids(*m, *t); });
    ASSERT_NE(expected, "no error");
    EXPECT_EQ(error_of([&] { masked_component_centroids(*m, *t); }), expected);
    EXPECT_EQ(error_of([&] { laser_line(*m, mask, *t, true); }), expected);
  }
}

TEST(LaserLine, KeepsTheBlobsOnTheLine) {
  // Square blobs centred on row = 0.25 * col + 40, in two regions, plus three far blobs.
  cv::Mat th2 = cv::Mat::zeros(200, 400, CV_8UC1);
  std::vector<cv::Point> on_line;
  for (int col = 10; col < 390; col += 20) {
    const int row = 40 + col / 4;
    th2(cv::Rect(col - 2, row - 2, 5, 5)).setTo(255);
    on_line.emplace_back(col, row);
  }
  for (const cv::Point p : {cv::Point(60, 180), cv::Point(300, 10), cv::Point(350, 190)}) {
    th2(cv::Rect(p.x - 1, p.y - 1, 3, 3)).setTo(255);
  }
  cv::Mat mask1 = cv::Mat::zeros(th2.size(), CV_8UC1);
  cv::Mat mask2 = mask1.clone();
  mask1(cv::Rect(0, 0, 200, 200)).setTo(255);
  mask2(cv::Rect(200, 0, 200, 200)).setTo(1);

  const LaserLinePoints across = laser_line(mask1, mask2, th2, true);
  std::vector<double> expected_cols, expected_rows;
  for (const cv::Point p : on_line) {
    expected_cols.push_back(p.x);
    expected_rows.push_back(p.y);
  }
  EXPECT_EQ(across.independent, expected_cols);
  EXPECT_EQ(across.dependent, expected_rows);

  // Fitting the column against the row keeps the same centroids here, coordinates swapped.
  const LaserLinePoints down = laser_line(mask1, mask2, th2, false);
  EXPECT_EQ(down.independent, expected_rows);
  EXPECT_EQ(down.dependent, expected_cols);
}

TEST(LaserLine, AgreesWithTheLiteralComposition) {
  std::mt19937 gen(777);
  for (int trial = 0; trial < 60; ++trial) {
    const int rows = 60 + static_cast<int>(gen() % 200);
    const int cols = 60 + static_cast<int>(gen() % 300);
    const cv::Mat th2 = stripe_image(gen, rows, cols, 10 + static_cast<int>(gen() % 40));
    const cv::Mat mask1 = region_mask(gen, rows, cols);
    const cv::Mat mask2 = region_mask(gen, rows, cols);
    const bool across = trial % 2 == 0;
    cv::Mat table;
    cv::vconcat(reference_centroids(mask1, th2), reference_centroids(mask2, th2), table);
    std::vector<double> X, y;
    for (int r = 0; r < table.rows; ++r) {
      X.push_back(table.at<double>(r, across ? 0 : 1));
      y.push_back(table.at<double>(r, across ? 1 : 0));
    }
    const RansacReport report = ransac_linear(X.data(), X.size(), 1, y.data(), 3.0);
    LaserLinePoints expected;
    for (std::size_t i = 0; i < X.size(); ++i) {
      if (!report.inlier_mask[i]) continue;
      expected.independent.push_back(X[i]);
      expected.dependent.push_back(y[i]);
    }
    const LaserLinePoints got = laser_line(mask1, mask2, th2, across);
    EXPECT_EQ(got.independent, expected.independent) << trial;
    EXPECT_EQ(got.dependent, expected.dependent) << trial;
  }
}

TEST(LaserLine, EstimatorErrorsReachTheCaller) {
  // Both regions full of stripe pixels: the backgrounds have no pixel, their centroids are NaN.
  const cv::Mat th2(30, 40, CV_8UC1, cv::Scalar(255));
  const cv::Mat mask(30, 40, CV_8UC1, cv::Scalar(255));
  expect_error(ErrorKind::Value, "Input y contains NaN.",
               [&] { laser_line(mask, mask, th2, true); });
}

}  // namespace
}  // namespace torvel
