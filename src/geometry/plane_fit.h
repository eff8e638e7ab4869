// Robust laser-plane fit and the rotation into the plane's own frame.
//
// The plane z = a*x + b*y + c is fitted to N camera-frame points by RANSAC (kPlaneRansac;
// see robust/ransac.h). normal_vec = (-a, -b, 1) / |.|;
// RRa is the Rodrigues rotation about normal_vec x (0, 0, 1) by Phi = acos(normal_vec[2]),
// so RRa * normal_vec = (0, 0, 1): camera frame -> plane frame. RRa_inv is its LAPACK
// inverse. O = (Ox_lpts, Oy_lpts, Oz_lpts) with Ox_lpts = (x0 + y0) / 2 of the FIRST point,
// Oy_lpts = (x1 + y1) / 2 of the SECOND point and Oz_lpts the fitted height there.
//
// The fit runs in two stages around the caller's in-place centring (each point minus O,
// stored in the caller's element type, so integer arrays hold truncated values):
//   PlaneFrame f = fit_plane_frame(points, n);   // fit, normal, rotation, O
//   ... centre the caller's array ...            // centre_in_place for double arrays
//   LaserPlane p = finish_plane_fit(f, centred, n, shift_ratio);
// fit_plane() does all three on a contiguous double array.
//
// Rounding follows the NumPy composition: norms and the 3 x N rotation go through the
// system BLAS (cblas_ddot, cblas_dgemm / cblas_dgemv, chosen as NumPy's matmul chooses),
// the inverse through LAPACK dgesv, means are NumPy's pairwise sums.
#pragma once

#include <array>
#include <cstddef>

#include <opencv2/core/matx.hpp>

#include "robust/ransac.h"
#include "support/strided.h"

namespace torvel {

// The robust fit of the plane: a point is an inlier within 0.01 along z (in the points'
// length unit), 300 trials, seed 42.
inline constexpr RansacOptions kPlaneRansac{.residual_threshold = 0.01, .inlier_mask = false};

// The ten documented values, in result order, and the empty-mean flag.
struct LaserPlane {
  double Phi = 0.0;                // radians, [0, pi/2)
  std::array<double, 3> normal_vec{};
  cv::Matx33d RRa;                 // camera frame -> plane frame (identity when the
  cv::Matx33d RRa_inv;             // rotation axis has zero length: both slopes zero)
  double Ox_lpts = 0.0, Oy_lpts = 0.0, Oz_lpts = 0.0;
  std::array<double, 3> p_cos_one_point{};
  double mean_dist = 0.0;          // mean |signed distance| of all points from the plane
  double shift = 0.0;              // mean of the negative signed distances
  bool empty_below = false;        // no point strictly below: shift and p_cos_one_point are
                                   // NaN (NumPy's "Mean of empty slice." warning case)
};

// The fit before the centring.
struct PlaneFrame {
  LinearModel model;               // the fitted plane z = coef[0]*x + coef[1]*y + intercept
  double x0 = 0.0, y0 = 0.0;       // the first point's x and y as read before centring
  LaserPlane plane;                // Phi .. Oz_lpts set; the rest is finish_plane_fit's
};

// Points: n rows of (x, y, z). Throws torvel::Error(Value, ...) as the RANSAC estimator does
// (fewer than 3 points, NaN/inf, no consensus set).
PlaneFrame fit_plane_frame(Rows3View points, std::size_t n);

// Everything after the robust fit: normal, rotation and O from the fitted model and the
// first two points (x0, y0, .), (x1, y1, .).
PlaneFrame plane_frame_from_model(LinearModel model, double x0, double y0, double x1,
                                  double y1);

// Subtracts (Ox_lpts, Oy_lpts, Oz_lpts) from the n rows of a double array in place.
void centre_in_place(double* data, std::ptrdiff_t row_step, std::ptrdiff_t col_step,
                     std::size_t n, const PlaneFrame& frame);

// Distances of the centred points (as stored, converted to double) and p_cos_one_point:
// [0] = x0 - shift*n0*2, [1] = y0 - shift*n1*2,
// [2] = predict(x0, y0) - shift*n2*shift_ratio.
LaserPlane finish_plane_fit(const PlaneFrame& frame, Rows3View centred, std::size_t n,
                            double shift_ratio);

// centre_in_place and then finish_plane_fit, in one pass over contiguous rows where the
// distances are computed inline.
LaserPlane centre_and_finish_plane_fit(const PlaneFrame& frame, double* data,
                                       std::ptrdiff_t row_step, std::ptrdiff_t col_step,
                                       std::size_t n, double shift_ratio);

// The whole fit on n contiguous rows of three doubles, centred in place.
LaserPlane fit_plane(double* points, std::size_t n, double shift_ratio);

// out (3 x n, row-major) = R times the transpose of the n x 3 view, rounded as NumPy's
// `R @ pts.T`: BLAS dgemm for the layouts NumPy hands to BLAS (called in column blocks that
// keep a threaded BLAS on the calling thread; inline where the SolvePlan found the BLAS to
// round plainly, numeric/solve_plan.h), dgemv for n = 1, otherwise
// ((0 + r0*p0) + r1*p1) + r2*p2.
void to_plane_frame(const cv::Matx33d& R, Rows3View pts, std::size_t n, double* out);

}  // namespace torvel
