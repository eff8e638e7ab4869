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
  for (std::size_t i = 1; i < n; ++i) {
    if (std::isnan(a[i])) return a[i];
    if (a[i] < m) m = a[i];
  }
  return m;
}

double extent(const double* a, std::size_t n, double lo) {
  double hi = lo;
  for (std::size_t i = 0; i < n; ++i) {
    if (std::isnan(a[i])) return a[i];
    if (a[i] > hi) hi = a[i];
  }
  return hi - lo;
}

// 10000 * (a - min), truncated toward zero; true when every value plus the offset fits
// 32 bits.
bool to_grid(const double* a, std::size_t n, double lo, std::int64_t* out) {
  bool fits = true;
  for (std::size_t i = 0; i < n; ++i) {
    out[i] = truncate_to_int64(kPlaneGridScale * (a[i] - lo));
    const std::int64_t g = out[i] + kPlaneGridOffset;  // no overflow: |out| <= 2^63 - 1024
    fits = fits && g >= std::numeric_limits<std::int32_t>::min() &&
           g <= std::numeric_limits<std::int32_t>::max();
  }
  return fits;
}

[[noreturn]] void raise_grid_overflow(double extent0, double extent1) {
  const double limit =
      static_cast<double>(std::numeric_limits<std::int32_t>::max() - kPlaneGridOffset) /
      kPlaneGridScale;
  char msg[256];
  std::snprintf(msg, sizeof msg,
                "contour extends %.17g x %.17g length units in the plane (axes 0 x 1); the "
                "32-bit contour grid of %g units per length unit holds at most %.4f",
                extent0, extent1, kPlaneGridScale, limit);
  throw Error(ErrorKind::Overflow, msg);
}

}  // namespace

PlaneContour contour_to_plane(VectorView xs, VectorView ys, std::size_t n,
                              const CameraIntrinsics& cam,
                              const std::array<double, 3>& p_cos_one_point,
                              const cv::Matx33d& RRa, const std::array<double, 3>& normal_vec) {
  PlaneContour out;
  // Lines of sight, 3 x n; the intersection reads them transposed (n x 3).
  std::vector<double> sight(3 * n);
  lines_of_sight(ys, xs, n, cam, sight.data(), sight.data() + n, sight.data() + 2 * n);

  static constexpr double kOrigin[3] = {0.0, 0.0, 0.0};
  out.pts3d_contour.resize(3 * n);
  intersect_lines_planes(Rows3View{kOrigin, 0, 1},
                         Rows3View{sight.data(), 1, static_cast<std::ptrdiff_t>(n)},
                         Rows3View{p_cos_one_point.data(), 0, 1},
                         Rows3View{normal_vec.data(), 0, 1}, kContourEpsion, n,
                         out.pts3d_contour.data());

  out.hor_points2.resize(3 * n);
  to_plane_frame(RRa, Rows3View{out.pts3d_contour.data(), 3, 1}, n, out.hor_points2.data());

  if (n == 0)
    throw Error(ErrorKind::Value, "zero-size array to reduction operation minimum which has no identity");
  const double* axis0 = out.hor_points2.data();
  const double* axis1 = axis0 + n;
  const double min0 = numpy_min(axis0, n);
  const double min1 = numpy_min(axis1, n);
  out.fy.resize(n);
  out.fx.resize(n);
  const bool fits_y = to_grid(axis0, n, min0, out.fy.data());
  const bool fits_x = to_grid(axis1, n, min1, out.fx.data());
  if (!fits_y || !fits_x) raise_grid_overflow(extent(axis0, n, min0), extent(axis1, n, min1));

  out.crt.resize(2 * n);
  for (std::size_t i = 0; i < n; ++i) {
    out.crt[2 * i] = static_cast<std::int32_t>(out.fy[i] + kPlaneGridOffset);
    out.crt[2 * i + 1] = static_cast<std::int32_t>(out.fx[i] + kPlaneGridOffset);
  }
  return out;
}

}  // namespace torvel
