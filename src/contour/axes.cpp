#include "contour/axes.h"

#include "contour/profile.h"
#include "contour/select.h"
#include "support/error.h"
#include "support/strided.h"

namespace torvel {
namespace {

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

std::int64_t adapted_warp_radius(double long_intersection, double margin_length) {
  const std::int64_t r = truncate_to_int64(long_intersection / 2.0 + margin_length);
  if (r == INT64_MIN) raise_overflow_error("probe radius is not a finite int64");
  return r;
}

std::optional<AxisMeasurement> get_short_long_intersection(const cv::Mat& search,
                                                           const cv::Mat& img,
                                                           const WarpRadiusRule& radius,
                                                           const DirectionTable& dirs) {
  const std::optional<SelectedContour> sel = select_contour(search);
  if (!sel) return std::nullopt;
  const cv::Rect* extent = img.type() == CV_8UC1 ? &sel->lit_extent : nullptr;
  auto probe = [&](std::int64_t r, double angle, int extra) {
    return probe_chord(img, sel->cx, sel->cy, r, dirs[direction_index(angle, extra)]);
  };

  const std::int64_t initial = initial_warp_radius(img.rows, img.cols);
  const AngularProfile coarse = angular_profile(img, sel->cx, sel->cy, initial, extent);
  const std::int64_t warp_radius = radius(probe(initial, coarse.angle_max, 0).length);

  const AngularProfile prof = angular_profile(img, sel->cx, sel->cy, warp_radius, extent);
  constexpr int angle_added = 90;
  const ChordProbe lng = probe(warp_radius, prof.angle_max, 0);
  const ChordProbe shrt = probe(warp_radius, prof.angle_min, 0);
  const ChordProbe perp = probe(warp_radius, prof.angle_min, angle_added);
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
  return get_short_long_intersection(
      img, img, [margin_length](double l) { return adapted_warp_radius(l, margin_length); },
      dirs);
}

}  // namespace torvel
