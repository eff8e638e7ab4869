#include "geometry/plane_fit.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>
#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>

#include "robust/least_squares.h"
#include "support/error.h"

// The system BLAS and LAPACK, the same libraries NumPy's dot, matmul and inv call.
extern "C" {
double cblas_ddot(int n, const double* x, int incx, const double* y, int incy);
void cblas_dgemv(int order, int trans, int m, int n, double alpha, const double* a, int lda,
                 const double* x, int incx, double beta, double* y, int incy);
void cblas_dgemm(int order, int trans_a, int trans_b, int m, int n, int k, double alpha,
                 const double* a, int lda, const double* b, int ldb, double beta, double* c,
                 int ldc);
void dgesv_(const int* n, const int* nrhs, double* a, const int* lda, int* ipiv, double* b,
            const int* ldb, int* info);
}

namespace torvel {
namespace {

constexpr int kRowMajor = 101, kColMajor = 102, kNoTrans = 111, kTrans = 112;

constexpr double kResidualThreshold = 0.01;
constexpr int kMaxTrials = 300;
constexpr std::uint32_t kSeed = 42;

// Columns per BLAS call: 3 x 4096 x 3 stays below the size at which a threaded BLAS
// hands the product to its worker threads.
constexpr std::ptrdiff_t kGemmBlock = 4096;

// np.mean of n > 0 values: (0.0 + NumPy's pairwise sum) / n.
double mean_of(const double* a, std::size_t n) {
  const double total = 0.0 + pairwise_sum(a, n);
  return total / static_cast<double>(n);
}

// LA.norm of a 3-vector: sqrt(x . x) through BLAS ddot.
double norm3(const std::array<double, 3>& v) {
  return std::sqrt(cblas_ddot(3, v.data(), 1, v.data(), 1));
}

// LA.inv: LAPACK dgesv on the column-major copy with the identity as right-hand side.
cv::Matx33d lapack_inverse(const cv::Matx33d& m) {
  double a[9], b[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) a[j * 3 + i] = m(i, j);
  int n = 3, ipiv[3], info = 0;
  dgesv_(&n, &n, a, &n, ipiv, b, &n, &info);
  if (info > 0) throw Error(ErrorKind::Value, "Singular matrix");
  cv::Matx33d inv;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) inv(i, j) = b[j * 3 + i];
  return inv;
}

// Steps 4-6: unit normal, rotation axis and angle, Rodrigues matrix and its inverse.
void rotation_from_slopes(const LinearModel& model, LaserPlane& f) {
  std::array<double, 3> nv{-model.coef[0], -model.coef[1], 1.0};
  const double nn = norm3(nv);
  for (double& c : nv) c = c / nn;
  f.normal_vec = nv;

  // np.cross(normal_vec, (0, 0, 1)), evaluated term by term as NumPy does.
  const std::array<double, 3> aaa{nv[1] * 1.0 - nv[2] * 0.0, nv[2] * 0.0 - nv[0] * 1.0,
                                  nv[0] * 0.0 - nv[1] * 0.0};
  const double an = norm3(aaa);
  f.Phi = std::acos(nv[2]);
  if (an == 0.0) {
    // Both slopes zero (or so small that the axis underflows): the normal already is
    // (0, 0, 1) and the rotation is the identity.
    f.RRa = cv::Matx33d::eye();
    f.RRa_inv = cv::Matx33d::eye();
    return;
  }
  cv::Matx31d uPhi;
  for (int i = 0; i < 3; ++i) uPhi(i) = (aaa[i] / an) * f.Phi;
  cv::Mat rra, jacobian;
  cv::Rodrigues(cv::Mat(uPhi), rra, jacobian);
  f.RRa = cv::Matx33d(rra);
  f.RRa_inv = lapack_inverse(f.RRa);
}

}  // namespace

void to_plane_frame(const cv::Matx33d& R, Rows3View pts, std::size_t n, double* out) {
  if (n == 0) return;
  const double* r = R.val;  // row-major, contiguous
  const std::ptrdiff_t rs = pts.row_step, cs = pts.col_step;
  const auto sn = static_cast<std::ptrdiff_t>(n);
  const bool fits_int = sn <= INT_MAX && rs <= INT_MAX && cs <= INT_MAX;
  if (fits_int && n == 1 && cs > 0) {
    cblas_dgemv(kColMajor, kTrans, 3, 3, 1.0, r, 3, pts.data, static_cast<int>(cs), 0.0, out, 1);
    return;
  }
  const bool by_rows = cs == 1 && rs >= 3;     // pts.T is column-major: B transposed
  const bool by_cols = rs == 1 && cs >= sn;    // pts.T is row-major
  if (fits_int && n > 1 && (by_rows || by_cols)) {
    // Column blocks small enough that the BLAS stays on this thread; every element is
    // computed by the same kernel whatever the block (blocks of one column are avoided:
    // they would take the matrix-vector path).
    for (std::ptrdiff_t j0 = 0; j0 < sn;) {
      std::ptrdiff_t nc = std::min(kGemmBlock, sn - j0);
      if (sn - j0 - nc == 1) --nc;
      if (by_rows)
        cblas_dgemm(kRowMajor, kNoTrans, kTrans, 3, static_cast<int>(nc), 3, 1.0, r, 3,
                    pts.data + j0 * rs, static_cast<int>(rs), 0.0, out + j0, static_cast<int>(sn));
      else
        cblas_dgemm(kRowMajor, kNoTrans, kNoTrans, 3, static_cast<int>(nc), 3, 1.0, r, 3,
                    pts.data + j0, static_cast<int>(cs), 0.0, out + j0, static_cast<int>(sn));
      j0 += nc;
    }
    return;
  }
  for (int i = 0; i < 3; ++i)
    for (std::size_t j = 0; j < n; ++j) {
      double acc = 0.0;
      for (int k = 0; k < 3; ++k) acc += r[i * 3 + k] * pts.at(j, k);
      out[static_cast<std::size_t>(i) * n + j] = acc;
    }
}

