#include "numeric/probes.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "numeric/blas.h"
#include "numeric/dgelsd_paths.h"

namespace torvel {
namespace {

// Reproducible probe values in [-bound, bound) for a power-of-two bound, with full 53-bit
// mantissas, so that products round and a fused or reordered evaluation changes the last bit
// of about every other value.
class ProbeValues {
 public:
  explicit ProbeValues(std::uint64_t seed, double bound) : state_(seed), bound_(bound) {}
  double next() {
    state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<double>(state_ >> 11) * (bound_ * 0x1p-52) - bound_;
  }

 private:
  std::uint64_t state_;
  double bound_;
};

// Row counts that reach a kernel's vector body, its tails and its blocking.
constexpr int kProbeRows[] = {2, 3, 5, 8, 17, 67, 1000, 4100};

bool gemv_is_plain(ProbeValues& values) {
  for (int n : kProbeRows) {
    std::vector<double> rows(2 * static_cast<std::size_t>(n)), columns(rows.size());
    for (int i = 0; i < n; ++i) {
      rows[2 * i] = columns[i] = values.next();
      rows[2 * i + 1] = columns[n + i] = values.next();
    }
    const double c[2] = {values.next(), values.next()};
    std::vector<double> by_rows(n, 0.0), by_columns(n, 0.0);
    cblas_dgemv(kCblasColMajor, kCblasTrans, 2, n, 1.0, rows.data(), 2, c, 1, 0.0,
                by_rows.data(), 1);
    cblas_dgemv(kCblasColMajor, kCblasNoTrans, n, 2, 1.0, columns.data(), n, c, 1, 0.0,
                by_columns.data(), 1);
    for (int i = 0; i < n; ++i) {
      const double plain = (0.0 + rows[2 * i] * c[0]) + rows[2 * i + 1] * c[1];
      if (by_rows[i] != plain || by_columns[i] != plain) return false;
    }
  }
  return true;
}

bool gemm_is_plain(ProbeValues& values) {
  double r[9];
  for (double& v : r) v = values.next();
  for (int n : kProbeRows) {
    const auto size = 3 * static_cast<std::size_t>(n);
    std::vector<double> rows(size), columns(size);  // n x 3, C- and Fortran-ordered
    for (int j = 0; j < n; ++j)
      for (int k = 0; k < 3; ++k) rows[3 * j + k] = columns[k * n + j] = values.next();
    std::vector<double> from_rows(size), from_columns(size);
    cblas_dgemm(kCblasRowMajor, kCblasNoTrans, kCblasTrans, 3, n, 3, 1.0, r, 3, rows.data(), 3,
                0.0, from_rows.data(), n);
    cblas_dgemm(kCblasRowMajor, kCblasNoTrans, kCblasNoTrans, 3, n, 3, 1.0, r, 3,
                columns.data(), n, 0.0, from_columns.data(), n);
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < n; ++j) {
        const double* p = &rows[3 * j];
        const double plain = ((0.0 + r[3 * i] * p[0]) + r[3 * i + 1] * p[1]) + r[3 * i + 2] * p[2];
        if (from_rows[i * n + j] != plain || from_columns[i * n + j] != plain) return false;
      }
  }
  return true;
}

// A probe's system: m x n values in [-4, 4) and m right-hand sides.
struct ProbeSystem {
  std::vector<double> a, b;
  ProbeSystem(int m, int n, ProbeValues& values) : a(static_cast<std::size_t>(m) * n), b(m) {
    for (double& v : a) v = values.next();
    for (double& v : b) v = values.next();
  }
};

bool same_bits(const double* x, const double* y, int n) {
  return std::memcmp(x, y, sizeof(double) * static_cast<std::size_t>(n)) == 0;
}

}  // namespace

PlainProducts probe_plain_products() {
  ProbeValues values(0x2545F4914F6CDD1Dull, 2.0);
  PlainProducts p;
  p.two_columns = gemv_is_plain(values);
  p.three_terms = gemm_is_plain(values);
  return p;
}

bool split_gives_single_call_bits() {
  ProbeValues values(0x9E3779B97F4A7C15ull, 4.0);
  LeastSquaresWork work;
  for (int n = 1; n <= 2; ++n)
    for (int m : {static_cast<int>(kSplitFromRows), 301}) {
      const ProbeSystem s(m, n, values);
      double whole[2], split[2];
      single_dgelsd_call(s.a.data(), s.b.data(), m, n, whole, work);
      if (!split_dgelsd_call(s.a.data(), s.b.data(), m, n, split, work)) return false;
      if (!same_bits(whole, split, n)) return false;
    }
  return true;
}

bool reduction_gives_single_call_bits() {
  ProbeValues values(0x2545F4914F6CDD1Dull, 4.0);
  LeastSquaresWork work;
  for (int m : {static_cast<int>(kReduceFromRows), 4, static_cast<int>(kSplitFromRows), 301, 1000}) {
    ProbeSystem s(m, 2, values);
    if (m == 301)
      for (int i = m - 7; i < m; ++i) s.a[2 * i] = 0.0;  // a reflector shorter than the column
    double whole[2], reduced[2];
    single_dgelsd_call(s.a.data(), s.b.data(), m, 2, whole, work);
    if (!reduced_dgelsd_call(s.a.data(), s.b.data(), m, reduced, work)) return false;
    if (!same_bits(whole, reduced, 2)) return false;
  }
  return true;
}

}  // namespace torvel
