// An image contour mapped onto the laser plane and redrawn on an integer grid in the
// plane's own frame.
//
// Each pixel (x = column, y = row) becomes its unit line of sight, which meets the plane
// through p_cos_one_point with normal normal_vec at d * (n.p)/(n.d) (a line with
// |n.d| < 1e-6 yields the projection centre (0, 0, 0)). The points are rotated by RRa
// (camera frame -> plane frame), and the in-plane coordinates put on a grid of 10000 units
// per length unit, measured from the contour's smallest coordinate and truncated toward
// zero: fy from plane coordinate 0, fx from plane coordinate 1. crt point i is
// (fy[i] + 10, fx[i] + 10), so the bounding box starts at (10, 10).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include <opencv2/core/matx.hpp>

#include "geometry/camera.h"
#include "support/strided.h"

namespace torvel {

struct PlaneContour {
  std::vector<std::int32_t> crt;      // n x (1 x) 2, row-major: (fy + 10, fx + 10)
  std::vector<double> hor_points2;    // 3 x n, row-major: plane-frame coordinates
  std::vector<std::int64_t> fx;       // n
  std::vector<std::int64_t> fy;       // n
  std::vector<double> pts3d_contour;  // n x 3, row-major: camera-frame points on the plane
};

// The same results written to caller buffers of the sizes above.
struct PlaneContourBuffers {
  std::int32_t* crt;
  double* hor_points2;
  std::int64_t* fx;
  std::int64_t* fy;
  double* pts3d_contour;
};

// Grid units per length unit, grid offset, and the parallelism threshold used.
inline constexpr double kPlaneGridScale = 10000.0;
inline constexpr std::int64_t kPlaneGridOffset = 10;
inline constexpr double kContourEpsion = 1e-6;

// n contour pixels, xs the columns and ys the rows. The minima follow NumPy: a NaN
// coordinate makes its row's minimum NaN.
// Throws torvel::Error(Value, ...) for n = 0 (NumPy's message for the minimum of an empty
// array) and torvel::Error(Overflow, ...) naming the extent when a grid coordinate does
// not fit 32 bits (a contour wider than (2^31 - 11) / 10000 length units, or non-finite
// plane coordinates), instead of wrapping it.
PlaneContour contour_to_plane(VectorView xs, VectorView ys, std::size_t n,
                              const CameraIntrinsics& cam,
                              const std::array<double, 3>& p_cos_one_point,
                              const cv::Matx33d& RRa, const std::array<double, 3>& normal_vec);
void contour_to_plane(VectorView xs, VectorView ys, std::size_t n, const CameraIntrinsics& cam,
                      const std::array<double, 3>& p_cos_one_point, const cv::Matx33d& RRa,
                      const std::array<double, 3>& normal_vec, const PlaneContourBuffers& out);

}  // namespace torvel
