#include "numeric/sequential_sum.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>

#include "support/simd.h"

namespace torvel {
namespace {

using Lanes = double __attribute__((vector_size(64)));            // eight doubles
using LaneBits = std::int64_t __attribute__((vector_size(64)));   // their bit patterns

// Terms per group: the unit that is either added as integers or one term at a time.
constexpr std::size_t kGroup = 32;

constexpr std::int64_t kBinadeLow = std::int64_t{1} << 52;   // |s| / u lies in [2^52, 2^53)
constexpr std::int64_t kBinadeHigh = std::int64_t{1} << 53;
// Integer increments this large, or a flagged tie, send the group down the plain path.
constexpr double kTooLarge = 0x1p52;

// One binade's state: |s| = (start + moved) * u, with start and start + moved in [2^52, 2^53).
struct Binade {
  double inv_u;
  std::int64_t start, sign, moved = 0;
};

// Adds whole groups of terms from the start of `terms` as integers in units of u while the
// bounds allow; returns how many terms it added. A group's increments rint(t / u) come from
// adding and removing 1.5 * 2^52, exact for |t / u| below 2^51 (larger ones fail the bound);
// their partial sums are integers below 2^53, exact in any lane order. A group goes through
// when no term ties and every partial sum, and the exact value each addition rounds, stays
// strictly inside the binade: the group's summed magnitudes bound how far it can move.
template <bool kNonNegative>
[[gnu::always_inline]] inline std::size_t add_groups(const double* terms, std::size_t n,
                                                     Binade& b) {
  constexpr double kRound = 0x1.8p52;
  const LaneBits magnitude_bits = LaneBits{} + 0x7fffffffffffffff;
  const double inv_u = b.inv_u;
  const auto total = [](const Lanes& v) {
    const auto half = __builtin_shufflevector(v, v, 0, 1, 2, 3) +
                      __builtin_shufflevector(v, v, 4, 5, 6, 7);
    const auto quarter = __builtin_shufflevector(half, half, 0, 1) +
                         __builtin_shufflevector(half, half, 2, 3);
    return quarter[0] + quarter[1];
  };
  const auto largest = [](const Lanes& v) {
    const auto low = __builtin_shufflevector(v, v, 0, 1, 2, 3);
    const auto high = __builtin_shufflevector(v, v, 4, 5, 6, 7);
    const auto half = low > high ? low : high;
    const auto half_low = __builtin_shufflevector(half, half, 0, 1);
    const auto half_high = __builtin_shufflevector(half, half, 2, 3);
    const auto quarter = half_low > half_high ? half_low : half_high;
    return quarter[0] > quarter[1] ? quarter[0] : quarter[1];
  };
  std::size_t i = 0;
  std::int64_t now = b.start + b.moved;
  for (; i + kGroup <= n; i += kGroup) {
    Lanes sum{}, magnitude{}, off_most{};
    for (std::size_t k = 0; k < kGroup; k += 8) {
      Lanes t;
      std::memcpy(&t, terms + i + k, sizeof t);
      const Lanes q = t * inv_u;
      const Lanes d = (q + kRound) - kRound;
      const Lanes off = reinterpret_cast<Lanes>(reinterpret_cast<LaneBits>(q - d) & magnitude_bits);
      off_most = off > off_most ? off : off_most;
      sum += d;
      // Terms of one sign move the sum as far as their magnitudes reach.
      if constexpr (!kNonNegative)
        magnitude += reinterpret_cast<Lanes>(reinterpret_cast<LaneBits>(d) & magnitude_bits);
    }
    const double reach = total(kNonNegative ? sum : magnitude);
    if (!(reach < kTooLarge)) break;  // also NaN
    if (largest(off_most) == 0.5) break;  // a tie: the parity of s decides
    const auto r = static_cast<std::int64_t>(reach);
    if (now - r < kBinadeLow + 1 || now + r > kBinadeHigh - 2) break;
    now += b.sign * (kNonNegative ? r : static_cast<std::int64_t>(total(sum)));
  }
  b.moved = now - b.start;
  return i;
}

TORVEL_VECTOR_CLONES
std::size_t add_as_integers(const double* terms, std::size_t n, Binade& b) {
  return add_groups<false>(terms, n, b);
}

TORVEL_VECTOR_CLONES
std::size_t add_non_negative_as_integers(const double* terms, std::size_t n, Binade& b) {
  return add_groups<true>(terms, n, b);
}

// Where the integer groups run. s's biased exponent field e puts a normal s in the binade
// [2^(e - 1023), 2^(e - 1022)), whose ulp u = 2^(e - 1075) has the field e - 52, and
// 1 / u = 2^(1075 - e) the field 2 * 1023 + 52 - e = 2098 - e.
constexpr std::int64_t kFieldBias = std::numeric_limits<double>::max_exponent - 1;  // 1023
constexpr std::int64_t kFractionBits = std::numeric_limits<double>::digits - 1;     // 52
constexpr std::int64_t kInverseUlpField = 2 * kFieldBias + kFractionBits;            // 2098
// u and 1 / u are normal powers of two (fields 1 to 2046) for 53 <= e <= 2097. The groups run
// with a margin inside that: 63 binades clear of either end of the field's range (0: zero and
// subnormals; 2047: infinity and NaN). Elsewhere the sum goes one term at a time.
constexpr std::int64_t kEdgeBinades = 63;
constexpr std::int64_t kLowestField = 1 + kEdgeBinades;      // 64
constexpr std::int64_t kHighestField = 2047 - kEdgeBinades;  // 1984
static_assert(kLowestField - kFractionBits >= 1 && kInverseUlpField - kLowestField <= 2046);
static_assert(kHighestField - kFractionBits <= 2046 && kInverseUlpField - kHighestField >= 1);

}  // namespace

void SequentialSum::add(const double* terms, std::size_t n) { add_terms(terms, n, false); }

void SequentialSum::add_non_negative(const double* terms, std::size_t n) {
  add_terms(terms, n, true);
}

void SequentialSum::add_terms(const double* terms, std::size_t n, bool non_negative) {
  double s = sum_;
  std::size_t i = 0;
  while (i < n) {
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(s);
    const auto exponent = static_cast<std::int64_t>((bits >> kFractionBits) & 0x7ff);
    if (exponent >= kLowestField && exponent <= kHighestField && i + kGroup <= n) {
      Binade b{.inv_u = std::bit_cast<double>(
                   static_cast<std::uint64_t>(kInverseUlpField - exponent) << kFractionBits),
               .start = static_cast<std::int64_t>(bits & 0xfffffffffffffull) | kBinadeLow,
               .sign = (bits >> 63) != 0 ? -1 : 1};
      const std::size_t added = non_negative ? add_non_negative_as_integers(terms + i, n - i, b)
                                             : add_as_integers(terms + i, n - i, b);
      if (added > 0) {
        const double u = std::bit_cast<double>(static_cast<std::uint64_t>(exponent - kFractionBits)
                                               << kFractionBits);
        const double magnitude = static_cast<double>(b.start + b.moved) * u;
        s = b.sign < 0 ? -magnitude : magnitude;
        i += added;
        if (i == n) break;
      }
    }
    const std::size_t end = i + kGroup < n ? i + kGroup : n;
    for (; i < end; ++i) s = s + terms[i];
  }
  sum_ = s;
}

}  // namespace torvel
