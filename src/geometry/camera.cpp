#include "geometry/camera.h"

#include <cerrno>
#include <bit>
#include <cmath>
#include <cstring>
#include <string>

#include <opencv2/core/utility.hpp>

#include "support/error.h"
#include "support/simd.h"

namespace torvel {
namespace {

TORVEL_VECTOR_CLONES
void sight_kernel(const double* __restrict rows, const double* __restrict cols, std::size_t n,
                  CameraIntrinsics cam, double* __restrict ox, double* __restrict oy,
                  double* __restrict oz) {
  for (std::size_t i = 0; i < n; ++i) {
    const double x = (cols[i] - cam.center_col) * cam.pixel_sizec;
    const double y = (rows[i] - cam.center_row) * cam.pixel_sizer;
    const double z = cam.focus;
    const double norm = std::sqrt((x * x + y * y) + z * z);
    ox[i] = x / norm;
    oy[i] = y / norm;
    oz[i] = z / norm;
  }
}

// The real-valued pixel coordinates, into the output buffers' storage.
TORVEL_VECTOR_CLONES
void projection_kernel(const double* __restrict x, const double* __restrict y,
                       const double* __restrict z, std::size_t n, CameraIntrinsics cam,
                       double* row, double* col) {
  for (std::size_t i = 0; i < n; ++i) {
    const double k = z[i] / cam.focus;
    row[i] = ((y[i] / k) / cam.pixel_sizer) + cam.center_row;
    col[i] = ((x[i] / k) / cam.pixel_sizec) + cam.center_col;
  }
}

// In place: doubles stored in `cells` become their truncations.
TORVEL_VECTOR_CLONES
void truncate_in_place(std::int64_t* cells, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    double v;
    std::memcpy(&v, &cells[i], sizeof v);
    cells[i] = truncate_to_int64(v);
  }
}

// Read at run time, so that the compiler does not turn pow(d, 2.0) into d * d.
const volatile double kTwo = 2.0;

// Whether d * d is the value the C library's pow(d, 2) returns. glibc's pow is within 0.52
// units in the last place of the exact square (and older ones round it correctly), so it
// can only round differently when the exact square lies within 0.02 units of a midpoint
// between two doubles; Dekker's exact product error tells how near it is.
bool square_is_pows(double d, double p) {
#if defined(__GLIBC__)
  const double a = std::fabs(d);
  if (!(a >= 0x1p-480 && a <= 0x1p480)) return false;  // the split below stays exact here
  constexpr double kSplit = 134217729.0;  // 2^27 + 1
  const double t = kSplit * a;
  const double hi = t - (t - a), lo = a - hi;
  const double error = ((hi * hi - p) + hi * lo + lo * hi) + lo * lo;  // a * a - p, exactly
  // The spacing of doubles above p (2^(exponent - 52), p is normal here), half that below a
  // power of two.
  const auto bits = std::bit_cast<std::uint64_t>(p);
  double spacing = std::bit_cast<double>((bits & 0x7ff0000000000000ull) - (52ull << 52));
  if (error < 0.0 && (bits & 0x000fffffffffffffull) == 0) spacing *= 0.5;
  return std::fabs(error) < 0.45 * spacing;
#else
  (void)d;
  (void)p;
  return false;
#endif
}

// d ** 2 of a Python float: the C library's pow, OverflowError where errno says ERANGE.
double interpreter_square(double d) {
  const double p = d * d;
  if (square_is_pows(d, p)) return p;
  const double s = std::pow(d, kTwo);
  if (std::isinf(s) && std::isfinite(d)) {
    raise_overflow_error("(" + std::to_string(ERANGE) + ", '" + std::strerror(ERANGE) + "')");
  }
  return s;
}

// Blocks keep the real values in cache between the two passes.
constexpr std::size_t kBlock = 2048;
constexpr std::size_t kParallelFrom = 1 << 16;

}  // namespace

void lines_of_sight(const double* rows, const double* cols, std::size_t n,
                    const CameraIntrinsics& cam, double* out_x, double* out_y, double* out_z) {
  sight_kernel(rows, cols, n, cam, out_x, out_y, out_z);
}

void lines_of_sight(VectorView rows, VectorView cols, std::size_t n, const CameraIntrinsics& cam,
                    double* out_x, double* out_y, double* out_z) {
  if (rows.step == 1 && cols.step == 1) {
    sight_kernel(rows.data, cols.data, n, cam, out_x, out_y, out_z);
    return;
  }
  for (std::size_t i = 0; i < n; ++i) {
    const double r = rows[i], c = cols[i];
    sight_kernel(&r, &c, 1, cam, out_x + i, out_y + i, out_z + i);
  }
}

void project_to_pixels(const double* x, const double* y, const double* z, std::size_t n,
                       const CameraIntrinsics& cam, std::int64_t* out_row, std::int64_t* out_col) {
  static_assert(sizeof(double) == sizeof(std::int64_t));
  auto blocks = [&](const cv::Range& range) {
    for (int b = range.start; b < range.end; ++b) {
      const std::size_t start = static_cast<std::size_t>(b) * kBlock;
      const std::size_t m = std::min(kBlock, n - start);
      projection_kernel(x + start, y + start, z + start, m, cam,
                        reinterpret_cast<double*>(out_row + start),
                        reinterpret_cast<double*>(out_col + start));
      truncate_in_place(out_row + start, m);
      truncate_in_place(out_col + start, m);
    }
  };
  const int nblocks = static_cast<int>((n + kBlock - 1) / kBlock);
  // Large outputs are mostly fresh pages: fill them from every worker thread.
  if (n >= kParallelFrom) {
    cv::parallel_for_(cv::Range(0, nblocks), blocks);
  } else {
    blocks(cv::Range(0, nblocks));
  }
}

double distance_2pts(double x1, double y1, double x2, double y2) {
  return std::sqrt(interpreter_square(x1 - x2) + interpreter_square(y1 - y2));
}

}  // namespace torvel
