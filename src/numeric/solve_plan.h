// Which arithmetic the library runs where it has a choice that must not change a bit: the
// fits' tiny products (two or three terms per value) inline or by the BLAS, and the
// least-squares paths besides the single dgelsd call (numeric/dgelsd_paths.h).
//
// The plan is chosen once per process by probing the loaded libraries (numeric/probes.h):
// a product runs inline only where the BLAS was found to compute it in plain left-to-right
// double arithmetic, as the reference BLAS does, and a least-squares path runs only where it
// was found to give the single call's bits. Elsewhere the library calls the routine itself,
// so the values are those of the libraries NumPy and SciPy load beside it.
#pragma once

namespace torvel {

struct SolvePlan {
  // Products computed inline:
  // NumPy's `X @ coef` on an n x 2 array, C-ordered (dgemv, transposed) and Fortran-ordered
  // (dgemv): each value (0 + x0*c0) + x1*c1.
  bool inline_two_column_products = false;
  // `R @ pts.T` for a 3 x 3 R and n x 3 points, C-ordered (dgemm, B transposed) and
  // Fortran-ordered (dgemm): each value ((0 + r0*p0) + r1*p1) + r2*p2.
  bool inline_three_term_products = false;
  // Least-squares paths taken where they apply:
  // dgeqrf and dormqr, then dgelsd on R (systems of kSplitFromRows rows and more);
  bool split_solve = false;
  // the two-column reduction written out, then dgelsd on R (kReduceFromRows rows and more).
  bool written_out_reduction = false;
};

// The plan in force: the probed one, or a test's forced one.
const SolvePlan& solve_plan();

// The plan the probes of the loaded libraries chose (probed on first use).
const SolvePlan& probed_solve_plan();

// For tests: while it lives, solve_plan() is `plan` on every thread, so that every machine
// runs every plan whatever its libraries' probes found. Not to be nested or used while
// another thread computes.
class ForcedSolvePlan {
 public:
  explicit ForcedSolvePlan(const SolvePlan& plan);
  ~ForcedSolvePlan();
  ForcedSolvePlan(const ForcedSolvePlan&) = delete;
  ForcedSolvePlan& operator=(const ForcedSolvePlan&) = delete;

 private:
  SolvePlan plan_;
};

}  // namespace torvel
