// Keeping the values that pass a test, in order, in vector lanes: a lane group's kept values
// move to the front of a register that is stored whole at the kept count.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace torvel {

// For each 4-bit mask of kept 64-bit lanes, the 32-bit lane permutation (AVX2
// vpermd) that moves the kept lanes to the front, in order.
inline constexpr std::array<std::array<std::int32_t, 8>, 16> kCompaction = [] {
  std::array<std::array<std::int32_t, 8>, 16> table{};
  for (int mask = 0; mask < 16; ++mask) {
    int out = 0;
    for (int lane = 0; lane < 4; ++lane)
      if (mask & (1 << lane)) {
        table[mask][2 * out] = 2 * lane;
        table[mask][2 * out + 1] = 2 * lane + 1;
        ++out;
      }
  }
  return table;
}();

// Writes the values below zero (NaN never is; -0.0 is not) in order to `out` (room for n)
// and returns their number.
std::size_t keep_negatives(const double* values, std::size_t n, double* out);

}  // namespace torvel
