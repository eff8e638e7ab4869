// Builds a hot loop for AVX-512, AVX2 and baseline x86-64, picked at load time.
// Only additions, multiplications, divisions and square roots run in these loops, and
// they round the same at every vector width (no fused multiply-add: the targets whose
// results depend on it build with -ffp-contract=off, see torvel_unfused_arithmetic), so
// all three versions give identical bits.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_ADDRESS__)
#define TORVEL_VECTOR_CLONES __attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
#else
#define TORVEL_VECTOR_CLONES
#endif
