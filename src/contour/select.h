// Selection of the measured object in a mask image: the first outer contour, in the
// contour finder's order, whose enclosed area exceeds 100 pixels, and its centroid.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include <opencv2/core.hpp>

namespace torvel {

struct SelectedContour {
  std::vector<cv::Point> contour;  // every boundary pixel (x = column, y = row)
  double area = 0.0;               // non-oriented polygon area, > 100
  int cx = 0;                      // centroid column, m10 / m00 truncated toward zero
  int cy = 0;                      // centroid row, m01 / m00 truncated toward zero
  cv::Rect lit_extent;             // bounding box of every non-zero pixel of the searched image
};

// Contours are searched in an 8-bit copy of `img` (the element-wise conversion to uint8
// that wraps integers to their low byte and truncates reals through a 32-bit integer; an
// 8-bit one-channel image is searched as it is, it is not modified) with outer outlines
// only and every boundary point kept. The area and the moments are those of the polygon
// through the contour points. Nothing when no contour has an area above 100 (an area of
// exactly 100 does not qualify). Images with more than one channel fail in the contour
// finder with OpenCV's error. The finder runs on the bounding box of the non-zero pixels (with
// a one-pixel margin where the image has one), which gives the same contours in the same order.
std::optional<SelectedContour> select_contour(const cv::Mat& img);

// Bounding box of the non-zero pixels of an 8-bit one-channel image (empty when there is none).
cv::Rect nonzero_extent(const cv::Mat& img_u8);

// First half-length of the polar unwrapping and the probes:
// max(rows, cols) * 1.415 / 2 in double, truncated toward zero (480 x 640 gives 452).
std::int64_t initial_warp_radius(int rows, int cols);

}  // namespace torvel
