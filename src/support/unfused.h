// The canary of a target built with -ffp-contract=off (CMake's torvel_unfused_arithmetic):
// a multiply-add compiled with the target's options for a CPU with FMA, where the compiler
// would fuse it into one rounding if the option were lost. Call it only where the CPU has FMA.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__)
#define TORVEL_FMA_CODE __attribute__((target("fma")))
#else
#define TORVEL_FMA_CODE  // FMA is part of the base instruction set, or absent
#endif

// torvel::<target>_multiply_add(a, b, c) = a * b + c.
#define TORVEL_DECLARE_UNFUSED_CANARY(target) \
  namespace torvel {                          \
  TORVEL_FMA_CODE double target##_multiply_add(double a, double b, double c); \
  }

#define TORVEL_UNFUSED_CANARY(target)                                              \
  TORVEL_DECLARE_UNFUSED_CANARY(target)                                            \
  namespace torvel {                                                               \
  TORVEL_FMA_CODE double target##_multiply_add(double a, double b, double c) {     \
    return a * b + c;                                                              \
  }                                                                                \
  }
