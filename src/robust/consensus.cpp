#include "robust/consensus.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "support/compress.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define TORVEL_CONSENSUS_AVX2 1
#else
#define TORVEL_CONSENSUS_AVX2 0
#endif

namespace torvel {
namespace {

enum class Source { Given, OneColumn, TwoColumns, TwoInterleaved };

// Samples between checks of whether the trial can still reach the wanted count.
constexpr std::size_t kBlock = 512;

template <Source source>
inline double prediction(const ConsensusInput& in, std::size_t i) {
  if constexpr (source == Source::Given) {
    return in.predictions[i];
  } else if constexpr (source == Source::OneColumn) {
    return in.x0[i * in.step] * in.c0 + in.intercept;
  } else {
    return (in.x0[i * in.step] * in.c0 + in.x1[i * in.step] * in.c1) + in.intercept;
  }
}

// Samples [from, to) one at a time: every index is stored, the count advances only for a
// kept one.
template <Source source>
std::size_t gather_scalar(const ConsensusInput& in, double threshold, std::size_t from,
                          std::size_t to, std::size_t kept, std::size_t* indices) {
  for (std::size_t i = from; i < to; ++i) {
    indices[kept] = i;
    kept += static_cast<std::size_t>(std::fabs(in.y[i] - prediction<source>(in, i)) <= threshold);
  }
  return kept;
}

#if TORVEL_CONSENSUS_AVX2

// Four samples' predictions from i on.
template <Source source>
__attribute__((target("avx2"))) inline __m256d predict4(const ConsensusInput& in, std::size_t i,
                                                        __m256d c0, __m256d c1,
                                                        __m256d intercept) {
  if constexpr (source == Source::Given) {
    return _mm256_loadu_pd(in.predictions + i);
  } else if constexpr (source == Source::OneColumn) {
    return _mm256_add_pd(_mm256_mul_pd(_mm256_loadu_pd(in.x0 + i), c0), intercept);
  } else {
    __m256d x0, x1;
    if constexpr (source == Source::TwoInterleaved) {
      const __m256d a = _mm256_loadu_pd(in.x0 + 2 * i);      // s0.x0 s0.x1 s1.x0 s1.x1
      const __m256d b = _mm256_loadu_pd(in.x0 + 2 * i + 4);  // s2.x0 s2.x1 s3.x0 s3.x1
      x0 = _mm256_permute4x64_pd(_mm256_unpacklo_pd(a, b), 0xD8);
      x1 = _mm256_permute4x64_pd(_mm256_unpackhi_pd(a, b), 0xD8);
    } else {
      x0 = _mm256_loadu_pd(in.x0 + i);
      x1 = _mm256_loadu_pd(in.x1 + i);
    }
    return _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(x0, c0), _mm256_mul_pd(x1, c1)), intercept);
  }
}

// The vector passes first flag the kept samples, a lane group's flags in one byte, and list
// the kept indices only when the trial can still count (most trials that fall short are
// skipped without writing a list). The flags of one pass: kept per thread between passes
// of up to kKeptFlags bytes, released after larger ones.
constexpr std::size_t kKeptFlags = std::size_t{1} << 16;

class FlagBytes {
 public:
  explicit FlagBytes(std::size_t bytes) {
    if (kept().size() < bytes) kept().resize(bytes);
    large_ = bytes > kKeptFlags;
  }
  ~FlagBytes() {
    if (large_) std::vector<std::uint8_t>().swap(kept());
  }
  FlagBytes(const FlagBytes&) = delete;
  FlagBytes& operator=(const FlagBytes&) = delete;
  std::uint8_t* data() { return kept().data(); }

 private:
  static std::vector<std::uint8_t>& kept() {
    thread_local std::vector<std::uint8_t> flags;
    return flags;
  }
  bool large_;
};

// The kept samples among `count` flag bytes, eight bytes at a time.
inline std::size_t count_flags(const std::uint8_t* flags, std::size_t count) {
  std::size_t kept = 0, k = 0;
  for (; k + 8 <= count; k += 8) {
    std::uint64_t word;
    std::memcpy(&word, flags + k, 8);
    kept += static_cast<std::size_t>(__builtin_popcountll(word));
  }
  for (; k < count; ++k) kept += static_cast<std::size_t>(__builtin_popcount(flags[k]));
  return kept;
}

