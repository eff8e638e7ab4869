// The first step of a minimum-norm least-squares solve on a tall centred m x 2 system:
// A = QR by Householder reflections and Q^T applied to b, as LAPACK's dgeqrf and dormqr
// compute it on two columns (dgeqr2 and dorm2r: dlarfg, dlarf, with the reference BLAS's
// dnrm2, dscal, dgemv and dger), written out as four passes over the rows instead of the
// libraries' eleven, with the same operations in the same order.
#pragma once

#include <cstddef>

namespace torvel {

struct TwoColumnReduction {
  double r11 = 0.0, r12 = 0.0, r22 = 0.0;  // R, upper triangular
  double qtb0 = 0.0, qtb1 = 0.0;           // the first two values of Q^T b
  double a_max = 0.0, b_max = 0.0;         // the largest |value| of A and of b
};

// x: the m x 2 system, row-major; b: m values; scratch: room for 2 m values. m >= 2.
// Returns false where the reference would leave this arithmetic: a value that its dnrm2
// scales (a non-zero magnitude outside its plain range, numeric/norm_range.h).
bool reduce_two_columns(const double* x, const double* b, std::size_t m, double* scratch,
                        TwoColumnReduction& out);

// The same on x and b less their offsets (x_offset: two values), which are written back
// whatever the outcome: NotFinite when a centred value is not finite (nothing else is
// done), NotPlain where reduce_two_columns would return false.
enum class Reduction { Done, NotFinite, NotPlain };
Reduction centre_and_reduce_two_columns(double* x, double* b, std::size_t m,
                                        const double* x_offset, double y_offset,
                                        double* scratch, TwoColumnReduction& out);

}  // namespace torvel
