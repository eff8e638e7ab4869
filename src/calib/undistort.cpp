#include "calib/undistort.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include <opencv2/core.hpp>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "support/error.h"
#include "support/strided.h"

namespace torvel {
namespace {

template <class F>
void with_type(ElemType type, F&& f) {
  switch (type) {
    case ElemType::U8: f(std::uint8_t{}); return;
    case ElemType::I8: f(std::int8_t{}); return;
    case ElemType::U16: f(std::uint16_t{}); return;
    case ElemType::I16: f(std::int16_t{}); return;
    case ElemType::U32: f(std::uint32_t{}); return;
    case ElemType::I32: f(std::int32_t{}); return;
    case ElemType::U64: f(std::uint64_t{}); return;
    case ElemType::I64: f(std::int64_t{}); return;
    case ElemType::F32: f(float{}); return;
    case ElemType::F64: f(double{}); return;
  }
  raise_value_error("unknown element type");
}

// A flat index as an unsigned number: negative values become >= 2^63, so that one
// comparison with N tests 0 <= v < N.
template <class T>
inline std::uint64_t as_flat(T v) {
  if constexpr (std::is_signed_v<T>) {
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(v));
  } else {
    return static_cast<std::uint64_t>(v);
  }
}

// Conversion to int32 as the x86-64 cast does: truncation, INT32_MIN where it does not fit.
template <class T>
inline std::int32_t to_int32(T v) {
  if constexpr (std::is_integral_v<T>) {
    return static_cast<std::int32_t>(v);  // modular
  } else {
    const double d = static_cast<double>(v);
#if defined(__SSE2__)
    return _mm_cvttsd_si32(_mm_set_sd(d));  // defined: INT32_MIN where it does not fit
#else
    if (d > -2147483649.0 && d < 2147483648.0) return static_cast<std::int32_t>(d);
    return INT32_MIN;
#endif
  }
}

// Conversion to uint64 as the x86-64 cast does (see the header).
template <class T>
inline std::uint64_t to_uint64(T v) {
  if constexpr (std::is_integral_v<T>) {
    return static_cast<std::uint64_t>(v);  // modular
  } else {
    const double d = static_cast<double>(v);
    if (d >= 9223372036854775808.0) {
      return d < 18446744073709551616.0 ? static_cast<std::uint64_t>(d) : 0;
    }
    return static_cast<std::uint64_t>(truncate_to_int64(d));
  }
}

template <class T>
inline const T* row_ptr(const Strided2D& v, std::ptrdiff_t r) {
  return static_cast<const T*>(v.data) + r * v.row_step;
}

void check_image(const ImageView& img) {
  const std::ptrdiff_t n = img.rows * img.cols;
  if (img.size != n) {
    raise_value_error("cannot reshape array of size " + std::to_string(img.size) +
                      " into shape (" + std::to_string(n) + ",)");
  }
}

[[noreturn]] void raise_out_of_bounds(std::ptrdiff_t index, int axis, std::ptrdiff_t size) {
  raise_index_error("index " + std::to_string(index) + " is out of bounds for axis " +
                    std::to_string(axis) + " with size " + std::to_string(size));
}

// Positions are checked as the fancy index map_2[rows, cols] checks them: every row index
// first (the first valid entry at a row >= H), then every column index.
template <class T, class Flat>
void check_bounds(const Strided2D& map, const ImageView& img, Flat flat) {
  const std::ptrdiff_t H = img.rows, W = img.cols;
  const std::uint64_t n = static_cast<std::uint64_t>(H * W);
  if (map.rows <= H && map.cols <= W) return;
  for (std::ptrdiff_t r = H; r < map.rows; ++r) {
    const T* m = row_ptr<T>(map, r);
    for (std::ptrdiff_t c = 0; c < map.cols; ++c) {
      if (flat(m[c * map.col_step]) < n) raise_out_of_bounds(r, 0, H);
    }
  }
  for (std::ptrdiff_t r = 0; r < std::min(H, map.rows); ++r) {
    const T* m = row_ptr<T>(map, r);
    for (std::ptrdiff_t c = W; c < map.cols; ++c) {
      if (flat(m[c * map.col_step]) < n) raise_out_of_bounds(c, 1, W);
    }
  }
}

// Offsets of the four neighbours on the flat index, modulo 2^32.
struct Neighbours {
  std::uint32_t off[4];
  explicit Neighbours(std::ptrdiff_t w) {
    const auto uw = static_cast<std::uint32_t>(w);
    off[0] = 0;
    off[1] = 1;
    off[2] = uw;
    off[3] = uw + 1u;
  }
};

template <class T>
void check_bilinear_bounds(const Strided2D& map, const ImageView& img) {
  const Neighbours nb(map.cols);
  for (std::uint32_t off : nb.off) {
    check_bounds<T>(map, img, [off](T v) {
      const auto i = static_cast<std::int32_t>(static_cast<std::uint32_t>(to_int32(v)) + off);
      return as_flat(i);
    });
  }
}

// Runs body(r0, r1) over the rows [0, rows) with OpenCV's thread pool.
template <class Body>
void for_rows(std::ptrdiff_t rows, Body body) {
  if (rows <= 0) return;
  cv::parallel_for_(cv::Range(0, static_cast<int>(rows)), [&](const cv::Range& range) {
    body(static_cast<std::ptrdiff_t>(range.start), static_cast<std::ptrdiff_t>(range.end));
  });
}

template <class T>
void nearest_pass(const Strided2D& map, const ImageView& img, std::uint8_t* out) {
  const std::ptrdiff_t H = img.rows, W = img.cols;
  const std::uint64_t n = static_cast<std::uint64_t>(H * W);
  const std::ptrdiff_t mcols = std::min(map.cols, W);
  const std::ptrdiff_t mrows = std::min(map.rows, H);
  const std::ptrdiff_t cs = map.col_step;
  const std::uint8_t* src = img.data;
  for_rows(H, [&](std::ptrdiff_t r0, std::ptrdiff_t r1) {
    for (std::ptrdiff_t r = r0; r < r1; ++r) {
      std::uint8_t* o = out + r * W;
      std::ptrdiff_t c = 0;
      if (r < mrows) {
        const T* m = row_ptr<T>(map, r);
        for (; c < mcols; ++c) {
          const std::uint64_t v = as_flat(m[c * cs]);
          const bool ok = v < n;
          const std::uint8_t p = src[ok ? v : 0];
          o[c] = ok ? p : 0;
        }
      }
      std::memset(o + c, 0, static_cast<std::size_t>(W - c));
    }
  });
}

// One output row. Contig: the map and all weights have a column step of 1.
template <bool Contig, class M, class Wt>
void bilinear_row_impl(const M* m, std::ptrdiff_t mcs, std::ptrdiff_t ncols, const Wt* const w[4],
                       const std::ptrdiff_t ws[4], const std::uint8_t* src, std::uint64_t n,
                       const Neighbours& nb, std::uint8_t* o) {
  const Wt *w0 = w[0], *w1 = w[1], *w2 = w[2], *w3 = w[3];
  const std::ptrdiff_t s0 = Contig ? 1 : ws[0], s1 = Contig ? 1 : ws[1];
  const std::ptrdiff_t s2 = Contig ? 1 : ws[2], s3 = Contig ? 1 : ws[3];
  const std::ptrdiff_t ms = Contig ? 1 : mcs;
  const std::uint32_t o2 = nb.off[2], o3 = nb.off[3];
  // Upper-left indices below `fast` have all four neighbours inside the image (and no
  // neighbour index wraps), so they need no test.
  const std::uint64_t w1u = static_cast<std::uint64_t>(o3);
  std::uint64_t fast = n > w1u ? n - w1u : 0;
  fast = std::min<std::uint64_t>(fast, std::uint64_t{INT32_MAX} - std::min<std::uint64_t>(w1u, INT32_MAX) + 1);
  auto pixel = [src, n](std::uint32_t u) -> std::uint64_t {
    const std::uint64_t v = as_flat(static_cast<std::int32_t>(u));
    const bool ok = v < n;
    const std::uint8_t p = src[ok ? v : 0];
    return ok ? p : 0;
  };
  for (std::ptrdiff_t c = 0; c < ncols; ++c) {
    const std::int32_t i1 = to_int32(m[c * ms]);
    const std::uint64_t a = to_uint64(w0[c * s0]), b = to_uint64(w1[c * s1]);
    const std::uint64_t d = to_uint64(w2[c * s2]), e = to_uint64(w3[c * s3]);
    std::uint64_t s;
    if (as_flat(i1) < fast) {
      const std::uint8_t* p = src + i1;
      s = a * p[0] + b * p[1] + d * p[o2] + e * p[o3];
    } else {
      const auto u = static_cast<std::uint32_t>(i1);
      s = a * pixel(u) + b * pixel(u + 1u) + d * pixel(u + o2) + e * pixel(u + o3);
    }
    const std::uint64_t q = s / 65535u;
    o[c] = static_cast<std::uint8_t>(q > 255u ? 255u : q);
  }
}

template <class M, class Wt>
void bilinear_row(const M* m, std::ptrdiff_t mcs, std::ptrdiff_t ncols, const Wt* const w[4],
                  const std::ptrdiff_t ws[4], const std::uint8_t* src, std::uint64_t n,
                  const Neighbours& nb, std::uint8_t* o) {
  if (mcs == 1 && ws[0] == 1 && ws[1] == 1 && ws[2] == 1 && ws[3] == 1) {
    bilinear_row_impl<true>(m, mcs, ncols, w, ws, src, n, nb, o);
  } else {
    bilinear_row_impl<false>(m, mcs, ncols, w, ws, src, n, nb, o);
  }
}

template <class M, class Wt>
void bilinear_pass(const Strided2D& map, const ImageView& img, const Strided2D weights[4],
                   std::uint8_t* out) {
  const std::ptrdiff_t H = img.rows, W = img.cols;
  const std::uint64_t n = static_cast<std::uint64_t>(H * W);
  const std::ptrdiff_t mcols = std::min(map.cols, W);
  const std::ptrdiff_t mrows = std::min(map.rows, H);
  const Neighbours nb(map.cols);
  for_rows(H, [&](std::ptrdiff_t r0, std::ptrdiff_t r1) {
    for (std::ptrdiff_t r = r0; r < r1; ++r) {
      std::uint8_t* o = out + r * W;
      std::ptrdiff_t c = 0;
      if (r < mrows) {
        const Wt* w[4];
        std::ptrdiff_t ws[4];
        for (int k = 0; k < 4; ++k) {
          w[k] = row_ptr<Wt>(weights[k], r);
          ws[k] = weights[k].col_step;
        }
        bilinear_row(row_ptr<M>(map, r), map.col_step, mcols, w, ws, img.data, n, nb, o);
        c = mcols;
      }
      std::memset(o + c, 0, static_cast<std::size_t>(W - c));
    }
  });
}

// Weights of different element types: each row of weights is converted to uint64 first.
template <class M>
void bilinear_pass_mixed(const Strided2D& map, const ImageView& img, const Strided2D weights[4],
                         std::uint8_t* out) {
  const std::ptrdiff_t H = img.rows, W = img.cols;
  const std::uint64_t n = static_cast<std::uint64_t>(H * W);
  const std::ptrdiff_t mcols = std::min(map.cols, W);
  const std::ptrdiff_t mrows = std::min(map.rows, H);
  const Neighbours nb(map.cols);
  for_rows(H, [&](std::ptrdiff_t r0, std::ptrdiff_t r1) {
    std::vector<std::uint64_t> buf(static_cast<std::size_t>(4 * std::max<std::ptrdiff_t>(mcols, 1)));
    const std::uint64_t* w[4];
    const std::ptrdiff_t ws[4] = {1, 1, 1, 1};
    for (int k = 0; k < 4; ++k) w[k] = buf.data() + k * mcols;
    for (std::ptrdiff_t r = r0; r < r1; ++r) {
      std::uint8_t* o = out + r * W;
      std::ptrdiff_t c = 0;
      if (r < mrows) {
        for (int k = 0; k < 4; ++k) {
          std::uint64_t* dst = buf.data() + k * mcols;
          with_type(weights[k].type, [&](auto tag) {
            using Wt = decltype(tag);
            const Wt* src = row_ptr<Wt>(weights[k], r);
            const std::ptrdiff_t s = weights[k].col_step;
            for (std::ptrdiff_t i = 0; i < mcols; ++i) dst[i] = to_uint64(src[i * s]);
          });
        }
        bilinear_row(row_ptr<M>(map, r), map.col_step, mcols, w, ws, img.data, n, nb, o);
        c = mcols;
      }
      std::memset(o + c, 0, static_cast<std::size_t>(W - c));
    }
  });
}

}  // namespace

