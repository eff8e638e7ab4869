#include "support/compress.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define TORVEL_COMPRESS_X86 1
#else
#define TORVEL_COMPRESS_X86 0
#endif

namespace torvel {
namespace {

std::size_t keep_negatives_scalar(const double* values, std::size_t from, std::size_t n,
                                  std::size_t kept, double* out) {
  for (std::size_t i = from; i < n; ++i) {
    out[kept] = values[i];
    kept += static_cast<std::size_t>(values[i] < 0.0);
  }
  return kept;
}

#if TORVEL_COMPRESS_X86
__attribute__((target("avx512f"))) std::size_t keep_negatives_avx512(const double* values,
                                                                     std::size_t n, double* out) {
  const __m512d zero = _mm512_setzero_pd();
  std::size_t kept = 0, i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m512d v = _mm512_loadu_pd(values + i);
    const __mmask8 below = _mm512_cmp_pd_mask(v, zero, _CMP_LT_OQ);
    _mm512_storeu_pd(out + kept, _mm512_maskz_compress_pd(below, v));
    kept += static_cast<std::size_t>(__builtin_popcount(static_cast<unsigned>(below)));
  }
  return keep_negatives_scalar(values, i, n, kept, out);
}

__attribute__((target("avx2"))) std::size_t keep_negatives_avx2(const double* values,
                                                                std::size_t n, double* out) {
  const __m256d zero = _mm256_setzero_pd();
  std::size_t kept = 0, i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m256d v = _mm256_loadu_pd(values + i);
    const int below = _mm256_movemask_pd(_mm256_cmp_pd(v, zero, _CMP_LT_OQ));
    const __m256i order =
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kCompaction[below].data()));
    _mm256_storeu_pd(out + kept,
                     _mm256_castsi256_pd(_mm256_permutevar8x32_epi32(_mm256_castpd_si256(v), order)));
    kept += static_cast<std::size_t>(__builtin_popcount(static_cast<unsigned>(below)));
  }
  return keep_negatives_scalar(values, i, n, kept, out);
}
#endif

}  // namespace

std::size_t keep_negatives(const double* values, std::size_t n, double* out) {
#if TORVEL_COMPRESS_X86
  static const bool avx512 = __builtin_cpu_supports("avx512f");
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx512) return keep_negatives_avx512(values, n, out);
  if (avx2) return keep_negatives_avx2(values, n, out);
#endif
  return keep_negatives_scalar(values, 0, n, 0, out);
}

}  // namespace torvel
