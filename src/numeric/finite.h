// The one finiteness scan: NaN and infinity are the values whose exponent bits are all ones.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace torvel {

// 1 for NaN and infinity, 0 otherwise: an integer test that vector lanes can or together in
// loops that also do other work with the values.
inline std::uint64_t not_finite(double v) {
  constexpr std::uint64_t kExponentBits = 0x7ff0000000000000ull;
  return static_cast<std::uint64_t>((std::bit_cast<std::uint64_t>(v) & kExponentBits) ==
                                    kExponentBits);
}

// Whether all n values are finite.
bool all_finite(const double* values, std::size_t n);

// The finiteness check scikit-learn applies to an input: any NaN gives "Input <name> contains
// NaN." (plus LinearRegression's hint for X), otherwise any infinity gives "Input <name>
// contains infinity or a value too large for dtype('float64').".
// Returns normally when all n values are finite.
void check_all_finite(const double* values, std::size_t n, const char* name,
                      bool with_estimator_hint);

}  // namespace torvel
