#include "laser/laser_line.h"

#include <cmath>
#include <cstdint>
#include <limits>

#include <opencv2/imgproc.hpp>

#include "robust/ransac.h"

namespace torvel {

namespace {


bool fast_path_applies(const cv::Mat& mask, const cv::Mat& th2) {
  return th2.dims == 2 && mask.dims == 2 && !th2.empty() && th2.type() == CV_8UC1 &&
         mask.type() == CV_8UC1 && th2.size() == mask.size();
}

cv::Mat literal_centroids(const cv::Mat& mask, const cv::Mat& th2) {
  cv::Mat masked;
  cv::bitwise_and(th2, th2, masked, mask);
  cv::Mat labels, stats, centroids;
  cv::connectedComponentsWithStats(masked, labels, stats, centroids, 8);
  return centroids;
}

cv::Mat extent_centroids(const cv::Mat& mask, const cv::Mat& th2) {
  const cv::Rect extent = cv::boundingRect(mask);
  // Even offsets keep OpenCV's 2 x 2 block grid, hence the label order.
  const int x0 = extent.x & ~1;
  const int y0 = extent.y & ~1;
  const cv::Rect roi(x0, y0, extent.width + (extent.x - x0), extent.height + (extent.y - y0));
  cv::Mat masked;
  if (roi.area() > 0) cv::bitwise_and(th2(roi), th2(roi), masked, mask(roi));

  cv::Mat labels, stats, local;
  int count = 1;
  if (!masked.empty()) {
    count = cv::connectedComponentsWithStats(masked, labels, stats, local, 8);
  }
  const auto rows = static_cast<std::uint64_t>(th2.rows);
  const auto cols = static_cast<std::uint64_t>(th2.cols);
  std::uint64_t background_area = rows * cols;
  std::uint64_t background_x = rows * (cols * (cols - 1) / 2);
  std::uint64_t background_y = cols * (rows * (rows - 1) / 2);
  cv::Mat centroids(count, 2, CV_64F);
  for (int label = 1; label < count; ++label) {
    const auto area = static_cast<std::uint64_t>(stats.at<int>(label, cv::CC_STAT_AREA));
    const double a = static_cast<double>(area);
    // OpenCV's centroid is an exact integer sum over the area; recover the sum and move it.
    const auto sum_x = static_cast<std::uint64_t>(std::llround(local.at<double>(label, 0) * a)) +
                       area * static_cast<std::uint64_t>(x0);
    const auto sum_y = static_cast<std::uint64_t>(std::llround(local.at<double>(label, 1) * a)) +
                       area * static_cast<std::uint64_t>(y0);
    centroids.at<double>(label, 0) = static_cast<double>(sum_x) / a;
    centroids.at<double>(label, 1) = static_cast<double>(sum_y) / a;
    background_area -= area;
    background_x -= sum_x;
    background_y -= sum_y;
  }
  const double area = static_cast<double>(background_area);
  centroids.at<double>(0, 0) = static_cast<double>(background_x) / area;
  centroids.at<double>(0, 1) = static_cast<double>(background_y) / area;
  return centroids;
}

// Above one run per this many pixels, OpenCV's block scan of the extent labels faster than
// union-find over the runs (measured on noise scenes of 1920 x 1080).
constexpr std::size_t kPixelsPerRunAtMost = 12;

void scan_runs(const cv::Mat& th2, LitRunsCache& cache) {
  cache.scanned = true;
  const std::size_t limit = th2.total() / kPixelsPerRunAtMost;
  cache.runs = lit_runs(th2, limit);
  cache.dense = cache.runs.size() > limit;
  if (cache.dense) cache.runs = {};
}

}  // namespace

cv::Mat masked_component_centroids(const cv::Mat& mask_u8, const cv::Mat& th2,
                                   LitRunsCache& runs) {
  if (!fast_path_applies(mask_u8, th2)) return literal_centroids(mask_u8, th2);
  if (!runs.scanned) scan_runs(th2, runs);
  if (runs.dense) return extent_centroids(mask_u8, th2);
  return centroids_of_masked_runs(runs.runs, mask_u8);
}

cv::Mat masked_component_centroids(const cv::Mat& mask_u8, const cv::Mat& th2) {
  LitRunsCache runs;
  return masked_component_centroids(mask_u8, th2, runs);
}

LaserLinePoints fit_laser_line(const cv::Mat& centroids1, const cv::Mat& centroids2,
                               bool row_of_column) {
  const int independent_column = row_of_column ? 0 : 1;
  const std::size_t n = static_cast<std::size_t>(centroids1.rows + centroids2.rows);
  std::vector<double> X(n), y(n);
  std::size_t i = 0;
  for (const cv::Mat* table : {&centroids1, &centroids2}) {
    CV_Assert(table->type() == CV_64FC1 && table->cols == 2);
    for (int r = 0; r < table->rows; ++r, ++i) {
      X[i] = table->at<double>(r, independent_column);
      y[i] = table->at<double>(r, 1 - independent_column);
    }
  }
  const RansacReport report =
      ransac_linear(X.data(), n, 1, y.data(), kLaserLineRansac);
  LaserLinePoints points;
  for (std::size_t k = 0; k < n; ++k) {
    if (!report.inlier_mask[k]) continue;
    points.independent.push_back(X[k]);
    points.dependent.push_back(y[k]);
  }
  return points;
}

}  // namespace torvel
