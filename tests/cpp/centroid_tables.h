// The laser tests' reference labelling and table comparison, shared by their files.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

namespace torvel::testing {

// The two OpenCV calls as the documented steps write them: the stripe pixels inside the
// mask, labelled at 8-connectivity; row 0 is the background's centroid.
inline cv::Mat reference_centroids(const cv::Mat& mask, const cv::Mat& th2) {
  cv::Mat masked, labels, stats, centroids;
  cv::bitwise_and(th2, th2, masked, mask);
  cv::connectedComponentsWithStats(masked, labels, stats, centroids, 8);
  return centroids;
}

// Same number of labels, same bits per centroid (NaN matching NaN), so the same order.
inline void expect_same_table(const cv::Mat& got, const cv::Mat& expected,
                              const std::string& what) {
  ASSERT_EQ(got.rows, expected.rows) << what;
  ASSERT_EQ(got.cols, 2) << what;
  for (int r = 0; r < got.rows; ++r) {
    for (int c = 0; c < 2; ++c) {
      const double a = got.at<double>(r, c), b = expected.at<double>(r, c);
      ASSERT_TRUE(std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b)))
          << what << ": label " << r << " col " << c << ": " << a << " vs " << b;
    }
  }
}

}  // namespace torvel::testing
