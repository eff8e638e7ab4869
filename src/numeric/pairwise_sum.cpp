#include "numeric/pairwise_sum.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "support/simd.h"

namespace torvel {

namespace {

using Lanes = double __attribute__((vector_size(64)));  // one block's eight running sums

inline void add_block(Lanes& r, const double* p) {
  Lanes v;
  std::memcpy(&v, p, sizeof v);
  r += v;
}

// NumPy's sum of one contiguous block of 8 to 128 values: eight running sums, combined
// ((s0+s1)+(s2+s3))+((s4+s5)+(s6+s7)), then the tail left to right.
inline double finish_leaf(const Lanes& r, const double* a, std::size_t n) {
  double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
  for (std::size_t i = n - n % 8; i < n; ++i) res += a[i];
  return res;
}

// Two neighbouring leaves, a (na values) then b (nb values), their running sums advanced
// side by side: each leaf's additions are its own, in its own order.
TORVEL_VECTOR_CLONES
double two_leaves(const double* a, std::size_t na, const double* b, std::size_t nb) {
  Lanes ra, rb;
  std::memcpy(&ra, a, sizeof ra);
  std::memcpy(&rb, b, sizeof rb);
  const std::size_t ea = na - na % 8, eb = nb - nb % 8;
  const std::size_t common = ea < eb ? ea : eb;
  std::size_t i = 8;
  for (; i < common; i += 8) {
    add_block(ra, a + i);
    add_block(rb, b + i);
  }
  for (std::size_t j = i; j < ea; j += 8) add_block(ra, a + j);
  for (std::size_t j = i; j < eb; j += 8) add_block(rb, b + j);
  return finish_leaf(ra, a, na) + finish_leaf(rb, b, nb);
}

}  // namespace

double pairwise_sum(const double* a, std::size_t n, std::size_t stride) {
  if (n < 8) {
    double res = 0.0;
    for (std::size_t i = 0; i < n; ++i) res += a[i * stride];
    return res;
  }
#if defined(__SSE2__)
  if (n <= 128 && stride == 1) {
    // The eight running sums as four pairs of lanes: the same additions in the same order.
    __m128d r01 = _mm_loadu_pd(a), r23 = _mm_loadu_pd(a + 2);
    __m128d r45 = _mm_loadu_pd(a + 4), r67 = _mm_loadu_pd(a + 6);
    std::size_t i = 8;
    for (; i < n - (n % 8); i += 8) {
      r01 = _mm_add_pd(r01, _mm_loadu_pd(a + i));
      r23 = _mm_add_pd(r23, _mm_loadu_pd(a + i + 2));
      r45 = _mm_add_pd(r45, _mm_loadu_pd(a + i + 4));
      r67 = _mm_add_pd(r67, _mm_loadu_pd(a + i + 6));
    }
    double r[8];
    _mm_storeu_pd(r, r01);
    _mm_storeu_pd(r + 2, r23);
    _mm_storeu_pd(r + 4, r45);
    _mm_storeu_pd(r + 6, r67);
    double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (; i < n; ++i) res += a[i];
    return res;
  }
#endif
  if (n <= 128) {
    double r[8];
    for (std::size_t j = 0; j < 8; ++j) r[j] = a[j * stride];
    std::size_t i = 8;
    for (; i < n - (n % 8); i += 8) {
      for (std::size_t j = 0; j < 8; ++j) r[j] += a[(i + j) * stride];
    }
    double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (; i < n; ++i) res += a[i * stride];
    return res;
  }
  std::size_t n2 = n / 2;
  n2 -= n2 % 8;
  if (stride == 1 && n - n2 <= 128) return two_leaves(a, n2, a + n2, n - n2);
  return pairwise_sum(a, n2, stride) + pairwise_sum(a + n2 * stride, n - n2, stride);
}

}  // namespace torvel
