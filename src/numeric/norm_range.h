// Where the reference BLAS's norm (dnrm2) is a plain sum of squares: it adds the squares of
// magnitudes in [tsml, tbig] as they are and scales the others, with
//   tsml = 2^ceil((minexponent - 1) / 2) = 2^-511,
//   tbig = 2^floor((maxexponent - digits + 1) / 2) = 2^486
// in Fortran's model of double (minexponent -1021, maxexponent 1024, digits 53: the values
// of std::numeric_limits<double>). Squares of such magnitudes are normal and their sums do not
// overflow, so the written-out reflections reproduce the libraries only inside this range.
#pragma once

#include <limits>

namespace torvel {

namespace norm_range_detail {

constexpr double power_of_two(int e) {
  double v = 1.0;
  for (; e > 0; --e) v *= 2.0;
  for (; e < 0; ++e) v /= 2.0;
  return v;
}

constexpr int ceil_half(int v) { return v >= 0 ? (v + 1) / 2 : v / 2; }
constexpr int floor_half(int v) { return v >= 0 ? v / 2 : (v - 1) / 2; }

using Limits = std::numeric_limits<double>;

}  // namespace norm_range_detail

inline constexpr double kNormPlainSmallest = norm_range_detail::power_of_two(
    norm_range_detail::ceil_half(norm_range_detail::Limits::min_exponent - 1));
inline constexpr double kNormPlainLargest = norm_range_detail::power_of_two(
    norm_range_detail::floor_half(norm_range_detail::Limits::max_exponent -
                                  norm_range_detail::Limits::digits + 1));
static_assert(kNormPlainSmallest == 0x1p-511 && kNormPlainLargest == 0x1p486);

// Whether values whose smallest non-zero magnitude (infinity: there is none) and largest
// magnitude are these all lie in the plain range.
inline bool in_plain_norm_range(double smallest_nonzero, double largest) {
  return smallest_nonzero >= kNormPlainSmallest && largest <= kNormPlainLargest;
}

}  // namespace torvel
