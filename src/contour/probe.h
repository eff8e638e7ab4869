// Chord probe: the object's extent along one straight line through a centre.
#pragma once

#include <array>
#include <cstdint>

#include <opencv2/core.hpp>

namespace torvel {

// Direction of a probing line as its cosine and sine (angle from +x toward +y, y down
// the image).
struct Direction {
  double co = 1.0;
  double si = 0.0;
};

// t = angle * (pi / 180) with pi / 180 one double constant; co = cos t, si = sin t.
Direction direction_from_degrees(double angle);

// Two end points [x, y]: the one found at a maximum first, the one at a minimum second.
using PointPair = std::array<cv::Point, 2>;

struct ChordProbe {
  PointPair pair;              // the chosen pair
  double length = 0.0;         // the larger candidate length, the distance of `pair`
  double x_pair_length = 0.0;  // distance of the column-extreme pair
  double y_pair_length = 0.0;  // distance of the row-extreme pair
};

// Probes the segment from P1 = (cx - R*co, cy - R*si) to P2 = (cx + R*co, cy + R*si),
// each coordinate truncated toward zero, as OpenCV draws it (thickness 1, 8-connected,
// clipped to the image): the covered pixels are those the drawn line and `img` share
// (non-zero in `img`), ordered by row, then column. Extremes take the first covered pixel
// in that order among equals. The column pair is (largest x, smallest x), replaced by
// (largest y, smallest y) when all covered pixels share one column; the row pair is
// (largest y, smallest y). The row pair is chosen only when it is strictly longer.
// Lengths are the end points' Euclidean distances in pixels.
//
// `img` must be 8-bit one-channel: any other image fails with OpenCV's error of the AND
// of an 8-bit canvas with it. A line covering no object pixel is a Value error; end
// points outside the int range are an Overflow error.
ChordProbe probe_chord(const cv::Mat& img, int cx, int cy, std::int64_t R, Direction dir);

}  // namespace torvel
