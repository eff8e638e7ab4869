#include "numeric/sequential_sum.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace torvel {
namespace {

double added_one_by_one(double s, const std::vector<double>& terms) {
  for (double t : terms) s = s + t;
  return s;
}

// Terms of one kind: each kind drives the sum through a case where adding as integers
// would go wrong if the bounds missed it.
std::vector<double> terms_of_kind(int kind, std::size_t n, std::mt19937_64& rng) {
  std::normal_distribution<double> normal;
  std::vector<double> t(n);
  for (double& v : t) {
    const double x = normal(rng);
    switch (kind) {
      case 0: v = 300.0 * x; break;                                   // a walk across zero
      case 1: v = x * x; break;                                       // a growing sum
      case 2: v = std::ldexp(std::round(8.0 * x), -static_cast<int>(rng() % 4)); break;  // ties
      case 3: v = std::ldexp(x, static_cast<int>(rng() % 200) - 100); break;  // binades apart
      case 4: v = rng() % 60 == 0 ? (rng() % 2 ? 1e308 : -1e308) : x; break;  // overflow
      case 5: v = rng() % 7 == 0 ? 0.0 : 1e-310 * x; break;           // subnormal
      case 6: v = rng() % 500 == 0 ? std::nan("") : x + 40.0; break;  // NaN
      default: v = std::ldexp(std::round(1e4 * x), -50); break;       // around 2^k, below
    }
  }
  return t;
}

TEST(SequentialSum, GivesTheBitsOfTheLoop) {
  std::mt19937_64 rng(7);
  for (int trial = 0; trial < 1400; ++trial) {
    const int kind = trial % 8;
    const std::vector<double> terms = terms_of_kind(kind, 1 + rng() % 3000, rng);
    double start = trial % 3 == 0 ? 0.0 : 1000.0 * std::normal_distribution<double>()(rng);
    if (kind == 7) start = trial % 2 ? 1024.0 : -2048.0;  // a power of two
    // Every kind as it is, and its magnitudes for the non-negative form (from a start of
    // either sign, so that the sum also shrinks toward zero).
    std::vector<double> magnitudes = terms;
    for (double& v : magnitudes) v = std::fabs(v);
    for (const bool non_negative : {false, true}) {
      const std::vector<double>& t = non_negative ? magnitudes : terms;
      SequentialSum sum(start);
      for (std::size_t i = 0; i < t.size();) {  // in blocks of any size
        const std::size_t count = std::min<std::size_t>(t.size() - i, 1 + rng() % 300);
        if (non_negative) {
          sum.add_non_negative(t.data() + i, count);
        } else {
          sum.add(t.data() + i, count);
        }
        i += count;
      }
      const double want = added_one_by_one(start, t);
      ASSERT_EQ(std::bit_cast<std::uint64_t>(sum.value()), std::bit_cast<std::uint64_t>(want))
          << "kind " << kind << (non_negative ? " magnitudes" : "") << ", " << t.size()
          << " terms: " << sum.value() << " vs " << want;
    }
  }
}

}  // namespace
}  // namespace torvel
