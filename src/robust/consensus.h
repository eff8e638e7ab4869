// One robust trial's consensus set in a single pass over the samples: each sample's residual
// |y - prediction| against the threshold, and the indices of the samples within it.
#pragma once

#include <cstddef>

namespace torvel {

// The samples' targets with either their given predictions or the model that predicts them.
struct ConsensusInput {
  const double* y = nullptr;
  std::size_t n = 0;
  // Either `predictions`, or the features: x0 (and x1 for two columns), `step` doubles from
  // one sample to the next, predicted as (x0*c0 + x1*c1) + intercept, or x0*c0 + intercept
  // with one column. (The predictions least squares gives start from +0.0, which changes
  // only the sign of a zero: no residual.)
  const double* predictions = nullptr;
  const double* x0 = nullptr;
  const double* x1 = nullptr;
  std::size_t step = 1;
  double c0 = 0.0, c1 = 0.0, intercept = 0.0;
};

// Writes the indices of the samples with residual <= threshold (NaN never is) in order to
// `indices` (room for n) and returns their number. Vector lanes store a whole group of
// indices at the kept count, which never runs ahead of the samples read. A trial that needs
// `wanted` samples stops as soon as it cannot reach them, and then returns some number
// below `wanted`; below `wanted`, what `indices` holds is unspecified (the vector passes
// flag the samples first and list them only for a count that reaches it).
std::size_t gather_consensus(const ConsensusInput& in, double threshold, std::size_t wanted,
                             std::size_t* indices);

}  // namespace torvel
