// Read-only views of caller memory in element units, so that broadcast (stride 0)
// and non-contiguous inputs reach the core without a copy.
#pragma once

#include <cstddef>
#include <cstdint>

namespace torvel {

// Rows of three doubles: element (i, j) is data[i * row_step + j * col_step].
struct Rows3View {
  const double* data = nullptr;
  std::ptrdiff_t row_step = 0;
  std::ptrdiff_t col_step = 1;
  double at(std::size_t i, int j) const {
    return data[static_cast<std::ptrdiff_t>(i) * row_step + j * col_step];
  }
};

// A vector of doubles: element i is data[i * step].
struct VectorView {
  const double* data = nullptr;
  std::ptrdiff_t step = 1;
  double operator[](std::size_t i) const { return data[static_cast<std::ptrdiff_t>(i) * step]; }
};

// Truncation toward zero with a defined result everywhere: NaN, infinities and values
// outside the int64 range give INT64_MIN, as the x86-64 conversion NumPy uses does.
inline std::int64_t truncate_to_int64(double v) {
  constexpr double two63 = 9223372036854775808.0;
  if (!(v > -two63 - 1025.0 && v < two63)) return INT64_MIN;
  return static_cast<std::int64_t>(v);
}

}  // namespace torvel
