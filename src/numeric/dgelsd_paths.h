// The minimum-norm least-squares solution of a centred system, as SciPy's lstsq computes it
// for scikit-learn's LinearRegression: one LAPACK dgelsd call with rcond = machine epsilon.
//
// On a tall system dgelsd first reduces A to R (a QR factorisation, dgeqrf and dormqr) and
// then solves the columns x columns system. Where no rescaling can happen, that is also done
// here in separate calls (the split, which spares dgelsd's two full scans of A and b), and
// on two columns with the reduction itself written out (numeric/two_column_reduction.h).
// Which of these paths runs is the SolvePlan's (numeric/solve_plan.h): a path is taken only
// where the loaded libraries were found to give it the single call's bits.
#pragma once

#include <cstddef>
#include <vector>

#include "numeric/two_column_reduction.h"

namespace torvel {

// Reusable buffers of one fitter; not shared between threads.
struct LeastSquaresWork {
  std::vector<double> x, y, a, b, s, work, pred, reduction;
  std::vector<int> iwork;
  int queried_m = -1, queried_n = -1;  // the shape whose workspace `work`/`iwork` hold
  int lwork = 0;
};

// Systems the split applies to: from this many rows it pays for its extra calls.
inline constexpr std::size_t kSplitFromRows = 64;
// Two-column systems the written-out reduction applies to: dgelsd factors before its SVD
// from 1.6 times the columns, so from three rows the reduction is its path.
inline constexpr std::size_t kReduceFromRows = 3;

// Whether the plan reduces an m x columns system with the written-out reduction.
bool plan_reduces(int columns, std::size_t m);

// The minimum-norm solution of the centred m x columns system (a row-major, b of length m;
// columns 1 or 2) into coef, by the plan's paths.
void dgelsd_solve(const double* a, const double* b, std::size_t m, int columns, double* coef,
                  LeastSquaresWork& work);

// The same on a system whose written-out reduction was already made (reduced), or found not
// to apply (null): the plan's remaining paths.
void dgelsd_solve_after_reduction(const double* a, const double* b, std::size_t m, int columns,
                                  const TwoColumnReduction* reduced, double* coef,
                                  LeastSquaresWork& work);

// Each path on its own, whatever the plan (the probes compare them with the single call).
// The single dgelsd call.
void single_dgelsd_call(const double* a, const double* b, std::size_t m, int columns,
                        double* coef, LeastSquaresWork& work);
// dgeqrf and dormqr, then dgelsd on R: false (coef untouched) where dgelsd would rescale A,
// b or the reduced system.
bool split_dgelsd_call(const double* a, const double* b, std::size_t m, int columns,
                       double* coef, LeastSquaresWork& work);
// The written-out two-column reduction, then dgelsd on R: false (coef untouched) where
// dgelsd or its dnrm2 would rescale.
bool reduced_dgelsd_call(const double* a, const double* b, std::size_t m, double* coef,
                         LeastSquaresWork& work);

// A two-point line (one column, two rows) as one reflection of length two, which every BLAS
// computes alike: dgelsd's arithmetic on that system where two_point_line_applies (every
// value in dnrm2's plain range).
bool two_point_line_applies(const double* a, const double* b);
double householder_slope(const double* a, const double* b, std::size_t m,
                         std::vector<double>& scratch);

}  // namespace torvel