PlaneFrame fit_plane_frame(Rows3View points, std::size_t n) {
  // xsys (n x 2) and zs2, copied out of the caller's array before any centring.
  std::vector<double> xsys(2 * n), zs2(n);
  for (std::size_t i = 0; i < n; ++i) {
    xsys[2 * i] = points.at(i, 0);
    xsys[2 * i + 1] = points.at(i, 1);
    zs2[i] = points.at(i, 2);
  }
  // The reference's xsys is a transposed stack, so NumPy predicts on it in Fortran order.
  RansacReport fit = ransac_linear(xsys.data(), n, 2, zs2.data(), kResidualThreshold,
                                   ArrayOrder::Fortran, kMaxTrials, kSeed);
  if (!fit.success || fit.model.coef.size() != 2)
    throw Error(ErrorKind::Runtime, "RANSAC returned no plane model");

  return plane_frame_from_model(std::move(fit.model), xsys[0], xsys[1], xsys[2], xsys[3]);
}

PlaneFrame plane_frame_from_model(LinearModel model, double x0, double y0, double x1,
                                  double y1) {
  PlaneFrame f;
  f.model = std::move(model);
  LaserPlane& p = f.plane;
  rotation_from_slopes(f.model, p);
  // Means of the first two rows of xsys.
  const double row0[2] = {x0, y0}, row1[2] = {x1, y1};
  p.Ox_lpts = mean_of(row0, 2);
  p.Oy_lpts = mean_of(row1, 2);
  const double o[2] = {p.Ox_lpts, p.Oy_lpts};
  p.Oz_lpts = f.model.predict(o);
  f.x0 = x0;
  f.y0 = y0;
  return f;
}

void centre_in_place(double* data, std::ptrdiff_t row_step, std::ptrdiff_t col_step,
                     std::size_t n, const PlaneFrame& frame) {
  const double o[3] = {frame.plane.Ox_lpts, frame.plane.Oy_lpts, frame.plane.Oz_lpts};
  for (int j = 0; j < 3; ++j)
    for (std::size_t i = 0; i < n; ++i) {
      double& v = data[static_cast<std::ptrdiff_t>(i) * row_step + j * col_step];
      v = v - o[j];
    }
}

LaserPlane finish_plane_fit(const PlaneFrame& f, Rows3View centred, std::size_t n,
                            double shift_ratio) {
  LaserPlane p = f.plane;

  // Signed distances: row 2 of temp1 = RRa times the transposed centred points.
  std::vector<double> temp1(3 * n);
  to_plane_frame(p.RRa, centred, n, temp1.data());
  const double* dist = temp1.data() + 2 * n;
  std::vector<double> abs_distances(n);
  for (std::size_t i = 0; i < n; ++i) abs_distances[i] = std::fabs(dist[i]);
  p.mean_dist = n ? mean_of(abs_distances.data(), n) : std::numeric_limits<double>::quiet_NaN();

  // The negative distances in order, gathered into the rows 0 and 1 no longer needed.
  double* below_values = temp1.data();
  std::size_t below = 0;
  for (std::size_t i = 0; i < n; ++i)
    if (dist[i] < 0.0) below_values[below++] = dist[i];
  p.empty_below = below == 0;
  p.shift = p.empty_below ? std::numeric_limits<double>::quiet_NaN()
                          : mean_of(below_values, below);

  const double first[2] = {f.x0, f.y0};
  p.p_cos_one_point[0] = f.x0 - p.shift * p.normal_vec[0] * 2.0;
  p.p_cos_one_point[1] = f.y0 - p.shift * p.normal_vec[1] * 2.0;
  p.p_cos_one_point[2] = f.model.predict(first) - p.shift * p.normal_vec[2] * shift_ratio;
  return p;
}

LaserPlane fit_plane(double* points, std::size_t n, double shift_ratio) {
  const Rows3View view{points, 3, 1};
  const PlaneFrame frame = fit_plane_frame(view, n);
  centre_in_place(points, 3, 1, n, frame);
  return finish_plane_fit(frame, view, n, shift_ratio);
}

}  // namespace torvel
