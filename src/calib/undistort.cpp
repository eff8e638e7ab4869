#include "calib/undistort.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>
#include <type_traits>
#include <utility>

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

}  // namespace

void check_image_flattenable(const ImageView& img) {
  const std::ptrdiff_t n = img.rows * img.cols;
  if (img.size != n) {
    raise_value_error("cannot reshape array of size " + std::to_string(img.size) +
                      " into shape (" + std::to_string(n) + ",)");
  }
}

namespace {

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
  // A broadcast axis (step 0) repeats one value: looking at its first index is enough.
  const std::ptrdiff_t cols_seen = map.col_step == 0 ? std::min<std::ptrdiff_t>(map.cols, 1) : map.cols;
  const std::ptrdiff_t rows_end = map.row_step == 0 ? std::min(map.rows, H + 1) : map.rows;
  for (std::ptrdiff_t r = H; r < rows_end; ++r) {
    const T* m = row_ptr<T>(map, r);
    for (std::ptrdiff_t c = 0; c < cols_seen; ++c) {
      if (flat(m[c * map.col_step]) < n) raise_out_of_bounds(r, 0, H);
    }
  }
  const std::ptrdiff_t rows_seen = map.row_step == 0 ? std::min<std::ptrdiff_t>(H, 1) : H;
  const std::ptrdiff_t cols_end = map.col_step == 0 ? std::min(map.cols, W + 1) : map.cols;
  for (std::ptrdiff_t r = 0; r < std::min(rows_seen, map.rows); ++r) {
    const T* m = row_ptr<T>(map, r);
    for (std::ptrdiff_t c = W; c < cols_end; ++c) {
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

template <bool Contig, class T>
void nearest_row(const T* m, std::ptrdiff_t step, std::ptrdiff_t count, const std::uint8_t* src,
                 std::uint64_t n, std::uint8_t* o) {
  const std::ptrdiff_t ms = Contig ? 1 : step;
  for (std::ptrdiff_t c = 0; c < count; ++c) {
    const std::uint64_t v = as_flat(m[c * ms]);
    const bool ok = v < n;
    const std::uint8_t p = src[ok ? v : 0];
    o[c] = ok ? p : 0;
  }
}

template <class T>
void nearest_pass(const Strided2D& map, const ImageView& img, std::uint8_t* out) {
  const std::ptrdiff_t H = img.rows, W = img.cols;
  const std::uint64_t n = static_cast<std::uint64_t>(H * W);
  const std::ptrdiff_t mcols = std::min(map.cols, W);
  const std::ptrdiff_t mrows = std::min(map.rows, H);
  for_rows(H, [&](std::ptrdiff_t r0, std::ptrdiff_t r1) {
    for (std::ptrdiff_t r = r0; r < r1; ++r) {
      std::uint8_t* o = out + r * W;
      std::ptrdiff_t c = 0;
      if (r < mrows) {
        const T* m = row_ptr<T>(map, r);
        if (map.col_step == 1) {
          nearest_row<true>(m, 1, mcols, img.data, n, o);
        } else {
          nearest_row<false>(m, map.col_step, mcols, img.data, n, o);
        }
        c = mcols;
      }
      std::memset(o + c, 0, static_cast<std::size_t>(W - c));
    }
  });
}

// ---- bilinear: per block of columns, gather the four neighbours, then weigh them ----

constexpr std::ptrdiff_t kBlock = 64;  // small enough that a block of every stream stays in L1

struct GatherContext {
  const std::uint8_t* src;
  std::uint64_t n;     // pixel count
  std::uint32_t fast;  // upper-left indices i1 with 0 <= i1 < fast need no test
  std::uint32_t below;
  explicit GatherContext(const ImageView& img, const Neighbours& nb)
      : src(img.data), n(static_cast<std::uint64_t>(img.rows * img.cols)), below(nb.off[2]) {
    // i1 + w + 1 < n, and i1 + w + 1 <= INT32_MAX so that no neighbour index wraps.
    const std::uint64_t reach = std::uint64_t{nb.off[3]};
    std::uint64_t f = n > reach ? n - reach : 0;
    f = reach <= INT32_MAX ? std::min<std::uint64_t>(f, std::uint64_t{INT32_MAX} - reach + 1) : 0;
    fast = static_cast<std::uint32_t>(f);
  }
  std::uint32_t pixel(std::uint32_t u) const {
    const std::uint64_t v = as_flat(static_cast<std::int32_t>(u));
    const bool ok = v < n;
    const std::uint8_t p = src[ok ? v : 0];
    return ok ? p : 0u;
  }
};

inline std::uint16_t load_pair(const std::uint8_t* p) {
  if constexpr (std::endian::native == std::endian::little) {
    std::uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
  } else {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
  }
}

// The neighbours of count map entries, two pixels per uint16 (the left one in the low
// byte): top[j] holds (i1, i2), bottom[j] holds (i3, i4); an index outside the image gives 0.
template <bool Contig, class M>
void gather_neighbours(const M* m, std::ptrdiff_t step, std::ptrdiff_t count,
                       const GatherContext& g, std::uint16_t* top, std::uint16_t* bottom) {
  const std::ptrdiff_t ms = Contig ? 1 : step;
  const std::uint8_t* src = g.src;
  const std::uint32_t fast = g.fast, below = g.below;
  for (std::ptrdiff_t j = 0; j < count; ++j) {
    const std::int32_t i1 = to_int32(m[j * ms]);
    const auto u = static_cast<std::uint32_t>(i1);
    if (u < fast) {
      top[j] = load_pair(src + u);
      bottom[j] = load_pair(src + u + below);
    } else {
      top[j] = static_cast<std::uint16_t>(g.pixel(u) | (g.pixel(u + 1u) << 8));
      bottom[j] = static_cast<std::uint16_t>(g.pixel(u + below) | (g.pixel(u + below + 1u) << 8));
    }
  }
}

inline std::uint8_t saturate_quotient(std::uint64_t s) {
  const std::uint64_t q = s / 65535u;
  return static_cast<std::uint8_t>(q > 255u ? 255u : q);
}

// Any weights: uint64 sums, one weight at a time in its own type.
void weigh_generic(const std::uint16_t* top, const std::uint16_t* bottom,
                   const Strided2D weights[4], std::ptrdiff_t r, std::ptrdiff_t c0,
                   std::ptrdiff_t count, std::uint8_t* o) {
  std::uint64_t s[kBlock] = {};
  for (int k = 0; k < 4; ++k) {
    const std::uint16_t* pairs = k < 2 ? top : bottom;
    const int shift = (k % 2) * 8;
    with_type(weights[k].type, [&](auto tag) {
      using Wt = decltype(tag);
      const std::ptrdiff_t step = weights[k].col_step;
      const Wt* w = row_ptr<Wt>(weights[k], r) + c0 * step;
      for (std::ptrdiff_t j = 0; j < count; ++j) {
        s[j] += to_uint64(w[j * step]) * ((pairs[j] >> shift) & 0xFFu);
      }
    });
  }
  for (std::ptrdiff_t j = 0; j < count; ++j) o[j] = saturate_quotient(s[j]);
}

// Weights converted to uint64 as the sum does, stored as uint16; false when one of them
// exceeds 65535 (outside the fixed-point model), which leaves the block to weigh_generic.
template <class Wt>
bool narrow_weights(const Wt* w, std::ptrdiff_t step, std::ptrdiff_t count, std::uint16_t* out) {
  std::uint64_t high = 0;
  if (step == 1) {  // a loop the compiler can vectorise
    for (std::ptrdiff_t j = 0; j < count; ++j) {
      const std::uint64_t v = to_uint64(w[j]);
      high |= v >> 16;
      out[j] = static_cast<std::uint16_t>(v);
    }
  } else {
    for (std::ptrdiff_t j = 0; j < count; ++j) {
      const std::uint64_t v = to_uint64(w[j * step]);
      high |= v >> 16;
      out[j] = static_cast<std::uint16_t>(v);
    }
  }
  return high == 0;
}

// Weights within 0 ... 65535 (as uint16), one pixel: the sum fits 32 bits.
inline std::uint8_t weigh_one(std::uint16_t top, std::uint16_t bottom, const std::uint16_t* const w[4],
                              std::ptrdiff_t j) {
  const std::uint32_t s = w[0][j] * (top & 0xFFu) + w[1][j] * (top >> 8u) +
                          w[2][j] * (bottom & 0xFFu) + w[3][j] * (bottom >> 8u);
  return saturate_quotient(s);
}

#if defined(__SSE2__)
#define TORVEL_INLINE inline __attribute__((always_inline))

// Eight pixels at once: 32-bit sums of 16-bit products, and for s < 2^32
// floor(s / 65535) = (s + (s >> 16) + 1) >> 16; saturated at 255 by the final pack.
TORVEL_INLINE void weigh8(__m128i top, __m128i bottom, const std::uint16_t* const w[4], std::ptrdiff_t j,
                   std::uint8_t* o) {
  const __m128i low_byte = _mm_set1_epi16(0x00FF);
  auto load = [j](const std::uint16_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + j));
  };
  __m128i lo = _mm_setzero_si128(), hi = _mm_setzero_si128();
  auto multiply_add = [&lo, &hi](__m128i wk, __m128i p) {
    const __m128i pl = _mm_mullo_epi16(wk, p), ph = _mm_mulhi_epu16(wk, p);
    lo = _mm_add_epi32(lo, _mm_unpacklo_epi16(pl, ph));
    hi = _mm_add_epi32(hi, _mm_unpackhi_epi16(pl, ph));
  };
  multiply_add(load(w[0]), _mm_and_si128(top, low_byte));
  multiply_add(load(w[1]), _mm_srli_epi16(top, 8));
  multiply_add(load(w[2]), _mm_and_si128(bottom, low_byte));
  multiply_add(load(w[3]), _mm_srli_epi16(bottom, 8));
  const __m128i one = _mm_set1_epi32(1);
  lo = _mm_srli_epi32(_mm_add_epi32(_mm_add_epi32(lo, _mm_srli_epi32(lo, 16)), one), 16);
  hi = _mm_srli_epi32(_mm_add_epi32(_mm_add_epi32(hi, _mm_srli_epi32(hi, 16)), one), 16);
  const __m128i q = _mm_packs_epi32(lo, hi);  // at most 1020
  _mm_storel_epi64(reinterpret_cast<__m128i*>(o), _mm_packus_epi16(q, q));
}

// The neighbour pairs of eight map entries straight into two vectors; false when one of
// them needs the bounds test.
template <bool Contig, class M, std::size_t... K>
TORVEL_INLINE bool gather8(const M* m, std::ptrdiff_t step, const GatherContext& g, __m128i& top,
                    __m128i& bottom, std::index_sequence<K...>) {
  const std::ptrdiff_t ms = Contig ? 1 : step;
  const std::uint32_t u[8] = {static_cast<std::uint32_t>(to_int32(m[K * ms]))...};
  std::uint32_t worst = 0;
  ((worst = std::max(worst, u[K])), ...);
  if (worst >= g.fast) return false;
  const std::uint8_t* s = g.src;
  const std::uint8_t* sb = g.src + g.below;
  __m128i t = _mm_setzero_si128(), b = _mm_setzero_si128();
  ((t = _mm_insert_epi16(t, load_pair(s + u[K]), K)), ...);
  ((b = _mm_insert_epi16(b, load_pair(sb + u[K]), K)), ...);
  top = t;
  bottom = b;
  return true;
}
#undef TORVEL_INLINE
#endif

// One block of an output row whose weights lie within 0 ... 65535.
template <bool Contig, class M>
void bilinear_block_u16(const M* m, std::ptrdiff_t step, std::ptrdiff_t count,
                        const GatherContext& g, const std::uint16_t* const w[4], std::uint8_t* o) {
  const std::ptrdiff_t ms = Contig ? 1 : step;
  std::ptrdiff_t j = 0;
  alignas(16) std::uint16_t top[8], bottom[8];
#if defined(__SSE2__)
  for (; j + 8 <= count; j += 8) {
    __m128i t, b;
    if (!gather8<Contig>(m + j * ms, step, g, t, b, std::make_index_sequence<8>{})) {
      gather_neighbours<Contig>(m + j * ms, step, 8, g, top, bottom);
      t = _mm_load_si128(reinterpret_cast<const __m128i*>(top));
      b = _mm_load_si128(reinterpret_cast<const __m128i*>(bottom));
    }
    weigh8(t, b, w, j, o + j);
  }
#endif
  for (; j < count; ++j) {
    gather_neighbours<Contig>(m + j * ms, step, 1, g, top, bottom);
    o[j] = weigh_one(top[0], bottom[0], w, j);
  }
}

template <class M>
void bilinear_pass(const Strided2D& map, const ImageView& img, const Strided2D weights[4],
                   std::uint8_t* out) {
  const std::ptrdiff_t H = img.rows, W = img.cols;
  const std::ptrdiff_t mcols = std::min(map.cols, W);
  const std::ptrdiff_t mrows = std::min(map.rows, H);
  const std::ptrdiff_t ms = map.col_step;
  const Neighbours nb(map.cols);
  const GatherContext g(img, nb);
  for_rows(H, [&](std::ptrdiff_t r0, std::ptrdiff_t r1) {
    std::uint16_t narrowed[4][kBlock], top[kBlock], bottom[kBlock];
    for (std::ptrdiff_t r = r0; r < r1; ++r) {
      std::uint8_t* o = out + r * W;
      std::ptrdiff_t c0 = 0;
      if (r < mrows) {
        const M* m = row_ptr<M>(map, r);
        for (; c0 < mcols; c0 += kBlock) {
          const std::ptrdiff_t count = std::min(kBlock, mcols - c0);
          const std::uint16_t* w[4];
          bool fits = true;
          for (int k = 0; k < 4 && fits; ++k) {
            const Strided2D& wk = weights[k];
            if (wk.type == ElemType::U16 && wk.col_step == 1) {
              w[k] = row_ptr<std::uint16_t>(wk, r) + c0;
              continue;
            }
            with_type(wk.type, [&](auto tag) {
              using Wt = decltype(tag);
              fits = narrow_weights(row_ptr<Wt>(wk, r) + c0 * wk.col_step, wk.col_step, count,
                                    narrowed[k]);
            });
            w[k] = narrowed[k];
          }
          if (!fits) {
            gather_neighbours<false>(m + c0 * ms, ms, count, g, top, bottom);
            weigh_generic(top, bottom, weights, r, c0, count, o + c0);
          } else if (ms == 1) {
            bilinear_block_u16<true>(m + c0, 1, count, g, w, o + c0);
          } else {
            bilinear_block_u16<false>(m + c0 * ms, ms, count, g, w, o + c0);
          }
        }
        c0 = mcols;
      }
      std::memset(o + c0, 0, static_cast<std::size_t>(W - c0));
    }
  });
}

}  // namespace

bool is_integer(ElemType type) { return type != ElemType::F32 && type != ElemType::F64; }

void undistort_nearest(const Strided2D& map, const ImageView& img, std::uint8_t* out) {
  check_image_flattenable(img);
  if (!is_integer(map.type)) raise_index_error("arrays used as indices must be of integer (or boolean) type");
  with_type(map.type, [&](auto tag) {
    using T = decltype(tag);
    check_bounds<T>(map, img, [](T v) { return as_flat(v); });
    if (img.rows * img.cols == 0) return;
    nearest_pass<T>(map, img, out);
  });
}

void check_bilinear_map(const Strided2D& map, const ImageView& img) {
  check_image_flattenable(img);
  with_type(map.type, [&](auto tag) { check_bilinear_bounds<decltype(tag)>(map, img); });
}

void undistort_bilinear(const Strided2D& map, const ImageView& img, const Strided2D weights[4],
                        std::uint8_t* out) {
  check_bilinear_map(map, img);
  if (img.rows * img.cols == 0) return;
  with_type(map.type, [&](auto tag) { bilinear_pass<decltype(tag)>(map, img, weights, out); });
}

}  // namespace torvel
