#include "contour/profile.h"

#include <opencv2/imgproc.hpp>

#include "support/error.h"

namespace torvel {
namespace {

constexpr int kRadialSamples = 300;
constexpr int kDirections = 720;
constexpr int kLines = kDirections / 2;
constexpr double kMaxCount = 255.0;

template <typename T>
double row_sum(const cv::Mat& polar, int row) {
  const T* p = polar.ptr<T>(row);
  if constexpr (std::is_integral_v<T>) {
    std::int64_t s = 0;
    for (int i = 0; i < kRadialSamples; ++i) s += p[i];
    return static_cast<double>(s);
  } else {
    double s = 0.0;
    for (int i = 0; i < kRadialSamples; ++i) s += static_cast<double>(p[i]);
    return s;
  }
}

template <typename T>
void fill_accum(const cv::Mat& polar, AngularProfile& prof) {
  for (int i = 0; i < kLines; ++i) {
    prof.accum[i] = row_sum<T>(polar, i) / kMaxCount + row_sum<T>(polar, i + kLines) / kMaxCount;
  }
}

}  // namespace

AngularProfile angular_profile(const cv::Mat& img, int cx, int cy, std::int64_t warp_radius) {
  if (img.channels() != 1) raise_type_error("the angular profile needs a one-channel image");
  cv::Mat polar;
  cv::warpPolar(img, polar, cv::Size(kRadialSamples, kDirections),
                cv::Point2f(static_cast<float>(cx), static_cast<float>(cy)),
                static_cast<double>(warp_radius),
                cv::INTER_NEAREST + cv::WARP_FILL_OUTLIERS + cv::WARP_POLAR_LINEAR);
  AngularProfile prof;
  switch (polar.depth()) {
    case CV_8U: fill_accum<std::uint8_t>(polar, prof); break;
    case CV_8S: fill_accum<std::int8_t>(polar, prof); break;
    case CV_16U: fill_accum<std::uint16_t>(polar, prof); break;
    case CV_16S: fill_accum<std::int16_t>(polar, prof); break;
    case CV_32S: fill_accum<std::int32_t>(polar, prof); break;
    case CV_32F: fill_accum<float>(polar, prof); break;
    default: fill_accum<double>(polar, prof); break;
  }
  int imax = 0;
  int imin = 0;
  for (int i = 1; i < kLines; ++i) {
    if (prof.accum[i] > prof.accum[imax]) imax = i;
    if (prof.accum[i] < prof.accum[imin]) imin = i;
  }
  prof.angle_max = imax / 2.0;
  prof.angle_min = imin / 2.0;
  return prof;
}

}  // namespace torvel
