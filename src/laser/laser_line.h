// The laser stripe as a robust line of blob centroids.
//
// Each mask selects a region of the thresholded image th2: the stripe pixels there (th2 where
// the mask is not 0, 0 elsewhere) are labelled with 8-connectivity by OpenCV's default
// algorithm, and every label contributes its centroid (mean column, mean row), label 0 (all
// zero pixels of the masked image, the background) included. The centroids of mask1 in label
// order, then those of mask2, are fitted with the robust line estimator (kLaserLineRansac); the
// inlier centroids come back in that order.
#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "laser/lit_runs.h"
#include "robust/ransac.h"

namespace torvel {

// The robust line through the centroids: inliers within 3 pixels, 300 trials, seed 42.
inline constexpr RansacOptions kLaserLineRansac{.residual_threshold = 3.0};

struct LaserLinePoints {
  std::vector<double> independent;  // column coordinate when row_of_column, else row coordinate
  std::vector<double> dependent;    // the other coordinate of the same inlier centroids
};

// th2's runs of lit pixels, scanned once and shared by the tables of both masks. `dense`:
// th2 has so many runs that OpenCV's labelling of the masks' extent is the faster way.
struct LitRunsCache {
  bool scanned = false;
  bool dense = false;
  std::vector<PixelRun> runs;
};

// Centroid table (labels x 2 doubles: x = column, y = row; row 0 the background) of
// connectedComponentsWithStats(bitwise_and(th2, th2, mask = mask_u8), connectivity 8).
// For a single-channel 8-bit th2 and a mask of its size, only the even-aligned extent of the
// mask's non-zero pixels is labelled: a sparse th2 by its lit runs (centroids_of_masked_runs),
// a dense one by OpenCV on the even-aligned extent of the mask's non-zero pixels. Either way
// labels follow the first 2 x 2 block of each component in block raster order, so the table
// and its order are those of the full image, and the background centroid is completed from
// exact integer sums (NaN when there is no zero pixel, as OpenCV gives). Anything else runs
// the two OpenCV calls as they are, so their errors (cv::Exception) come out unchanged.
// `runs` holds th2's runs between calls on the same th2.
cv::Mat masked_component_centroids(const cv::Mat& mask_u8, const cv::Mat& th2,
                                   LitRunsCache& runs);
cv::Mat masked_component_centroids(const cv::Mat& mask_u8, const cv::Mat& th2);

// The robust line through the rows of two centroid tables (p x 2 and q x 2 doubles, x then y),
// the first table's rows first. row_of_column: X = x (column), y = y (row); otherwise the
// reverse. Error(Value) from the estimator (NaN centroids, no consensus set).
LaserLinePoints fit_laser_line(const cv::Mat& centroids1, const cv::Mat& centroids2,
                               bool row_of_column);

}  // namespace torvel
