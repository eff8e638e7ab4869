#include "contour/profile.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include <opencv2/imgproc.hpp>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "support/error.h"

namespace torvel {
namespace {

constexpr int kRadialSamples = 300;
constexpr int kDirections = 720;
constexpr int kLines = kDirections / 2;
constexpr double kMaxCount = 255.0;

template <typename T>
double row_sum(const cv::Mat& polar, int row) {
  const T* p = polar.ptr<T>(row);
  if constexpr (std::is_integral_v<T>) {
    std::int64_t s = 0;
    for (int i = 0; i < kRadialSamples; ++i) s += p[i];
    return static_cast<double>(s);
  } else {
    double s = 0.0;
    for (int i = 0; i < kRadialSamples; ++i) s += static_cast<double>(p[i]);
    return s;
  }
}

template <typename T>
void fill_accum(const cv::Mat& polar, AngularProfile& prof) {
  for (int i = 0; i < kLines; ++i) {
    prof.accum[i] = row_sum<T>(polar, i) / kMaxCount + row_sum<T>(polar, i + kLines) / kMaxCount;
  }
}

// A float rounded to the nearest integer, ties to even (the default rounding mode), as
// OpenCV's remap converts its map.
inline int round_half_even(float v) {
#if defined(__SSE2__)
  return _mm_cvtss_si32(_mm_set_ss(v));
#else
  return static_cast<int>(std::lrint(v));
#endif
}

// out[phi] = r * c[phi] + centre in double, made a float and rounded to an integer as above
// (r is a float radius, c a cosine or sine).
void ring_coordinates(float r, const double* c, double centre, int* out) {
  const double rd = r;
#if defined(__SSE2__)
  const __m128d r2 = _mm_set1_pd(rd);
  const __m128d centre2 = _mm_set1_pd(centre);
  static_assert(kDirections % 4 == 0);
  for (int phi = 0; phi < kDirections; phi += 4) {
    const __m128d lo = _mm_add_pd(_mm_mul_pd(r2, _mm_loadu_pd(c + phi)), centre2);
    const __m128d hi = _mm_add_pd(_mm_mul_pd(r2, _mm_loadu_pd(c + phi + 2)), centre2);
    const __m128 f = _mm_movelh_ps(_mm_cvtpd_ps(lo), _mm_cvtpd_ps(hi));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + phi), _mm_cvtps_epi32(f));
  }
#else
  for (int phi = 0; phi < kDirections; ++phi) {
    out[phi] = round_half_even(static_cast<float>(rd * c[phi] + centre));
  }
#endif
}

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && \
    !defined(__SANITIZE_ADDRESS__)
#define TORVEL_RING_GATHER 1
#else
#define TORVEL_RING_GATHER 0
#endif

// The ring's samples read with AVX2 gathers, eight at a time: each lane loads the four bytes
// at its pixel and keeps the first; lanes outside the extent load nothing.
bool gather_applies(const cv::Mat& img, const cv::Rect& lit) {
#if TORVEL_RING_GATHER
  if (lit.empty() || !__builtin_cpu_supports("avx2")) return false;
  // Offsets fit 32 bits, and the last pixel's four bytes lie inside the image's memory.
  const std::size_t last = (lit.y + lit.height - 1) * img.step[0] + (lit.x + lit.width - 1);
  return last < (std::size_t{1} << 30) && img.data + last + 4 <= img.datalimit;
#else
  (void)img;
  (void)lit;
  return false;
#endif
}

#if TORVEL_RING_GATHER
// r * c + centre in double, made floats and rounded half to even: ring_coordinates' steps.
__attribute__((target("avx2"))) inline __m256i ring_positions(__m256d r, const double* c,
                                                              __m256d centre) {
  const __m128 lo = _mm256_cvtpd_ps(_mm256_add_pd(_mm256_mul_pd(r, _mm256_loadu_pd(c)), centre));
  const __m128 hi =
      _mm256_cvtpd_ps(_mm256_add_pd(_mm256_mul_pd(r, _mm256_loadu_pd(c + 4)), centre));
  return _mm256_cvtps_epi32(_mm256_set_m128(hi, lo));
}

