#include "geometry/camera.h"

#include <cmath>

namespace torvel {

void lines_of_sight(VectorView rows, VectorView cols, std::size_t n, const CameraIntrinsics& cam,
                    double* out_x, double* out_y, double* out_z) {
  for (std::size_t i = 0; i < n; ++i) {
    const double x = (cols[i] - cam.center_col) * cam.pixel_sizec;
    const double y = (rows[i] - cam.center_row) * cam.pixel_sizer;
    const double z = cam.focus;
    const double norm = std::sqrt((x * x + y * y) + z * z);
    out_x[i] = x / norm;
    out_y[i] = y / norm;
    out_z[i] = z / norm;
  }
}

void project_to_pixels(VectorView x, VectorView y, VectorView z, std::size_t n,
                       const CameraIntrinsics& cam, std::int64_t* out_row, std::int64_t* out_col) {
  for (std::size_t i = 0; i < n; ++i) {
    const double k = z[i] / cam.focus;
    out_row[i] = truncate_to_int64(((y[i] / k) / cam.pixel_sizer) + cam.center_row);
    out_col[i] = truncate_to_int64(((x[i] / k) / cam.pixel_sizec) + cam.center_col);
  }
}

double distance_2pts(double x1, double y1, double x2, double y2) {
  const double dx = x1 - x2;
  const double dy = y1 - y2;
  return std::sqrt(dx * dx + dy * dy);
}

}  // namespace torvel
