#include "contour/select.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "support/zero_scan.h"

namespace torvel {
namespace {

// NumPy's element-wise cast of a real to uint8 on x86-64: truncation through a 32-bit
// integer, whose low byte is kept; NaN and values outside the int32 range give 0.
std::uint8_t real_to_uint8(double v) {
  if (!(v > -2147483649.0 && v < 2147483648.0)) return 0;
  return static_cast<std::uint8_t>(static_cast<std::uint32_t>(static_cast<std::int32_t>(v)));
}

template <typename T>
void convert_rows(const cv::Mat& src, cv::Mat& dst) {
  const int n = src.cols * src.channels();
  for (int r = 0; r < src.rows; ++r) {
    const T* s = src.ptr<T>(r);
    std::uint8_t* d = dst.ptr<std::uint8_t>(r);
    for (int i = 0; i < n; ++i) {
      if constexpr (std::is_floating_point_v<T>) {
        d[i] = real_to_uint8(static_cast<double>(s[i]));
      } else {
        d[i] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(s[i]) & 0xFFu);
      }
    }
  }
}

// The uint8 copy the contour search runs on, channels kept.
cv::Mat to_uint8_copy(const cv::Mat& img) {
  cv::Mat out(img.rows, img.cols, CV_MAKETYPE(CV_8U, img.channels()));
  switch (img.depth()) {
    case CV_8U: img.copyTo(out); break;
    case CV_8S: convert_rows<std::int8_t>(img, out); break;
    case CV_16U: convert_rows<std::uint16_t>(img, out); break;
    case CV_16S: convert_rows<std::int16_t>(img, out); break;
    case CV_32S: convert_rows<std::int32_t>(img, out); break;
    case CV_32F: convert_rows<float>(img, out); break;
    case CV_64F: convert_rows<double>(img, out); break;
    default: CV_Error(cv::Error::StsUnsupportedFormat, "unsupported image depth");
  }
  return out;
}

// Outer contours of the non-zero pixels, found within their bounding box.
std::vector<std::vector<cv::Point>> outer_contours(const cv::Mat& u8, cv::Rect& extent) {
  std::vector<std::vector<cv::Point>> cnts;
  if (u8.type() != CV_8UC1 || u8.dims != 2) {
    cv::findContours(u8, cnts, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_NONE);  // OpenCV's error
    return cnts;
  }
  extent = nonzero_extent(u8);
  if (extent.empty()) return cnts;
  const cv::Rect margin(extent.x - 1, extent.y - 1, extent.width + 2, extent.height + 2);
  const cv::Rect roi = margin & cv::Rect(0, 0, u8.cols, u8.rows);
  cv::findContours(u8(roi), cnts, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_NONE, roi.tl());
  return cnts;
}

}  // namespace

cv::Rect nonzero_extent(const cv::Mat& img_u8) {
  CV_Assert(img_u8.type() == CV_8UC1 && img_u8.dims == 2);
  int top = -1, bottom = -1, left = img_u8.cols, right = -1;
  for (int y = 0; y < img_u8.rows; ++y) {
    const std::uint8_t* p = img_u8.ptr<std::uint8_t>(y);
    const int first = first_nonzero(p, 0, img_u8.cols);
    if (first == img_u8.cols) continue;
    if (top < 0) top = y;
    bottom = y;
    left = std::min(left, first);
    right = std::max(right, last_nonzero(p, std::max(first, right + 1), img_u8.cols));
  }
  if (top < 0) return {};
  return {left, top, right - left + 1, bottom - top + 1};
}

std::optional<SelectedContour> select_contour(const cv::Mat& img) {
  // The finder copies its input into a bordered work image, so an 8-bit one-channel
  // image needs no copy of its own.
  cv::Rect extent;
  std::vector<std::vector<cv::Point>> cnts =
      img.type() == CV_8UC1 ? outer_contours(img, extent) : outer_contours(to_uint8_copy(img), extent);
  for (auto& c : cnts) {
    const double area = cv::contourArea(c);
    if (!(area > 100.0)) continue;
    const cv::Moments m = cv::moments(c);
    SelectedContour sel;
    sel.area = area;
    sel.cx = static_cast<int>(m.m10 / m.m00);
    sel.cy = static_cast<int>(m.m01 / m.m00);
    sel.lit_extent = extent;
    sel.contour = std::move(c);
    return sel;
  }
  return std::nullopt;
}

std::int64_t initial_warp_radius(int rows, int cols) {
  return static_cast<std::int64_t>(static_cast<double>(std::max(rows, cols)) * 1.415 / 2.0);
}

}  // namespace torvel