__attribute__((target("avx2"))) void add_ring_gathered(const std::uint8_t* data, std::size_t step,
                                                       const cv::Rect& lit, float radius,
                                                       const double* cps, const double* sps,
                                                       double centre_x, double centre_y,
                                                       std::int32_t* sums) {
  const __m256d r = _mm256_set1_pd(radius);
  const __m256d cx = _mm256_set1_pd(centre_x), cy = _mm256_set1_pd(centre_y);
  const __m256i x0 = _mm256_set1_epi32(lit.x), y0 = _mm256_set1_epi32(lit.y);
  const __m256i cols = _mm256_set1_epi32(lit.width), rows = _mm256_set1_epi32(lit.height);
  const __m256i below = _mm256_set1_epi32(-1), byte = _mm256_set1_epi32(0xff);
  const __m256i stride = _mm256_set1_epi32(static_cast<int>(step));
  static_assert(kDirections % 8 == 0);
  for (int phi = 0; phi < kDirections; phi += 8) {
    const __m256i x = _mm256_sub_epi32(ring_positions(r, cps + phi, cx), x0);
    const __m256i y = _mm256_sub_epi32(ring_positions(r, sps + phi, cy), y0);
    const __m256i inside = _mm256_and_si256(
        _mm256_and_si256(_mm256_cmpgt_epi32(x, below), _mm256_cmpgt_epi32(cols, x)),
        _mm256_and_si256(_mm256_cmpgt_epi32(y, below), _mm256_cmpgt_epi32(rows, y)));
    if (_mm256_testz_si256(inside, inside)) continue;  // the eight samples all lie outside
    const __m256i offset = _mm256_add_epi32(_mm256_mullo_epi32(y, stride), x);
    const __m256i words = _mm256_mask_i32gather_epi32(_mm256_setzero_si256(),
                                                      reinterpret_cast<const int*>(data), offset,
                                                      inside, 1);
    __m256i* out = reinterpret_cast<__m256i*>(sums + phi);
    _mm256_storeu_si256(out, _mm256_add_epi32(_mm256_loadu_si256(out), _mm256_and_si256(words, byte)));
  }
}

// With AVX-512 the samples go sixteen at a time, and ray by ray. (GCC 12's AVX-512 headers
// trip -Wuninitialized on their own placeholder vectors.)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
// v * w[0..16) + centre in double, made floats and rounded half to even: ring_coordinates'
// steps on sixteen samples (v broadcast: here a cosine or a sine, w the radii).
__attribute__((target("avx512f"))) inline __m512i ring_positions16(__m512d v, const double* w,
                                                                   __m512d centre) {
  const __m256 lo = _mm512_cvtpd_ps(_mm512_add_pd(_mm512_mul_pd(v, _mm512_loadu_pd(w)), centre));
  const __m256 hi =
      _mm512_cvtpd_ps(_mm512_add_pd(_mm512_mul_pd(v, _mm512_loadu_pd(w + 8)), centre));
  const __m512d both = _mm512_insertf64x4(_mm512_castpd256_pd512(_mm256_castps_pd(lo)),
                                          _mm256_castps_pd(hi), 1);
  return _mm512_cvtps_epi32(_mm512_castpd_ps(both));
}

// The rings' samples ray by ray: direction phi's first `rings` samples, sixteen radii at a
// time, summed in lanes. Along a ray each rounded coordinate moves one way only (every step
// from the radius to the pixel is monotonic), so the samples inside the extent are one run
// of radii: the ray stops at the first group past it.
__attribute__((target("avx512f"))) void add_rays_gathered16(
    const std::uint8_t* data, std::size_t step, const cv::Rect& lit, const float* rhos,
    int rings, const double* cps, const double* sps, double centre_x, double centre_y,
    std::int32_t* sums) {
  const __m512d cx = _mm512_set1_pd(centre_x), cy = _mm512_set1_pd(centre_y);
  const __m512i x0 = _mm512_set1_epi32(lit.x), y0 = _mm512_set1_epi32(lit.y);
  const __m512i cols = _mm512_set1_epi32(lit.width), rows = _mm512_set1_epi32(lit.height);
  const __m512i byte = _mm512_set1_epi32(0xff);
  const __m512i stride = _mm512_set1_epi32(static_cast<int>(step));
  // The radii as doubles, padded to whole groups (padding lanes are masked off).
  alignas(64) double radii[kRadialSamples + 16] = {};
  for (int rho = 0; rho < rings; ++rho) radii[rho] = rhos[rho];
  for (int phi = 0; phi < kDirections; ++phi) {
    const __m512d c = _mm512_set1_pd(cps[phi]), s = _mm512_set1_pd(sps[phi]);
    __m512i total = _mm512_setzero_si512();
    bool entered = false;
    for (int rho = 0; rho < rings; rho += 16) {
      const __m512i x = _mm512_sub_epi32(ring_positions16(c, radii + rho, cx), x0);
      const __m512i y = _mm512_sub_epi32(ring_positions16(s, radii + rho, cy), y0);
      const __mmask16 valid = rings - rho >= 16 ? 0xffff : (1u << (rings - rho)) - 1u;
      const __mmask16 inside =
          valid & _mm512_cmplt_epu32_mask(x, cols) & _mm512_cmplt_epu32_mask(y, rows);
      if (inside == 0) {
        if (entered) break;  // past the run
        continue;
      }
      entered = true;
      const __m512i offset = _mm512_add_epi32(_mm512_mullo_epi32(y, stride), x);
      const __m512i words =
          _mm512_mask_i32gather_epi32(_mm512_setzero_si512(), inside, offset, data, 1);
      total = _mm512_add_epi32(total, _mm512_and_si512(words, byte));
    }
    sums[phi] += _mm512_reduce_add_epi32(total);
  }
}

