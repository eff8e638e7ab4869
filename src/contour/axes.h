// Axis measurement of the first sufficiently large object in a mask image: the chords
// through its centroid along the densest direction (long axis), the sparsest direction
// (short axis) and perpendicular to the sparsest one.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include <opencv2/core.hpp>

#include "contour/probe.h"
#include "contour/select.h"

namespace torvel {

// Directions of the probes, index k for k * 0.5 degrees, k = 0 .. 539 (0 .. 269.5).
using DirectionTable = std::array<Direction, 540>;

// The table from direction_from_degrees (the C library's cosine and sine).
const DirectionTable& libm_direction_table();

struct AxisMeasurement {
  PointPair pt_short;                  // chord along angle_min
  PointPair pt_long0;                  // chord along angle_max
  PointPair pt_long1;                  // chord along angle_min + 90
  double short_intersection = 0.0;     // its length, pixels
  double long_intersection = 0.0;
  double short_intersection_90 = 0.0;
};

// `sel` is select_contour's result for `img` (an 8-bit img is read only within sel.lit_extent).
//
// Length of the coarse chord: the angular profile with the initial radius
// (initial_warp_radius of the image size), probed along its angle_max with that radius.
double coarse_long_intersection(const cv::Mat& img, const SelectedContour& sel,
                                const DirectionTable& dirs = libm_direction_table());

// long_intersection / 2 + margin_length in double, truncated toward zero once
// (215.3 and 100 give 207). NaN, infinities and values outside int64 are Overflow errors.
std::int64_t adapted_warp_radius(double long_intersection, double margin_length);

// The second profile with warp_radius and the three probes with that half-length:
// along angle_max (pt_long0), angle_min (pt_short) and angle_min + 90 (pt_long1).
AxisMeasurement measure_axes(const cv::Mat& img, const SelectedContour& sel,
                             std::int64_t warp_radius,
                             const DirectionTable& dirs = libm_direction_table());

// The whole measurement: select_contour, coarse_long_intersection, adapted_warp_radius,
// measure_axes. Nothing when no contour qualifies; probe errors end the measurement.
std::optional<AxisMeasurement> get_short_long_intersection(
    const cv::Mat& img, double margin_length = 100.0,
    const DirectionTable& dirs = libm_direction_table());

}  // namespace torvel
