#include "contour/probe.h"

#include <climits>
#include <cmath>
#include <numbers>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "support/error.h"

namespace torvel {
namespace {

int truncate_end(double v) {
  if (!(v > static_cast<double>(INT_MIN) - 1.0 && v < static_cast<double>(INT_MAX) + 1.0)) {
    raise_overflow_error("probe line end point out of the int range");
  }
  return static_cast<int>(v);
}

// The AND of an 8-bit canvas with an image of another type or channel count, which OpenCV
// rejects with its own error.
[[noreturn]] void reject_image_type(const cv::Mat& img) {
  cv::Mat canvas = cv::Mat::zeros(img.rows, img.cols, CV_8UC1);
  cv::Mat anded;
  cv::bitwise_and(canvas, img, anded);
  raise_type_error("the chord probe needs an 8-bit one-channel image");
}

// Pixel coordinates: the squares and their sum are exact in double.
double pair_length(const PointPair& p) {
  const double dx = static_cast<double>(p[0].x) - p[1].x;
  const double dy = static_cast<double>(p[0].y) - p[1].y;
  return std::sqrt(dx * dx + dy * dy);
}

}  // namespace

Direction direction_from_degrees(double angle) {
  constexpr double deg = std::numbers::pi / 180.0;
  const double t = angle * deg;
  return Direction{std::cos(t), std::sin(t)};
}

ChordProbe probe_chord(const cv::Mat& img, int cx, int cy, std::int64_t R, Direction dir) {
  if (img.type() != CV_8UC1) reject_image_type(img);
  const double r = static_cast<double>(R);
  const double rco = r * dir.co;
  const double rsi = r * dir.si;
  const cv::Point p1(truncate_end(cx - rco), truncate_end(cy - rsi));
  const cv::Point p2(truncate_end(cx + rco), truncate_end(cy + rsi));

  // cv::line with thickness 1 and 8-connectivity walks exactly this iterator (clipped,
  // from the left-most end). Ties between covered pixels are broken by raster order:
  // for a column extreme the smaller row wins, for a row extreme the smaller column.
  cv::LineIterator it(img, p1, p2, 8, true);
  bool any = false;
  cv::Point xmax, xmin, ymax, ymin;
  for (int i = 0; i < it.count; ++i, ++it) {
    if (**it == 0) continue;
    const cv::Point p = it.pos();
    if (!any) {
      xmax = xmin = ymax = ymin = p;
      any = true;
      continue;
    }
    if (p.x > xmax.x || (p.x == xmax.x && p.y < xmax.y)) xmax = p;
    if (p.x < xmin.x || (p.x == xmin.x && p.y < xmin.y)) xmin = p;
    if (p.y > ymax.y || (p.y == ymax.y && p.x < ymax.x)) ymax = p;
    if (p.y < ymin.y || (p.y == ymin.y && p.x < ymin.x)) ymin = p;
  }
  if (!any) {
    raise_value_error("the probe line through the centroid met no object pixel");
  }

  PointPair xpair{xmax, xmin};
  const PointPair ypair{ymax, ymin};
  if (xmax.x == xmin.x) xpair = ypair;  // one column: the row extremes
  ChordProbe out;
  out.x_pair_length = pair_length(xpair);
  out.y_pair_length = pair_length(ypair);
  if (out.y_pair_length > out.x_pair_length) {
    out.pair = ypair;
    out.length = out.y_pair_length;
  } else {
    out.pair = xpair;
    out.length = out.x_pair_length;
  }
  return out;
}

}  // namespace torvel
