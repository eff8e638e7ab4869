// Angular profile of a mask around a centre: how much object lies on each of the 360
// lines through the centre, 0.5 degrees apart.
#pragma once

#include <array>
#include <cstdint>

#include <opencv2/core.hpp>

namespace torvel {

struct AngularProfile {
  // accum[i]: the line at direction i * 0.5 degrees (from +x toward +y, y down the image),
  // both half-lines: (row sum of polar row i) / 255 + (row sum of polar row i + 360) / 255,
  // two divisions and one addition in double.
  std::array<double, 360> accum{};
  double angle_max = 0.0;  // degrees, (first index of the largest accum) / 2
  double angle_min = 0.0;  // degrees, (first index of the smallest accum) / 2
};

// Polar unwrapping with OpenCV warpPolar: 300 radial samples (0 .. 299/300 of
// warp_radius) by 720 directions, centre (cx, cy), nearest-neighbour sampling, samples
// outside the image read as 0. For a 0/255 mask accum[i] counts the object samples on the
// line. `img` is one-channel of any depth OpenCV remaps; several channels are a Type error.
// lit_extent, when given, is the bounding box of all non-zero pixels of an 8-bit `img`
// (select_contour's): samples outside it read 0 without being read, and the rings that lie
// inside the largest disc of 255 about the centre count 255 each without being read.
AngularProfile angular_profile(const cv::Mat& img, int cx, int cy, std::int64_t warp_radius,
                               const cv::Rect* lit_extent = nullptr);

}  // namespace torvel