bool is_integer(ElemType type) { return type != ElemType::F32 && type != ElemType::F64; }

void undistort_nearest(const Strided2D& map, const ImageView& img, std::uint8_t* out) {
  check_image(img);
  if (!is_integer(map.type)) raise_index_error("arrays used as indices must be of integer (or boolean) type");
  with_type(map.type, [&](auto tag) {
    using T = decltype(tag);
    check_bounds<T>(map, img, [](T v) { return as_flat(v); });
    if (img.rows * img.cols == 0) return;
    nearest_pass<T>(map, img, out);
  });
}

void check_bilinear_map(const Strided2D& map, const ImageView& img) {
  check_image(img);
  with_type(map.type, [&](auto tag) { check_bilinear_bounds<decltype(tag)>(map, img); });
}

void undistort_bilinear(const Strided2D& map, const ImageView& img, const Strided2D weights[4],
                        std::uint8_t* out) {
  check_bilinear_map(map, img);
  if (img.rows * img.cols == 0) return;
  const ElemType wt = weights[0].type;
  const bool same = weights[1].type == wt && weights[2].type == wt && weights[3].type == wt;
  with_type(map.type, [&](auto mtag) {
    using M = decltype(mtag);
    if (!same) {
      bilinear_pass_mixed<M>(map, img, weights, out);
      return;
    }
    with_type(wt, [&](auto wtag) { bilinear_pass<M, decltype(wtag)>(map, img, weights, out); });
  });
}

}  // namespace torvel
