#include "robust/blas.h"

#include <cstdint>
#include <vector>

namespace torvel {
namespace {

// Reproducible probe values in [-2, 2) with full 53-bit mantissas, so that products round
// and a fused or reordered evaluation changes the last bit of about every other value.
class ProbeValues {
 public:
  double next() {
    state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<double>(state_ >> 11) * 0x1p-51 - 2.0;
  }

 private:
  std::uint64_t state_ = 0x2545F4914F6CDD1Dull;
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

}  // namespace

const PlainBlas& plain_blas() {
  static const PlainBlas found = [] {
    ProbeValues values;
    PlainBlas p;
    p.gemv_two_columns = gemv_is_plain(values);
    p.gemm_three_terms = gemm_is_plain(values);
    return p;
  }();
  return found;
}

}  // namespace torvel
