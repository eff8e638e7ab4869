// The system BLAS and LAPACK routines the library calls: the libraries NumPy's dot, matmul
// and inv and SciPy's lstsq load on the same system, through the same entry points. They are
// declared here and nowhere else.
//
// Which of the fits' tiny products (two or three terms per value) are computed inline
// instead of by these routines is the SolvePlan's choice (numeric/solve_plan.h).
#pragma once

#include <cstddef>
#include <limits>

#include "support/error.h"

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

// A size as the routines' 32-bit int; larger sizes are a Value error.
inline int blas_int(std::size_t v) {
  if (v > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    raise_value_error("array too large for the linear algebra library");
  }
  return static_cast<int>(v);
}

// numpy.dot of two float64 vectors: 0.0 + ddot.
inline double numpy_dot(const double* x, const double* y, int n) {
  return 0.0 + cblas_ddot(n, x, 1, y, 1);
}

}  // namespace torvel