#pragma GCC diagnostic pop

bool has_avx512() {
  static const bool avx512 = __builtin_cpu_supports("avx512f");
  return avx512;
}
#endif

// How many bytes of 255 run from p on, `dir` (+1 or -1) bytes apart, up to `limit`.
int full_run(const std::uint8_t* p, int dir, int limit) {
  int n = 0;
  constexpr std::uint64_t kFull = ~std::uint64_t{0};
  while (n + 8 <= limit) {
    std::uint64_t word;
    std::memcpy(&word, dir > 0 ? p + n : p - n - 7, sizeof word);
    if (word != kFull) break;
    n += 8;
  }
  while (n < limit && p[dir * n] == 255) ++n;
  return n;
}

// The rings every ray samples on pixels of 255 (a prefix: the radii grow): those inside the
// largest disc about the centre whose pixels are all 255, by more than the 0.71 px that
// rounding moves a sample. Rows are scanned out from the centre row until the disc is
// bounded; pixels outside the lit extent are 0. `data` is the extent's first pixel.
int full_rings(const std::uint8_t* data, std::size_t step, const cv::Rect& lit, int cx, int cy,
               const float* rhos, int rings) {
  const int u0 = cx - lit.x, v0 = cy - lit.y;
  if (u0 < 0 || v0 < 0 || u0 >= lit.width || v0 >= lit.height) return 0;
  // Every pixel at a squared distance below `bound` from the centre is 255.
  double bound = std::numeric_limits<double>::infinity();
  for (int t = 0; static_cast<double>(t) * t < bound; ++t) {
    for (const int v : {v0 - t, v0 + t}) {
      if (v < 0 || v >= lit.height) {
        bound = std::min(bound, static_cast<double>(t) * t);
        continue;
      }
      const std::uint8_t* at = data + static_cast<std::size_t>(v) * step + u0;
      // Looking farther than the bound's radius cannot lower it.
      const double reach = std::min(std::sqrt(bound) + 1.0, static_cast<double>(lit.width));
      const int cap = static_cast<int>(reach);
      const int right = full_run(at, 1, std::min(cap, lit.width - u0));
      const int left = full_run(at, -1, std::min(cap, u0 + 1));
      const double first_short = std::min(right, left);  // offset of a pixel not 255
      bound = std::min(bound, first_short * first_short + static_cast<double>(t) * t);
    }
  }
  int k = 0;
  while (k < rings && (rhos[k] + 0.75) * (rhos[k] + 0.75) < bound) ++k;
  return k;
}

// Sample positions stay inside OpenCV's 16-bit remap coordinates (no saturation) when the
// centre and the radius are below this.
constexpr double kPlainCoordinates = 30000.0;

bool direct_sampling_applies(const cv::Mat& img, int cx, int cy, std::int64_t warp_radius) {
  return img.type() == CV_8UC1 && img.dims == 2 && img.rows < kPlainCoordinates &&
         img.cols < kPlainCoordinates && std::abs(cx) < kPlainCoordinates &&
         std::abs(cy) < kPlainCoordinates && warp_radius >= 0 &&
         static_cast<double>(warp_radius) < kPlainCoordinates;
}

