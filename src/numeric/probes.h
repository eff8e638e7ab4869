// The probes of the loaded BLAS and LAPACK that choose the SolvePlan (numeric/solve_plan.h).
// Each runs the library routines on reproducible values on which every other evaluation
// order, fused multiply-add included, rounds differently, and compares the bits.
#pragma once

namespace torvel {

// Whether the BLAS computes the fits' products in plain left-to-right double arithmetic:
// the two-column dgemv products and the three-term dgemm products, C- and Fortran-ordered.
struct PlainProducts {
  bool two_columns = false;
  bool three_terms = false;
};
PlainProducts probe_plain_products();

// Whether the split (dgeqrf, dormqr, dgelsd on R) gives the single dgelsd call's bits on tall
// systems of one and two columns.
bool split_gives_single_call_bits();

// Whether the written-out two-column reduction, then dgelsd on R, gives the single call's
// bits on tall systems, with and without trailing zeros in a column.
bool reduction_gives_single_call_bits();

}  // namespace torvel
