// The targets whose results carry another library's bits build with -ffp-contract=off. Each
// one's canary is a multiply-add compiled with its options for a CPU with FMA: fused, it
// would round once and keep what the separate product loses.
#include <gtest/gtest.h>

#include "support/unfused.h"

TORVEL_DECLARE_UNFUSED_CANARY(torvel_numeric)
TORVEL_DECLARE_UNFUSED_CANARY(torvel_robust)
TORVEL_DECLARE_UNFUSED_CANARY(torvel_geometry)
TORVEL_DECLARE_UNFUSED_CANARY(torvel_contour)
TORVEL_DECLARE_UNFUSED_CANARY(torvel_ellipse)

TEST(UnfusedArithmetic, EveryTargetRoundsTheProductOnItsOwn) {
#if defined(__x86_64__) && defined(__GNUC__)
  if (!__builtin_cpu_supports("fma")) GTEST_SKIP() << "no FMA on this CPU: nothing can fuse";
#endif
  // (1 + 2^-30)(1 - 2^-30) = 1 - 2^-60 rounds to 1, so the sum is 0; fused it is -2^-60.
  const double a = 1.0 + 0x1p-30, b = 1.0 - 0x1p-30, c = -1.0;
  using Canary = double (*)(double, double, double);
  const struct {
    const char* target;
    Canary canary;
  } targets[] = {{"torvel_numeric", torvel::torvel_numeric_multiply_add},
                 {"torvel_robust", torvel::torvel_robust_multiply_add},
                 {"torvel_geometry", torvel::torvel_geometry_multiply_add},
                 {"torvel_contour", torvel::torvel_contour_multiply_add},
                 {"torvel_ellipse", torvel::torvel_ellipse_multiply_add}};
  for (const auto& t : targets) EXPECT_EQ(t.canary(a, b, c), 0.0) << t.target;
}
