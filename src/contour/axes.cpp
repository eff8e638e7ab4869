#include "contour/axes.h"

#include "contour/profile.h"
#include "support/error.h"
#include "support/strided.h"

namespace torvel {
namespace {

// The extent select_contour found, for the 8-bit image it searched itself.
const cv::Rect* extent_of(const cv::Mat& img, const SelectedContour& sel) {
  return img.type() == CV_8UC1 ? &sel.lit_extent : nullptr;
}

// Table index of a profile angle (a multiple of 0.5 in 0 .. 179.5) plus `extra` degrees.
std::size_t direction_index(double angle, int extra) {
  return static_cast<std::size_t>(angle * 2.0) + static_cast<std::size_t>(extra * 2);
}

}  // namespace

const DirectionTable& libm_direction_table() {
  static const DirectionTable table = [] {
    DirectionTable t;
    for (std::size_t k = 0; k < t.size(); ++k) t[k] = direction_from_degrees(k / 2.0);
    return t;
  }();
  return table;
}

double coarse_long_intersection(const cv::Mat& img, const SelectedContour& sel,
                                const DirectionTable& dirs) {
  const std::int64_t radius = initial_warp_radius(img.rows, img.cols);
  const AngularProfile prof = angular_profile(img, sel.cx, sel.cy, radius, extent_of(img, sel));
  return probe_chord(img, sel.cx, sel.cy, radius, dirs[direction_index(prof.angle_max, 0)])
      .length;
}

std::int64_t adapted_warp_radius(double long_intersection, double margin_length) {
  const std::int64_t r = truncate_to_int64(long_intersection / 2.0 + margin_length);
  if (r == INT64_MIN) raise_overflow_error("probe radius is not a finite int64");
  return r;
}

AxisMeasurement measure_axes(const cv::Mat& img, const SelectedContour& sel,
                             std::int64_t warp_radius, const DirectionTable& dirs) {
  const AngularProfile prof = angular_profile(img, sel.cx, sel.cy, warp_radius, extent_of(img, sel));
  constexpr int angle_added = 90;
  const ChordProbe lng =
      probe_chord(img, sel.cx, sel.cy, warp_radius, dirs[direction_index(prof.angle_max, 0)]);
  const ChordProbe shrt =
      probe_chord(img, sel.cx, sel.cy, warp_radius, dirs[direction_index(prof.angle_min, 0)]);
  const ChordProbe perp = probe_chord(img, sel.cx, sel.cy, warp_radius,
                                      dirs[direction_index(prof.angle_min, angle_added)]);
  AxisMeasurement m;
  m.pt_short = shrt.pair;
  m.pt_long0 = lng.pair;
  m.pt_long1 = perp.pair;
  m.short_intersection = shrt.length;
  m.long_intersection = lng.length;
  m.short_intersection_90 = perp.length;
  return m;
}

std::optional<AxisMeasurement> get_short_long_intersection(const cv::Mat& img,
                                                           double margin_length,
                                                           const DirectionTable& dirs) {
  const std::optional<SelectedContour> sel = select_contour(img);
  if (!sel) return std::nullopt;
  const double coarse = coarse_long_intersection(img, *sel, dirs);
  return measure_axes(img, *sel, adapted_warp_radius(coarse, margin_length), dirs);
}

}  // namespace torvel