// The flags of samples [from, n) one at a time, in the byte after `groups` whole groups.
template <Source source>
std::size_t flag_tail(const ConsensusInput& in, double threshold, std::size_t from,
                      std::uint8_t* flags, std::size_t groups) {
  std::uint8_t last = 0;
  for (std::size_t i = from; i < in.n; ++i) {
    const bool keep = std::fabs(in.y[i] - prediction<source>(in, i)) <= threshold;
    last = static_cast<std::uint8_t>(last | (keep ? 1u << (i - from) : 0u));
  }
  flags[groups] = last;
  return static_cast<std::size_t>(__builtin_popcount(last));
}

template <Source source>
__attribute__((target("avx2"))) std::size_t gather_avx2(const ConsensusInput& given,
                                                        double threshold, std::size_t wanted,
                                                        std::size_t* indices) {
  const ConsensusInput in = given;  // as in gather_avx512
  const __m256d sign = _mm256_set1_pd(-0.0);
  const __m256d limit = _mm256_set1_pd(threshold);
  const __m256d c0 = _mm256_set1_pd(in.c0), c1 = _mm256_set1_pd(in.c1);
  const __m256d intercept = _mm256_set1_pd(in.intercept);
  const std::size_t n = in.n, groups = n / 4;
  FlagBytes flag_bytes(groups + 1);
  std::uint8_t* flags = flag_bytes.data();
  std::size_t kept = 0, i = 0;
  while (i + 4 <= n) {
    if (kept + (n - i) < wanted) return kept;
    const std::size_t end = i + kBlock < n ? i + kBlock : n;
    const std::size_t first = i / 4;
    for (; i + 4 <= end; i += 4) {
      const __m256d p = predict4<source>(in, i, c0, c1, intercept);
      const __m256d residual = _mm256_andnot_pd(sign, _mm256_sub_pd(_mm256_loadu_pd(in.y + i), p));
      flags[i / 4] = static_cast<std::uint8_t>(
          _mm256_movemask_pd(_mm256_cmp_pd(residual, limit, _CMP_LE_OQ)));
    }
    kept += count_flags(flags + first, i / 4 - first);
  }
  kept += flag_tail<source>(in, threshold, i, flags, groups);
  if (kept < wanted) return kept;
  // The list: each group's kept indices moved to the front of a register stored whole (a
  // group never stores past the samples before it plus four; the tail goes one by one).
  std::size_t listed = 0;
  __m256i index = _mm256_setr_epi64x(0, 1, 2, 3);
  const __m256i four = _mm256_set1_epi64x(4);
  for (std::size_t g = 0; g < groups; ++g) {
    const __m256i order =
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kCompaction[flags[g]].data()));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(indices + listed),
                        _mm256_permutevar8x32_epi32(index, order));
    listed += static_cast<std::size_t>(__builtin_popcount(flags[g]));
    index = _mm256_add_epi64(index, four);
  }
  for (std::size_t k = 4 * groups; k < n; ++k)
    if (flags[groups] & (1u << (k - 4 * groups))) indices[listed++] = k;
  return kept;
}

// The same with eight lanes and the kept indices compressed in a register.
template <Source source>
__attribute__((target("avx512f"))) inline __m512d predict8(const ConsensusInput& in, std::size_t i,
                                                           __m512d c0, __m512d c1,
                                                           __m512d intercept) {
  if constexpr (source == Source::Given) {
    return _mm512_loadu_pd(in.predictions + i);
  } else if constexpr (source == Source::OneColumn) {
    return _mm512_add_pd(_mm512_mul_pd(_mm512_loadu_pd(in.x0 + i), c0), intercept);
  } else {
    __m512d x0, x1;
    if constexpr (source == Source::TwoInterleaved) {
      const __m512d a = _mm512_loadu_pd(in.x0 + 2 * i);
      const __m512d b = _mm512_loadu_pd(in.x0 + 2 * i + 8);
      x0 = _mm512_permutex2var_pd(a, _mm512_setr_epi64(0, 2, 4, 6, 8, 10, 12, 14), b);
      x1 = _mm512_permutex2var_pd(a, _mm512_setr_epi64(1, 3, 5, 7, 9, 11, 13, 15), b);
    } else {
      x0 = _mm512_loadu_pd(in.x0 + i);
      x1 = _mm512_loadu_pd(in.x1 + i);
    }
    return _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(x0, c0), _mm512_mul_pd(x1, c1)), intercept);
  }
}

