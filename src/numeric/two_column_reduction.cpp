#include "numeric/two_column_reduction.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cmath>

#include "numeric/finite.h"
#include "numeric/norm_range.h"
#include "numeric/reflection.h"
#include "numeric/sequential_sum.h"
#include "support/simd.h"

namespace torvel {
namespace {

// dlarf's extent of v: one past its last non-zero entry (v[first] is 1). `at(i)` is v[i].
template <typename V>
std::size_t reflector_length(std::size_t first, std::size_t m, V at) {
  std::size_t last = m;
  while (last > first + 1 && at(last - 1) == 0.0) --last;
  return last;
}

// x and b less their offsets, in a loop of its own that runs in vector lanes; whether all
// the centred values are finite.
TORVEL_VECTOR_CLONES
bool centre_rows(double* x, double* b, std::size_t m, double o0, double o1, double ob) {
  std::uint64_t non_finite = 0;
  for (std::size_t i = 0; i < m; ++i) {
    const double a0 = x[2 * i] - o0, a1 = x[2 * i + 1] - o1, bi = b[i] - ob;
    x[2 * i] = a0;
    x[2 * i + 1] = a1;
    b[i] = bi;
    non_finite |= not_finite(a0) | not_finite(a1) | not_finite(bi);
  }
  return non_finite == 0;
}

// Pass 1: the norm of column 0 below its first row and the magnitudes dgelsd scales by.
struct FirstPass {
  double squares = 0.0, a_max = 0.0, b_max = 0.0;
  bool plain = true;
};

// Rows per block of squares handed to the sequential sum.
constexpr std::size_t kSquares = 256;

// The bit patterns of magnitudes order as the magnitudes do, and in integers the largest
// and smallest run in vector lanes. A non-finite value has the largest patterns of all.
constexpr std::uint64_t kMagnitude = 0x7fffffffffffffffull;
constexpr std::uint64_t kInfinityBits = 0x7ff0000000000000ull;

inline std::uint64_t magnitude_bits(double v) {
  return std::bit_cast<std::uint64_t>(v) & kMagnitude;
}

struct Extremes {
  std::uint64_t a = 0, b = 0, largest = 0, smallest = kInfinityBits;  // magnitudes' bits
};

// The squares of count values `step` apart, with the extremes of their non-zero magnitudes.
// On interleaved rows (step 2, column 0 squared) also the largest magnitudes of both columns
// (e.a) and of b (e.b). (Inlined into each vector version below; less one, a zero magnitude
// wraps to the largest integer and never is the smallest.)
template <std::size_t step>
[[gnu::always_inline]] inline void square_into(const double* __restrict c,
                                               const double* __restrict b, std::size_t count,
                                               double* __restrict squares, Extremes& e) {
  std::uint64_t largest = e.largest, below_smallest = e.smallest - 1;
  std::uint64_t a_largest = e.a, b_largest = e.b;
  for (std::size_t k = 0; k < count; ++k) {
    const double mk = std::fabs(c[k * step]);
    squares[k] = mk * mk;
    const std::uint64_t u = magnitude_bits(c[k * step]);
    largest = std::max(largest, u);
    below_smallest = std::min(below_smallest, u - 1);
    if constexpr (step == 2) {
      a_largest = std::max(a_largest, std::max(u, magnitude_bits(c[2 * k + 1])));
      b_largest = std::max(b_largest, magnitude_bits(b[k]));
    }
  }
  e.largest = largest;
  e.smallest = below_smallest + 1;
  e.a = a_largest;
  e.b = b_largest;
}

TORVEL_VECTOR_CLONES
void square_values(const double* c, std::size_t count, double* squares, Extremes& e) {
  square_into<1>(c, nullptr, count, squares, e);
}

// Column 0 of interleaved rows, with the rows' b.
TORVEL_VECTOR_CLONES
void square_column0(const double* x, const double* b, std::size_t count, double* squares,
                    Extremes& e) {
  square_into<2>(x, b, count, squares, e);
}

// The first pass fed block after block (rows 1 ..; row 0 is the reflection's pivot).
class FirstPassSums {
 public:
  FirstPassSums(const double* x, const double* b) {
    e_.a = std::max(magnitude_bits(x[0]), magnitude_bits(x[1]));
    e_.b = magnitude_bits(b[0]);
  }
  void add(const double* x, const double* b, std::size_t count) {
    double block[kSquares];
    square_column0(x, b, count, block, e_);
    squares_.add_non_negative(block, count);
  }
  FirstPass result() const {
    FirstPass f;
    f.squares = squares_.value();
    f.a_max = std::bit_cast<double>(e_.a);
    f.b_max = std::bit_cast<double>(e_.b);
    // Anything not finite leaves the reduction to LAPACK.
    f.plain = e_.a < kInfinityBits && e_.b < kInfinityBits &&
              in_plain_norm_range(std::bit_cast<double>(e_.smallest),
                                  std::bit_cast<double>(e_.largest));
    return f;
  }

