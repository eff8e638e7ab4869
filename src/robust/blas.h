// The system BLAS and LAPACK routines the fits call: the libraries NumPy's dot, matmul and
// inv and SciPy's lstsq load on the same system, through the same entry points.
//
// The fits' products are tiny (two or three terms per value), so the BLAS call costs more
// than the arithmetic. When the loaded BLAS evaluates them in plain left-to-right double
// arithmetic, as the reference BLAS does, the fits compute them inline with that same
// arithmetic; otherwise they call the BLAS. `blas_products_are_plain` decides once per
// process by probing the loaded library with values on which every other evaluation order,
// fused multiply-add included, rounds differently.
#pragma once

#include <cstddef>

extern "C" {
enum { kCblasRowMajor = 101, kCblasColMajor = 102, kCblasNoTrans = 111, kCblasTrans = 112 };

double cblas_ddot(int n, const double* x, int incx, const double* y, int incy);
void cblas_dgemv(int order, int trans, int m, int n, double alpha, const double* a, int lda,
                 const double* x, int incx, double beta, double* y, int incy);
void cblas_dgemm(int order, int trans_a, int trans_b, int m, int n, int k, double alpha,
                 const double* a, int lda, const double* b, int ldb, double beta, double* c,
                 int ldc);

void dgelsd_(const int* m, const int* n, const int* nrhs, double* a, const int* lda, double* b,
             const int* ldb, double* s, const double* rcond, int* rank, double* work,
             const int* lwork, int* iwork, int* info);
void dgeqrf_(const int* m, const int* n, double* a, const int* lda, double* tau, double* work,
             const int* lwork, int* info);
void dormqr_(const char* side, const char* trans, const int* m, const int* n, const int* k,
             const double* a, const int* lda, const double* tau, double* c, const int* ldc,
             double* work, const int* lwork, int* info, std::size_t side_len,
             std::size_t trans_len);
void dgesv_(const int* n, const int* nrhs, double* a, const int* lda, int* ipiv, double* b,
            const int* ldb, int* info);
}

namespace torvel {

// The products the fits take from the BLAS, and how each is laid out.
struct PlainBlas {
  // NumPy's `X @ coef` on an n x 2 array, C-ordered (dgemv, transposed) and Fortran-ordered
  // (dgemv): each value is (0 + x0*c0) + x1*c1.
  bool gemv_two_columns = false;
  // `R @ pts.T` for a 3 x 3 R and n x 3 points, C-ordered (dgemm, B transposed) and
  // Fortran-ordered (dgemm): each value is ((0 + r0*p0) + r1*p1) + r2*p2.
  bool gemm_three_terms = false;
};

// What the loaded BLAS was found to compute in plain arithmetic (probed on first use).
const PlainBlas& plain_blas();

}  // namespace torvel