template <Source source>
__attribute__((target("avx512f"))) std::size_t gather_avx512(const ConsensusInput& given,
                                                             double threshold, std::size_t wanted,
                                                             std::size_t* indices) {
  // A copy the flag stores cannot alias, so its pointers stay in registers.
  const ConsensusInput in = given;
  const __m512d limit = _mm512_set1_pd(threshold);
  const __m512d c0 = _mm512_set1_pd(in.c0), c1 = _mm512_set1_pd(in.c1);
  const __m512d intercept = _mm512_set1_pd(in.intercept);
  const std::size_t n = in.n, groups = n / 8;
  FlagBytes flag_bytes(groups + 1);
  std::uint8_t* flags = flag_bytes.data();
  std::size_t kept = 0, i = 0;
  while (i + 8 <= n) {
    if (kept + (n - i) < wanted) return kept;
    const std::size_t end = i + kBlock < n ? i + kBlock : n;
    const std::size_t first = i / 8;
    for (; i + 8 <= end; i += 8) {
      const __m512d p = predict8<source>(in, i, c0, c1, intercept);
      const __m512d residual = _mm512_abs_pd(_mm512_sub_pd(_mm512_loadu_pd(in.y + i), p));
      flags[i / 8] = static_cast<std::uint8_t>(_mm512_cmp_pd_mask(residual, limit, _CMP_LE_OQ));
    }
    kept += count_flags(flags + first, i / 8 - first);
  }
  kept += flag_tail<source>(in, threshold, i, flags, groups);
  if (kept < wanted) return kept;
  std::size_t listed = 0;
  __m512i index = _mm512_setr_epi64(0, 1, 2, 3, 4, 5, 6, 7);
  const __m512i eight = _mm512_set1_epi64(8);
  for (std::size_t g = 0; g < groups; ++g) {
    _mm512_storeu_si512(indices + listed, _mm512_maskz_compress_epi64(flags[g], index));
    listed += static_cast<std::size_t>(__builtin_popcount(flags[g]));
    index = _mm512_add_epi64(index, eight);
  }
  for (std::size_t k = 8 * groups; k < n; ++k)
    if (flags[groups] & (1u << (k - 8 * groups))) indices[listed++] = k;
  return kept;
}

bool has_avx512() {
  static const bool avx512 = __builtin_cpu_supports("avx512f");
  return avx512;
}

bool has_avx2() {
  static const bool avx2 = __builtin_cpu_supports("avx2");
  return avx2;
}
#endif

template <Source source>
std::size_t gather(const ConsensusInput& in, double threshold, std::size_t wanted,
                   std::size_t* indices) {
#if TORVEL_CONSENSUS_AVX2
  if (source == Source::Given || source == Source::TwoInterleaved || in.step == 1) {
    if (has_avx512()) return gather_avx512<source>(in, threshold, wanted, indices);
    if (has_avx2()) return gather_avx2<source>(in, threshold, wanted, indices);
  }
#endif
  std::size_t kept = 0;
  for (std::size_t i = 0; i < in.n; i += kBlock) {
    if (kept + (in.n - i) < wanted) return kept;
    kept = gather_scalar<source>(in, threshold, i, i + kBlock < in.n ? i + kBlock : in.n, kept,
                                 indices);
  }
  return kept;
}

}  // namespace

std::size_t gather_consensus(const ConsensusInput& in, double threshold, std::size_t wanted,
                             std::size_t* indices) {
  if (in.predictions) return gather<Source::Given>(in, threshold, wanted, indices);
  if (!in.x1) return gather<Source::OneColumn>(in, threshold, wanted, indices);
  if (in.step == 2 && in.x1 == in.x0 + 1)
    return gather<Source::TwoInterleaved>(in, threshold, wanted, indices);
  return gather<Source::TwoColumns>(in, threshold, wanted, indices);
}

}  // namespace torvel
