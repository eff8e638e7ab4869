// The random draws of NumPy's legacy RandomState and of scikit-learn's
// sample_without_replacement, word for word.
//
// LegacyRandom(seed) is MT19937 with the plain integer seeding (std::mt19937(seed) gives the
// same 32-bit words as RandomState(seed)). Every bounded draw below uses 32-bit words one at a
// time with masked rejection, exactly as the legacy generator does; ranges wider than 32 bits
// are not needed here and are rejected.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace torvel {

class LegacyRandom {
 public:
  explicit LegacyRandom(std::uint32_t seed) : engine_(seeded(seed)) {}

  std::uint32_t next_word() { return static_cast<std::uint32_t>(engine_()); }

  // Uniform integer in [0, max] by masked rejection (NumPy's random_interval). max = 0 draws
  // nothing. max must be below 2^32.
  std::uint64_t interval(std::uint64_t max);

  // randint(low, high): uniform in [low, high), masked rejection on r = high - 1 - low; r = 0
  // draws nothing, r = 2^32 - 1 takes one plain word. Requires low < high, r < 2^32.
  std::int64_t randint(std::int64_t low, std::int64_t high);

  // permutation(n): 0..n-1 shuffled from the back (n - 1 interval draws).
  void permutation(std::size_t n, std::vector<std::size_t>& out);

  std::size_t words_used() const { return words_; }

 private:
  // The engine as seeded: every fit seeds the same way, so the seeding is done once per thread
  // and seed.
  static const std::mt19937& seeded(std::uint32_t seed);

  std::uint32_t word() {
    ++words_;
    return next_word();
  }
  std::mt19937 engine_;
  std::size_t words_ = 0;
};

// scikit-learn's sample_without_replacement(n, k, method="auto"): k distinct indices of
// 0..n-1. ratio = k / n (double); 0.01 < ratio < 0.99 takes the first k entries of a full
// permutation(n); otherwise ratio < 0.2 uses tracking selection (randint(0, n) redrawn while
// already chosen, draw order) and anything else reservoir sampling (n = k draws nothing and
// gives 0..k-1). Requires 0 < k <= n.
class SubsetSampler {
 public:
  enum class Method { Permutation, Tracking, Reservoir };
  SubsetSampler(std::size_t n, std::size_t k);
  Method method() const { return method_; }
  // Writes the next subset into out (resized to k).
  void draw(LegacyRandom& rng, std::vector<std::size_t>& out);

 private:
  std::size_t n_, k_;
  Method method_;
  std::vector<std::size_t> scratch_;
};

}  // namespace torvel
