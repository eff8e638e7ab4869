// Undistorts a synthetic frame with a bilinear map and measures the elliptical section in
// it, calling the torvel core directly.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "calib/undistort.h"
#include "contour/axes.h"

namespace {

constexpr int kRows = 480, kCols = 640;
constexpr double kStrength = 2e-7;  // radial distortion per squared pixel from the centre

// The map from each corrected pixel to the raw pixel the lens shows it at: the upper-left
// flat index and four fixed-point bilinear weights (65535 = 1).
struct BilinearMap {
  std::vector<double> map;
  std::vector<std::uint16_t> w[4];
};

BilinearMap radial_map() {
  BilinearMap m;
  m.map.resize(kRows * kCols);
  for (auto& w : m.w) w.resize(kRows * kCols);
  const double cr = (kRows - 1) / 2.0, cc = (kCols - 1) / 2.0;
  for (int r = 0; r < kRows; ++r) {
    for (int c = 0; c < kCols; ++c) {
      const double dr = r - cr, dc = c - cc;
      const double k = 1.0 + kStrength * (dr * dr + dc * dc);
      const double sr = cr + dr * k, sc = cc + dc * k;
      const double fr = std::floor(sr), fc = std::floor(sc);
      const double ar = sr - fr, ac = sc - fc;
      const int i = r * kCols + c;
      m.map[i] = fr * kCols + fc;
      m.w[0][i] = static_cast<std::uint16_t>(65535 * (1 - ar) * (1 - ac));
      m.w[1][i] = static_cast<std::uint16_t>(65535 * (1 - ar) * ac);
      m.w[2][i] = static_cast<std::uint16_t>(65535 * ar * (1 - ac));
      m.w[3][i] = static_cast<std::uint16_t>(65535 * ar * ac);
    }
  }
  return m;
}

torvel::Strided2D view(const void* data, torvel::ElemType type) {
  return torvel::Strided2D{data, type, kRows, kCols, kCols, 1};
}

}  // namespace

int main() {
  // The raw frame: a filled ellipse (semi-axes 150 and 80 pixels, tilted 30 degrees).
  cv::Mat raw(kRows, kCols, CV_8UC1, cv::Scalar(0));
  cv::ellipse(raw, cv::Point(330, 250), cv::Size(150, 80), 30.0, 0, 360, cv::Scalar(255),
              cv::FILLED);

  const BilinearMap m = radial_map();
  const torvel::Strided2D weights[4] = {
      view(m.w[0].data(), torvel::ElemType::U16), view(m.w[1].data(), torvel::ElemType::U16),
      view(m.w[2].data(), torvel::ElemType::U16), view(m.w[3].data(), torvel::ElemType::U16)};
  cv::Mat corrected(kRows, kCols, CV_8UC1);
  torvel::undistort_bilinear(view(m.map.data(), torvel::ElemType::F64),
                             torvel::ImageView{raw.data, kRows, kCols, kRows * kCols}, weights,
                             corrected.data);

  // The mask of the corrected section, then its axes through the centroid.
  cv::Mat mask;
  cv::threshold(corrected, mask, 127, 255, cv::THRESH_BINARY);
  const auto axes = torvel::get_short_long_intersection(mask, 100.0);
  if (!axes) {
    std::puts("no section found");
    return 1;
  }
  std::printf("long axis  (%d, %d) - (%d, %d): %.2f px\n", axes->pt_long0[0].x,
              axes->pt_long0[0].y, axes->pt_long0[1].x, axes->pt_long0[1].y,
              axes->long_intersection);
  std::printf("short axis (%d, %d) - (%d, %d): %.2f px\n", axes->pt_short[0].x,
              axes->pt_short[0].y, axes->pt_short[1].x, axes->pt_short[1].y,
              axes->short_intersection);
  // The drawn ellipse's full axes are 300 and 160 pixels before the lens stretched it.
  const bool plausible = std::abs(axes->long_intersection - 300) < 30 &&
                         std::abs(axes->short_intersection - 160) < 20;
  return plausible ? 0 : 2;
}
