#include "geometry/contour_to_plane.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

#include "geometry/intersect.h"
#include "geometry/plane_fit.h"
#include "support/error.h"

namespace torvel {
namespace {

// np.min of a float64 row: a NaN anywhere makes the minimum NaN.
double numpy_min(const double* a, std::size_t n) {
  double m = a[0];
  bool nan = false;
  for (std::size_t i = 0; i < n; ++i) {
    nan |= a[i] != a[i];
    m = a[i] < m ? a[i] : m;
  }
  return nan ? std::numeric_limits<double>::quiet_NaN() : m;
}

double extent(const double* a, std::size_t n, double lo) {
  double hi = lo;
  for (std::size_t i = 0; i < n; ++i) hi = a[i] > hi ? a[i] : hi;
  return hi - lo;
}

// 10000 * (a - min), truncated toward zero; true when every value plus the offset fits
// 32 bits. The values are >= 0 (or NaN), so fitting means below 2^31 - 1 - 10 + 1.
bool to_grid(const double* a, std::size_t n, double lo, std::int64_t* out) {
  constexpr double kBound =
      static_cast<double>(std::numeric_limits<std::int32_t>::max() - kPlaneGridOffset) + 1.0;
  bool fits = true;
  for (std::size_t i = 0; i < n; ++i) {
    const double v = kPlaneGridScale * (a[i] - lo);
    const bool ok = v < kBound;  // false for NaN
    fits = fits && ok;
    out[i] = ok ? static_cast<std::int64_t>(v) : truncate_to_int64(v);
  }
  return fits;
}

[[noreturn]] void raise_grid_overflow(double extent0, double extent1) {
  const double limit =
      static_cast<double>(std::numeric_limits<std::int32_t>::max() - kPlaneGridOffset) /
      kPlaneGridScale;
  char msg[256];
  std::snprintf(msg, sizeof msg,
                "contour extends %.10g x %.10g length units in the plane (axes 0 x 1); the "
                "32-bit contour grid of %g units per length unit holds at most %.4f",
                extent0, extent1, kPlaneGridScale, limit);
  throw Error(ErrorKind::Overflow, msg);
}

}  // namespace

void contour_to_plane(VectorView xs, VectorView ys, std::size_t n, const CameraIntrinsics& cam,
                      const std::array<double, 3>& p_cos_one_point, const cv::Matx33d& RRa,
                      const std::array<double, 3>& normal_vec, const PlaneContourBuffers& out) {
  if (n == 0)
    throw Error(ErrorKind::Value,
                "zero-size array to reduction operation minimum which has no identity");
  // Lines of sight, 3 x n, in the space of hor_points2 until the rotation overwrites them;
  // the intersection reads them transposed (n x 3).
  double* sight = out.hor_points2;
  lines_of_sight(ys, xs, n, cam, sight, sight + n, sight + 2 * n);
  static constexpr double kOrigin[3] = {0.0, 0.0, 0.0};
  intersect_lines_planes(Rows3View{kOrigin, 0, 1},
                         Rows3View{sight, 1, static_cast<std::ptrdiff_t>(n)},
                         Rows3View{p_cos_one_point.data(), 0, 1},
                         Rows3View{normal_vec.data(), 0, 1}, kContourEpsion, n,
                         out.pts3d_contour);
  to_plane_frame(RRa, Rows3View{out.pts3d_contour, 3, 1}, n, out.hor_points2);

  const double* axis0 = out.hor_points2;
  const double* axis1 = axis0 + n;
  const double min0 = numpy_min(axis0, n);
  const double min1 = numpy_min(axis1, n);
  const bool fits_y = to_grid(axis0, n, min0, out.fy);
  const bool fits_x = to_grid(axis1, n, min1, out.fx);
  if (!fits_y || !fits_x) raise_grid_overflow(extent(axis0, n, min0), extent(axis1, n, min1));
  // From here every grid value is in [0, 2^31 - 11].
  for (std::size_t i = 0; i < n; ++i) {
    out.crt[2 * i] = static_cast<std::int32_t>(out.fy[i] + kPlaneGridOffset);
    out.crt[2 * i + 1] = static_cast<std::int32_t>(out.fx[i] + kPlaneGridOffset);
  }
}

PlaneContour contour_to_plane(VectorView xs, VectorView ys, std::size_t n,
                              const CameraIntrinsics& cam,
                              const std::array<double, 3>& p_cos_one_point,
                              const cv::Matx33d& RRa, const std::array<double, 3>& normal_vec) {
  PlaneContour c;
  c.crt.resize(2 * n);
  c.hor_points2.resize(3 * n);
  c.fx.resize(n);
  c.fy.resize(n);
  c.pts3d_contour.resize(3 * n);
  contour_to_plane(xs, ys, n, cam, p_cos_one_point, RRa, normal_vec,
                   {c.crt.data(), c.hor_points2.data(), c.fx.data(), c.fy.data(),
                    c.pts3d_contour.data()});
  return c;
}

}  // namespace torvel
