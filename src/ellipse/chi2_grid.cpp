#include "ellipse/chi2_grid.h"

#include <cmath>

#include "support/error.h"

namespace torvel {
namespace {

constexpr double kMachEp = 1.11022302462515654042e-16;
constexpr double kBig = 4.503599627370496e15;
constexpr double kBigInv = 2.22044604925031308085e-16;
constexpr int kMaxIter = 2000;
constexpr double kLanczosG = 6.024680040776729583740234375;
// The Lanczos sum (exp(g)-scaled) at a = 1.
constexpr double kLanczosSumAtOne = 0.6454574698195071;

// x^a e^-x / Gamma(a) at a = 1 (log Gamma(1) = 0), with the Lanczos form near x = a.
double igam_fac(double x) {
  const double a = 1.0;
  if (std::fabs(a - x) > 0.4 * std::fabs(a)) {
    return std::exp(a * std::log(x) - x - 0.0);
  }
  const double fac = a + kLanczosG - 0.5;
  double res = std::sqrt(fac / std::exp(1.0)) / kLanczosSumAtOne;
  res *= std::exp(a - x) * std::pow(x / fac, a);
  return res;
}

double igam_series(double x) {
  const double a = 1.0;
  const double ax = igam_fac(x);
  if (ax == 0.0) return 0.0;
  double r = a;
  double c = 1.0;
  double ans = 1.0;
  for (int i = 0; i < kMaxIter; ++i) {
    r += 1.0;
    c *= x / r;
    ans += c;
    if (c <= kMachEp * ans) break;
  }
  return ans * ax / a;
}

double igamc_series(double x) {
  const double a = 1.0;
  double fac = 1.0;
  double sum = 0.0;
  for (int n = 1; n < kMaxIter; ++n) {
    fac *= -x / n;
    const double term = fac / (a + n);
    sum += term;
    if (std::fabs(term) <= kMachEp * std::fabs(sum)) break;
  }
  const double logx = std::log(x);
  const double term = -std::expm1(a * logx - 0.0);
  return term - std::exp(a * logx - 0.0) * sum;
}

double igamc_continued_fraction(double x) {
  const double a = 1.0;
  const double ax = igam_fac(x);
  if (ax == 0.0) return 0.0;
  double y = 1.0 - a;
  double z = x + y + 1.0;
  double c = 0.0;
  double pkm2 = 1.0;
  double qkm2 = x;
  double pkm1 = x + 1.0;
  double qkm1 = z * x;
  double ans = pkm1 / qkm1;
  for (int i = 0; i < kMaxIter; ++i) {
    c += 1.0;
    y += 1.0;
    z += 2.0;
    const double yc = y * c;
    const double pk = pkm1 * z - pkm2 * yc;
    const double qk = qkm1 * z - qkm2 * yc;
    double t = 1.0;
    if (qk != 0) {
      const double r = pk / qk;
      t = std::fabs((ans - r) / r);
      ans = r;
    }
    pkm2 = pkm1;
    pkm1 = pk;
    qkm2 = qkm1;
    qkm1 = qk;
    if (std::fabs(pk) > kBig) {
      pkm2 *= kBigInv;
      pkm1 *= kBigInv;
      qkm2 *= kBigInv;
      qkm1 *= kBigInv;
    }
    if (t <= kMachEp) break;
  }
  return ans * ax;
}

// P(1, x) for 0 <= x <= 10, branch for branch as the Cephes igam/igamc pair at a = 1.
double lower_gamma_p1(double x) {
  if (x == 0.0) return 0.0;
  if (x > 1.0) {
    const double q = x > 1.1 ? igamc_continued_fraction(x) : igamc_series(x);
    return 1.0 - q;
  }
  return igam_series(x);
}

double abs_error(std::size_t i, double mass) { return std::fabs(chi2_grid_cdf(i) - mass); }

}  // namespace

double chi2_grid_distance(std::size_t i) {
  if (i + 1 >= kChi2GridSize) return 20.0;
  return static_cast<double>(i) * (20.0 / static_cast<double>(kChi2GridSize - 1)) + 0.0;
}

double chi2_grid_cdf(std::size_t i) { return lower_gamma_p1(chi2_grid_distance(i) / 2.0); }

std::size_t chi2_grid_index(double mass) {
  if (std::isnan(mass)) raise_index_error("index 0 is out of bounds for axis 0 with size 0");
  // hi = first index with cdf >= mass (kChi2GridSize when none). Below it the errors
  // mass - cdf never increase, from it on cdf - mass never decrease, so the minimum is
  // at hi - 1 or hi.
  std::size_t lo = 0;
  std::size_t hi = kChi2GridSize;
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    if (chi2_grid_cdf(mid) >= mass) {
      hi = mid;
    } else {
      lo = mid + 1;
    }
  }
  if (hi == 0) return 0;
  const double below = abs_error(hi - 1, mass);
  if (hi < kChi2GridSize && abs_error(hi, mass) < below) return hi;
  // The smallest error is `below`; its first occurrence starts the run of equal errors
  // that ends at hi - 1 (errors are non-increasing before hi).
  std::size_t a = 0;
  std::size_t b = hi - 1;
  while (a < b) {
    const std::size_t mid = a + (b - a) / 2;
    if (abs_error(mid, mass) == below) {
      b = mid;
    } else {
      a = mid + 1;
    }
  }
  return a;
}

double chi2_multiplier(std::optional<double> mass) {
  if (!mass) return std::sqrt(2.279);
  return std::sqrt(chi2_grid_distance(chi2_grid_index(*mass)));
}

}  // namespace torvel
