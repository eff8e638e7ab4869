// Pinhole camera model behind an undistorted image.
// Camera frame: x along increasing column, y along increasing row (down the image),
// z along the optical axis, positive in front. Pixel (r, c) lies at
// ((c - center_col) * pixel_sizec, (r - center_row) * pixel_sizer, focus).
#pragma once

#include <cstddef>
#include <cstdint>

#include "support/strided.h"

namespace torvel {

struct CameraIntrinsics {
  double focus = 1.0;
  double pixel_sizer = 1.0;  // pixel pitch along rows (height of one pixel)
  double pixel_sizec = 1.0;  // pixel pitch along columns (width of one pixel)
  double center_row = 0.0;   // principal point, pixels
  double center_col = 0.0;
};

// Unit line-of-sight directions of n pixels (rows, cols contiguous). out_x/out_y/out_z
// each receive n values. Order of operations: (col - center_col) * pixel_sizec,
// (row - center_row) * pixel_sizer, focus; each divided by sqrt((x*x + y*y) + z*z).
void lines_of_sight(const double* rows, const double* cols, std::size_t n,
                    const CameraIntrinsics& cam, double* out_x, double* out_y, double* out_z);

// The same for strided inputs.
void lines_of_sight(VectorView rows, VectorView cols, std::size_t n, const CameraIntrinsics& cam,
                    double* out_x, double* out_y, double* out_z);

// Projection of n camera-frame points (contiguous) to pixels: k = z / focus,
// row = ((y / k) / pixel_sizer) + center_row, col likewise; both truncated toward zero
// (NaN, infinities and out-of-range values give INT64_MIN, see truncate_to_int64).
void project_to_pixels(const double* x, const double* y, const double* z, std::size_t n,
                       const CameraIntrinsics& cam, std::int64_t* out_row, std::int64_t* out_col);

// Distance of two points in their first two coordinates, with the interpreter's float
// arithmetic: sqrt(pow(x1 - x2, 2) + pow(y1 - y2, 2)), pow being the C library's (which is
// not always the once-rounded product d * d). A finite difference whose square overflows
// is an Overflow error with the interpreter's message, "(34, 'Numerical result out of
// range')" on Linux; an infinite one squares to infinity.
double distance_2pts(double x1, double y1, double x2, double y2);

}  // namespace torvel
