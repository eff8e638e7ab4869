// Inputs for the products the library may compute inline, and the BLAS's own results for
// them, shared by the tests that compare the two.
#pragma once

#include <cstring>
#include <random>
#include <vector>

#include <opencv2/core/matx.hpp>

#include "numeric/blas.h"
#include "robust/linear_model.h"

namespace torvel {

inline std::vector<double> random_values(std::size_t n, double scale, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<double> v(n);
  for (double& x : v) x = u(gen) * scale;
  return v;
}

inline bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// A two-column model's predictions on n random rows, held C-ordered (X) and Fortran-ordered
// (columns), and NumPy's values for them: dgemv of each layout, then + intercept.
struct TwoColumnPredictions {
  std::vector<double> X, columns, by_rows, by_columns;
  LinearModel model;
};

inline TwoColumnPredictions blas_two_column_predictions(std::size_t n) {
  TwoColumnPredictions p;
  p.X = random_values(2 * n, 300.0, 1);
  p.columns.resize(2 * n);
  for (std::size_t i = 0; i < n; ++i) {
    p.columns[i] = p.X[2 * i];
    p.columns[n + i] = p.X[2 * i + 1];
  }
  p.model.coef = {0.37 / 3.0, -1.1 / 7.0};
  p.model.intercept = 17.0 / 3.0;
  p.by_rows.assign(n, 0.0);
  p.by_columns.assign(n, 0.0);
  const int N = static_cast<int>(n);
  cblas_dgemv(kCblasColMajor, kCblasTrans, 2, N, 1.0, p.X.data(), 2, p.model.coef.data(), 1,
              0.0, p.by_rows.data(), 1);
  cblas_dgemv(kCblasColMajor, kCblasNoTrans, N, 2, 1.0, p.columns.data(), N,
              p.model.coef.data(), 1, 0.0, p.by_columns.data(), 1);
  for (std::size_t i = 0; i < n; ++i) {
    p.by_rows[i] = p.by_rows[i] + p.model.intercept;
    p.by_columns[i] = p.by_columns[i] + p.model.intercept;
  }
  return p;
}

// A rotation without zero entries and NumPy's R @ pts.T of n random C-ordered points (dgemm).
struct PlaneFrameProduct {
  cv::Matx33d R{0.3, -0.2, 0.9, 0.1, 0.7, 0.4, -0.8, 0.5, 0.2 / 3.0};
  std::vector<double> rows, frame;
};

inline PlaneFrameProduct blas_plane_frame(std::size_t n) {
  PlaneFrameProduct p;
  p.rows = random_values(3 * n, 500.0, 2);
  p.frame.resize(3 * n);
  cblas_dgemm(kCblasRowMajor, kCblasNoTrans, kCblasTrans, 3, static_cast<int>(n), 3, 1.0,
              p.R.val, 3, p.rows.data(), 3, 0.0, p.frame.data(), static_cast<int>(n));
  return p;
}

}  // namespace torvel
