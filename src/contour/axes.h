// Axis measurement of the first sufficiently large object in a mask image: the chords
// through its centroid along the densest direction (long axis), the sparsest direction
// (short axis) and perpendicular to the sparsest one.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>

#include <opencv2/core.hpp>

#include "contour/probe.h"

namespace torvel {

// The margin added to half the coarse long axis for the probe radius, in pixels, unless the
// caller gives one.
inline constexpr int kDefaultMarginLength = 100;

// Directions of the probes, index k for k * 0.5 degrees, k = 0 .. 539 (0 .. 269.5).
using DirectionTable = std::array<Direction, 540>;

// The table from direction_from_degrees (the C library's cosine and sine). The module
// passes the table of NumPy's float64 cosine and sine of the same angles, (k / 2) * (pi / 180):
// NumPy's builds for AVX-512 compute them with their own vector routines, which can differ
// from the C library's in the last bit and move an end point by a pixel, so a C++ caller
// that must agree with the module there passes that table.
const DirectionTable& libm_direction_table();

struct AxisMeasurement {
  PointPair pt_short;                  // chord along angle_min
  PointPair pt_long0;                  // chord along angle_max
  PointPair pt_long1;                  // chord along angle_min + 90
  double short_intersection = 0.0;     // its length, pixels
  double long_intersection = 0.0;
  double short_intersection_90 = 0.0;
};

// long_intersection / 2 + margin_length in double, truncated toward zero once
// (215.3 and 100 give 207). NaN, infinities and values outside int64 are Overflow errors.
std::int64_t adapted_warp_radius(double long_intersection, double margin_length);

// The half-length of the second profile and the probes, from the coarse chord's length.
using WarpRadiusRule = std::function<std::int64_t(double long_intersection)>;

// The whole measurement, in this order:
//  1. select_contour(search);
//  2. the angular profile of img around the centroid with the initial radius
//     (initial_warp_radius of img's size), probed along its angle_max with that radius:
//     the coarse chord;
//  3. warp_radius = radius(length of the coarse chord);
//  4. the profile with warp_radius and the three probes with that half-length: along
//     angle_max (pt_long0), angle_min (pt_short) and angle_min + 90 (pt_long1), each
//     direction read from `dirs` at twice its angle.
// `search` is img itself or img converted to 8 bits element by element (as select_contour
// converts it, or as the caller's own conversion does); an 8-bit one-channel img is read
// only within the bounding box of search's non-zero pixels. Nothing when no contour
// qualifies (radius is not called then); an error of any step ends the measurement.
std::optional<AxisMeasurement> get_short_long_intersection(const cv::Mat& search,
                                                           const cv::Mat& img,
                                                           const WarpRadiusRule& radius,
                                                           const DirectionTable& dirs);

// The measurement of img with the radius adapted_warp_radius(., margin_length).
std::optional<AxisMeasurement> get_short_long_intersection(
    const cv::Mat& img, double margin_length = kDefaultMarginLength,
    const DirectionTable& dirs = libm_direction_table());

}  // namespace torvel
