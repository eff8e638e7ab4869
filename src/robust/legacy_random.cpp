#include "robust/legacy_random.h"

#include <algorithm>
#include <numeric>

#include "support/error.h"

namespace torvel {

namespace {

std::uint32_t mask_for(std::uint32_t r) {
  std::uint32_t mask = r;
  mask |= mask >> 1;
  mask |= mask >> 2;
  mask |= mask >> 4;
  mask |= mask >> 8;
  mask |= mask >> 16;
  return mask;
}

}  // namespace

const std::mt19937& LegacyRandom::seeded(std::uint32_t seed) {
  thread_local std::uint32_t last_seed = 0;
  thread_local std::mt19937 engine(0);
  if (seed != last_seed) {
    engine.seed(seed);
    last_seed = seed;
  }
  return engine;
}

std::uint64_t LegacyRandom::interval(std::uint64_t max) {
  if (max == 0) return 0;
  if (max > 0xFFFFFFFFull) raise_value_error("interval: range wider than 32 bits");
  const auto r = static_cast<std::uint32_t>(max);
  const std::uint32_t mask = mask_for(r);
  std::uint32_t value;
  while ((value = (word() & mask)) > r) {
  }
  return value;
}

std::int64_t LegacyRandom::randint(std::int64_t low, std::int64_t high) {
  if (!(low < high)) raise_value_error("low >= high");
  const std::uint64_t r = static_cast<std::uint64_t>(high) - 1u - static_cast<std::uint64_t>(low);
  if (r == 0) return low;
  if (r > 0xFFFFFFFFull) raise_value_error("randint: range wider than 32 bits");
  if (r == 0xFFFFFFFFull) return low + static_cast<std::int64_t>(word());
  const auto r32 = static_cast<std::uint32_t>(r);
  const std::uint32_t mask = mask_for(r32);
  std::uint32_t value;
  while ((value = (word() & mask)) > r32) {
  }
  return low + static_cast<std::int64_t>(value);
}

void LegacyRandom::permutation(std::size_t n, std::vector<std::size_t>& out) {
  out.resize(n);
  std::iota(out.begin(), out.end(), std::size_t{0});
  for (std::size_t i = n; i-- > 1;) {
    const auto j = static_cast<std::size_t>(interval(i));
    std::swap(out[i], out[j]);
  }
}

SubsetSampler::SubsetSampler(std::size_t n, std::size_t k) : n_(n), k_(k) {
  if (k == 0 || k > n) raise_value_error("sample size must be in [1, population]");
  const double ratio = static_cast<double>(k) / static_cast<double>(n);
  if (ratio > 0.01 && ratio < 0.99) {
    method_ = Method::Permutation;
  } else if (ratio < 0.2) {
    method_ = Method::Tracking;
  } else {
    method_ = Method::Reservoir;
  }
}

void SubsetSampler::draw(LegacyRandom& rng, std::vector<std::size_t>& out) {
  out.resize(k_);
  const auto n = static_cast<std::int64_t>(n_);
  switch (method_) {
    case Method::Permutation:
      rng.permutation(n_, scratch_);
      std::copy_n(scratch_.begin(), k_, out.begin());
      break;
    case Method::Tracking:
      // k is tiny here (k / n < 0.01), so a linear membership scan is the fastest set.
      for (std::size_t i = 0; i < k_; ++i) {
        std::size_t j;
        do {
          j = static_cast<std::size_t>(rng.randint(0, n));
        } while (std::find(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(i), j) !=
                 out.begin() + static_cast<std::ptrdiff_t>(i));
        out[i] = j;
      }
      break;
    case Method::Reservoir:
      std::iota(out.begin(), out.end(), std::size_t{0});
      for (std::size_t i = k_; i < n_; ++i) {
        const auto j = static_cast<std::size_t>(rng.randint(0, static_cast<std::int64_t>(i) + 1));
        if (j < k_) out[j] = i;
      }
      break;
  }
}

}  // namespace torvel
