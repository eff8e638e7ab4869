// NumPy's pairwise float64 sum (np.sum, np.mean, the sums inside scikit-learn's scores).
#pragma once

#include <cstddef>

namespace torvel {

// The pairwise sum of n values `stride` elements apart: under 8 terms left to right from 0;
// up to 128 terms eight running sums combined ((s0+s1)+(s2+s3))+((s4+s5)+(s6+s7)) then the
// tail; above that the two halves split at floor(n/2) rounded down to a multiple of 8.
double pairwise_sum(const double* a, std::size_t n, std::size_t stride = 1);

}  // namespace torvel