// The row sums of warpPolar's nearest-neighbour polar image, sampled where they are used
// instead of remapped: OpenCV's map (float radii rho * (R / 300), double cos and sin of
// phi * (2 pi / 720), the float coordinate r * cos + cx) rounded to the nearest pixel as its
// remap rounds it (half to even), 0 outside the image.
void fill_accum_sampled(const cv::Mat& img, int cx, int cy, std::int64_t warp_radius,
                        const cv::Rect& lit, AngularProfile& prof) {
  constexpr double two_pi = 6.283185307179586476925286766559;
  const double angle_step = two_pi / kDirections;
  const double mag = static_cast<double>(warp_radius) / kRadialSamples;
  float rhos[kRadialSamples];
  for (int rho = 0; rho < kRadialSamples; ++rho) rhos[rho] = static_cast<float>(rho * mag);
  const double centre_x = static_cast<double>(static_cast<float>(cx));
  const double centre_y = static_cast<double>(static_cast<float>(cy));
  const auto cols = static_cast<unsigned>(lit.width);
  const auto rows = static_cast<unsigned>(lit.height);
  const std::size_t step = img.step[0];
  const std::uint8_t* data = lit.empty() ? img.data : img.ptr<std::uint8_t>(lit.y) + lit.x;
  // A sample is at most 0.71 px from its exact position (rounding), so rings farther from the
  // centre than every corner of the extent, by a margin, read nothing.
  double reach = 0.0;
  for (const double x : {lit.x - centre_x, lit.x + lit.width - 1 - centre_x}) {
    for (const double y : {lit.y - centre_y, lit.y + lit.height - 1 - centre_y}) {
      reach = std::max(reach, std::sqrt(x * x + y * y));
    }
  }
  reach += 2.0;
  // The directions' cosines and sines, the same for every call: computed once.
  struct Directions {
    double cos[kDirections], sin[kDirections];
  };
  static const Directions directions = [angle_step] {
    Directions d;
    for (int phi = 0; phi < kDirections; ++phi) {
      const double angle = angle_step * phi;
      d.cos[phi] = std::cos(angle);
      d.sin[phi] = std::sin(angle);
    }
    return d;
  }();
  const double* cps = directions.cos;
  const double* sps = directions.sin;
  // Ring by ring: neighbouring samples of a ring share cache lines. A sum stays below
  // 300 * 255.
  std::int32_t sums[kDirections] = {};
  int xs[kDirections], ys[kDirections];
  const bool gather = gather_applies(img, lit);
  int rings = 0;
  while (rings < kRadialSamples && rhos[rings] <= reach) ++rings;
  // The rings inside a disc of 255 add 255 each to every direction without being read.
  const int full = full_rings(data, step, lit, cx, cy, rhos, rings);
  for (std::int32_t& sum : sums) sum = 255 * full;
#if TORVEL_RING_GATHER
  if (gather && has_avx512()) {
    add_rays_gathered16(data, step, lit, rhos + full, rings - full, cps, sps, centre_x,
                        centre_y, sums);
    rings = 0;  // done
  }
#endif
  for (int rho = full; rho < rings; ++rho) {
#if TORVEL_RING_GATHER
    if (gather) {
      add_ring_gathered(data, step, lit, rhos[rho], cps, sps, centre_x, centre_y, sums);
      continue;
    }
#endif
    ring_coordinates(rhos[rho], cps, centre_x, xs);
    ring_coordinates(rhos[rho], sps, centre_y, ys);
    for (int phi = 0; phi < kDirections; ++phi) {
      const auto x = static_cast<unsigned>(xs[phi] - lit.x);
      const auto y = static_cast<unsigned>(ys[phi] - lit.y);
      if (x < cols && y < rows) sums[phi] += data[y * step + x];
    }
  }
  for (int i = 0; i < kLines; ++i) {
    prof.accum[i] = static_cast<double>(sums[i]) / kMaxCount +
                    static_cast<double>(sums[i + kLines]) / kMaxCount;
  }
}

void pick_extremes(AngularProfile& prof) {
  int imax = 0;
  int imin = 0;
  for (int i = 1; i < kLines; ++i) {
    if (prof.accum[i] > prof.accum[imax]) imax = i;
    if (prof.accum[i] < prof.accum[imin]) imin = i;
  }
  prof.angle_max = imax / 2.0;
  prof.angle_min = imin / 2.0;
}

}  // namespace

AngularProfile angular_profile(const cv::Mat& img, int cx, int cy, std::int64_t warp_radius,
                               const cv::Rect* lit_extent) {
  if (img.channels() != 1) raise_type_error("the angular profile needs a one-channel image");
  if (direct_sampling_applies(img, cx, cy, warp_radius)) {
    AngularProfile prof;
    const cv::Rect whole(0, 0, img.cols, img.rows);
    fill_accum_sampled(img, cx, cy, warp_radius, lit_extent ? *lit_extent & whole : whole, prof);
    pick_extremes(prof);
    return prof;
  }
  cv::Mat polar;
  cv::warpPolar(img, polar, cv::Size(kRadialSamples, kDirections),
                cv::Point2f(static_cast<float>(cx), static_cast<float>(cy)),
                static_cast<double>(warp_radius),
                cv::INTER_NEAREST + cv::WARP_FILL_OUTLIERS + cv::WARP_POLAR_LINEAR);
  AngularProfile prof;
  switch (polar.depth()) {
    case CV_8U: fill_accum<std::uint8_t>(polar, prof); break;
    case CV_8S: fill_accum<std::int8_t>(polar, prof); break;
    case CV_16U: fill_accum<std::uint16_t>(polar, prof); break;
    case CV_16S: fill_accum<std::int16_t>(polar, prof); break;
    case CV_32S: fill_accum<std::int32_t>(polar, prof); break;
    case CV_32F: fill_accum<float>(polar, prof); break;
    default: fill_accum<double>(polar, prof); break;
  }
  pick_extremes(prof);
  return prof;
}

}  // namespace torvel
