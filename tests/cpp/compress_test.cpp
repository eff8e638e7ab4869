#include "support/compress.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace torvel {
namespace {

// Every length up to a few lane groups, with the values a sign test can get wrong.
TEST(Compress, KeepsTheNegativesInOrder) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<double> pool = {-1.5, 2.0, -0.0, nan, -inf, 0.0, -1e-310, inf, -3.0, 7.0};
  for (std::size_t n = 0; n <= 19; ++n) {
    std::vector<double> values(n);
    for (std::size_t i = 0; i < n; ++i) values[i] = pool[(i * 7 + n) % pool.size()];
    std::vector<double> want;
    for (double v : values)
      if (v < 0.0) want.push_back(v);
    std::vector<double> got(n, 99.0);  // the room the contract asks for
    ASSERT_EQ(keep_negatives(values.data(), n, got.data()), want.size()) << n;
    got.resize(want.size());
    EXPECT_EQ(got, want) << n;
  }
}

}  // namespace
}  // namespace torvel
