// Labelling of a sparse stripe image by its lit pixels only: the cost follows the stripe,
// not the frame.
//
// The image is scanned once for its runs of non-zero pixels; a mask then keeps the parts
// of those runs it covers, and the kept runs are joined by union-find at 8-connectivity.
// The centroid table comes out in OpenCV's label order for connectedComponentsWithStats
// (the order in which its scan over 2 x 2 blocks meets the first block of each component),
// so it equals OpenCV's table bit for bit.
#pragma once

#include <cstddef>
#include <vector>

#include <opencv2/core.hpp>

namespace torvel {

// A maximal horizontal run of non-zero pixels: row `row`, columns begin .. end - 1.
struct PixelRun {
  int row = 0;
  int begin = 0;
  int end = 0;
};

// The runs of non-zero pixels of an 8-bit one-channel image, in raster order. The scan stops
// at the end of the row in which the count first exceeds `limit` (more runs than wanted).
std::vector<PixelRun> lit_runs(const cv::Mat& image_u8,
                               std::size_t limit = static_cast<std::size_t>(-1));

// The centroid table (labels x 2 doubles, x = column then y = row; row 0 the background) of
// connectedComponentsWithStats(bitwise_and(image, image, mask = mask_u8), connectivity 8),
// from the image's lit runs and the mask (8-bit, one channel, the image's size), which is read
// only under the runs. The background centroid comes from exact integer sums: NaN when the
// masked image has no zero pixel, as OpenCV gives.
cv::Mat centroids_of_masked_runs(const std::vector<PixelRun>& runs, const cv::Mat& mask_u8);

}  // namespace torvel