 private:
  Extremes e_;
  SequentialSum squares_;
};

FirstPass first_pass(const double* x, const double* b, std::size_t m) {
  FirstPassSums first(x, b);
  for (std::size_t i = 1; i < m; i += kSquares) first.add(x + 2 * i, b + i, std::min(kSquares, m - i));
  return first.result();
}

// Rows [from, to) of column 1 and b updated by H1: c = x1 + v * tc, bb = b + v * tb with
// v = scale * x0.
TORVEL_VECTOR_CLONES
void update_rows(const double* __restrict x, const double* __restrict b, std::size_t from,
                 std::size_t to, double scale, double tc, double tb, double* __restrict c,
                 double* __restrict bb) {
  for (std::size_t i = from; i < to; ++i) {
    const double v = scale * x[2 * i];
    c[i] = x[2 * i + 1] + v * tc;
    bb[i] = b[i] + v * tb;
  }
}

// The terms of b . v over rows [from, to) of v = scale * c (the reflector dlarfg scaled).
TORVEL_VECTOR_CLONES
void reflected_products(const double* __restrict b, const double* __restrict c, double scale,
                        std::size_t from, std::size_t to, double* __restrict terms) {
  for (std::size_t i = from; i < to; ++i) terms[i - from] = b[i] * (scale * c[i]);
}

bool reduce_centred(const double* x, const double* b, std::size_t m, double* scratch,
                    const FirstPass& first, TwoColumnReduction& out);

}  // namespace

bool reduce_two_columns(const double* x, const double* b, std::size_t m, double* scratch,
                        TwoColumnReduction& out) {
  if (m < 2) return false;
  return reduce_centred(x, b, m, scratch, first_pass(x, b, m), out);
}

Reduction centre_and_reduce_two_columns(double* x, double* b, std::size_t m,
                                        const double* x_offset, double y_offset,
                                        double* scratch, TwoColumnReduction& out) {
  const double o0 = x_offset[0], o1 = x_offset[1];
  if (m < 2) {
    return centre_rows(x, b, m, o0, o1, y_offset) ? Reduction::NotPlain : Reduction::NotFinite;
  }
  // The first pass block by block right behind the centring, while the block is in cache.
  if (!centre_rows(x, b, 1, o0, o1, y_offset)) {
    centre_rows(x + 2, b + 1, m - 1, o0, o1, y_offset);
    return Reduction::NotFinite;
  }
  FirstPassSums first(x, b);
  for (std::size_t i = 1; i < m; i += kSquares) {
    const std::size_t count = std::min(kSquares, m - i);
    if (!centre_rows(x + 2 * i, b + i, count, o0, o1, y_offset)) {
      centre_rows(x + 2 * (i + count), b + i + count, m - i - count, o0, o1, y_offset);
      return Reduction::NotFinite;
    }
    first.add(x + 2 * i, b + i, count);
  }
  return reduce_centred(x, b, m, scratch, first.result(), out) ? Reduction::Done
                                                                : Reduction::NotPlain;
}

namespace {

bool reduce_centred(const double* x, const double* b, std::size_t m, double* scratch,
                    const FirstPass& first, TwoColumnReduction& out) {
  if (!first.plain) return false;
  out.a_max = first.a_max;
  out.b_max = first.b_max;
  double squares = first.squares;
  const Reflection h1 = reflect(x[0], std::sqrt(squares));
  out.r11 = h1.beta;

  // H1 = I - tau v v^T applied to column 1 and to b: w = C^T v (dgemv, from 0, then
  // 0 + 1 * w), C += v (-tau w) (dger, skipped for w = 0). Row 0 of v is 1.
  const auto v1 = [&](std::size_t i) { return h1.scale * x[2 * i]; };
  const std::size_t rows1 = h1.tau == 0.0 ? 0 : reflector_length(0, m, v1);
  double wc = 0.0, wb = 0.0;
  if (rows1 > 0) {
    wc = wc + x[1] * 1.0;
    wb = wb + b[0] * 1.0;
  }
  for (std::size_t i = 1; i < rows1; ++i) {
    const double v = v1(i);
    wc = wc + x[2 * i + 1] * v;
    wb = wb + b[i] * v;
  }
  wc = 0.0 + 1.0 * wc;
  wb = 0.0 + 1.0 * wb;
  const bool update_c = rows1 > 0 && wc != 0.0, update_b = rows1 > 0 && wb != 0.0;
  const double tc = -h1.tau * wc, tb = -h1.tau * wb;

  // Pass 3: the updated column 1 and b, and the norm of column 1 below its second row.
  double* c = scratch;
  double* bb = scratch + m;
  const auto update = [&](std::size_t i) {
    const double v = i == 0 ? 1.0 : v1(i);
    c[i] = update_c && i < rows1 ? x[2 * i + 1] + v * tc : x[2 * i + 1];
    bb[i] = update_b && i < rows1 ? b[i] + v * tb : b[i];
  };
  update(0);
  update(1);
  // The common case, both updated over the reflector's rows, runs in vector lanes.
  const std::size_t updated = update_c && update_b ? std::max<std::size_t>(rows1, 2) : 2;
  SequentialSum column1_squares;
  Extremes e;
  double block[kSquares];
  for (std::size_t i = 2; i < m; i += kSquares) {
    const std::size_t end = std::min(m, i + kSquares);
    const std::size_t split = std::clamp(updated, i, end);
    update_rows(x, b, i, split, h1.scale, tc, tb, c, bb);
    for (std::size_t k = split; k < end; ++k) update(k);
    square_values(c + i, end - i, block, e);
    column1_squares.add_non_negative(block, end - i);
  }
  squares = column1_squares.value();
  const double smallest = std::bit_cast<double>(e.smallest);
  const double largest = std::bit_cast<double>(e.largest);
  if (!in_plain_norm_range(smallest, largest)) return false;
  out.r12 = c[0];
  const Reflection h2 = reflect(c[1], std::sqrt(squares));
  out.r22 = h2.beta;

  // H2 on rows 1.. of b: only Q^T b's second value is wanted.
  out.qtb0 = bb[0];
  out.qtb1 = bb[1];
  if (h2.tau == 0.0) return true;
  const auto v2 = [&](std::size_t i) { return h2.scale * c[i]; };
  const std::size_t rows2 = reflector_length(1, m, v2);
  SequentialSum dot(0.0 + bb[1] * 1.0);
  for (std::size_t i = 2; i < rows2; i += kSquares) {
    const std::size_t end = std::min(rows2, i + kSquares);
    reflected_products(bb, c, h2.scale, i, end, block);
    dot.add(block, end - i);
  }
  const double w = 0.0 + 1.0 * dot.value();
  if (w != 0.0) out.qtb1 = bb[1] + 1.0 * (-h2.tau * w);
  return true;
}

}  // namespace
}  // namespace torvel
