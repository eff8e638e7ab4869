#include "geometry/plane_fit.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>
#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>

#include "numeric/blas.h"
#include "numeric/finite.h"
#include "numeric/pairwise_sum.h"
#include "numeric/solve_plan.h"
#include "support/compress.h"
#include "support/error.h"
#include "support/simd.h"


namespace torvel {
namespace {


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

// A per-thread working array sized for one fit and kept for the next, so that a plane fitted
// per frame allocates (and faults in) nothing; arrays of very large fits are released.
class KeptScratch {
 public:
  KeptScratch(std::vector<double>& v, std::size_t size) : v_(v) {
    if (v_.size() < size) v_.resize(size);
  }
  ~KeptScratch() {
    if (v_.size() > kKeptValues) std::vector<double>().swap(v_);
  }
  KeptScratch(const KeptScratch&) = delete;
  KeptScratch& operator=(const KeptScratch&) = delete;

 private:
  static constexpr std::size_t kKeptValues = std::size_t{1} << 20;
  std::vector<double>& v_;
};

// Whether R @ pts.T may run inline: the plan computes it inline, and R has no zero entry
// (a BLAS may skip a zero's term, which matters for non-finite points).
bool plane_frame_is_plain(const cv::Matx33d& R) {
  if (!solve_plan().inline_three_term_products) return false;
  for (double v : R.val)
    if (v == 0.0) return false;
  return true;
}

// One row of R times the transposed points, as the loaded BLAS was found to compute it.
void plane_frame_row(const double* r, Rows3View pts, std::size_t n, double* out) {
  const double r0 = r[0], r1 = r[1], r2 = r[2];
  const double* p = pts.data;
  const std::ptrdiff_t rs = pts.row_step, cs = pts.col_step;
  for (std::size_t j = 0; j < n; ++j) {
    const double* q = p + static_cast<std::ptrdiff_t>(j) * rs;
    out[j] = ((0.0 + r0 * q[0]) + r1 * q[cs]) + r2 * q[2 * cs];
  }
}

// Contiguous rows (x, y, z) split into their three columns.
TORVEL_VECTOR_CLONES
void split_rows(const double* __restrict rows, std::size_t n, double* __restrict x,
                double* __restrict y, double* __restrict z) {
  for (std::size_t i = 0; i < n; ++i) {
    x[i] = rows[3 * i];
    y[i] = rows[3 * i + 1];
    z[i] = rows[3 * i + 2];
  }
}

}  // namespace

void to_plane_frame(const cv::Matx33d& R, Rows3View pts, std::size_t n, double* out) {
  if (n == 0) return;
  const double* r = R.val;  // row-major, contiguous
  const std::ptrdiff_t rs = pts.row_step, cs = pts.col_step;
  const auto sn = static_cast<std::ptrdiff_t>(n);
  const bool fits_int = sn <= INT_MAX && rs <= INT_MAX && cs <= INT_MAX;
  if (fits_int && n == 1 && cs > 0) {
    cblas_dgemv(kCblasColMajor, kCblasTrans, 3, 3, 1.0, r, 3, pts.data, static_cast<int>(cs), 0.0, out, 1);
    return;
  }
  if (n > 1 && plane_frame_is_plain(R)) {
    for (int i = 0; i < 3; ++i) plane_frame_row(r + 3 * i, pts, n, out + static_cast<std::size_t>(i) * n);
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
        cblas_dgemm(kCblasRowMajor, kCblasNoTrans, kCblasTrans, 3, static_cast<int>(nc), 3, 1.0, r, 3,
                    pts.data + j0 * rs, static_cast<int>(rs), 0.0, out + j0, static_cast<int>(sn));
      else
        cblas_dgemm(kCblasRowMajor, kCblasNoTrans, kCblasNoTrans, 3, static_cast<int>(nc), 3, 1.0, r, 3,
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
  // xsys (n x 2, column after column: a transposed stack, as the reference's) and zs2,
  // copied out of the caller's array before any centring.
  thread_local std::vector<double> copies;
  const KeptScratch kept(copies, 3 * n);
  double* xs = copies.data();
  double* ys = xs + n;
  double* zs2 = ys + n;
  FiniteInputs finite = FiniteInputs::Scan;
  if (points.row_step == 3 && points.col_step == 1) {
    split_rows(points.data, n, xs, ys, zs2);
    if (all_finite(points.data, 3 * n)) finite = FiniteInputs::Known;
  } else {
    for (std::size_t i = 0; i < n; ++i) {
      xs[i] = points.at(i, 0);
      ys[i] = points.at(i, 1);
      zs2[i] = points.at(i, 2);
    }
  }
  // NumPy predicts on the transposed stack in Fortran order.
  RansacReport fit = ransac_linear(xs, n, 2, zs2, kPlaneRansac, ArrayOrder::Fortran, finite);
  return plane_frame_from_model(std::move(fit.model), xs[0], ys[0], xs[1], ys[1]);
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
  if (col_step == 1 && row_step == 3) {  // contiguous rows: one pass
    for (std::size_t i = 0; i < 3 * n; i += 3) {
      data[i] = data[i] - o[0];
      data[i + 1] = data[i + 1] - o[1];
      data[i + 2] = data[i + 2] - o[2];
    }
    return;
  }
  for (int j = 0; j < 3; ++j)
    for (std::size_t i = 0; i < n; ++i) {
      double& v = data[static_cast<std::ptrdiff_t>(i) * row_step + j * col_step];
      v = v - o[j];
    }
}

namespace {

// Contiguous rows less O, and their signed distances (row 2 of RRa times each, inline).
TORVEL_VECTOR_CLONES
void centre_and_measure(double* data, std::size_t n, const LaserPlane& p, double* distances,
                        double* abs_distances) {
  const double o0 = p.Ox_lpts, o1 = p.Oy_lpts, o2 = p.Oz_lpts;
  const double r0 = p.RRa.val[6], r1 = p.RRa.val[7], r2 = p.RRa.val[8];
  for (std::size_t i = 0; i < n; ++i) {
    const double c0 = data[3 * i] - o0, c1 = data[3 * i + 1] - o1, c2 = data[3 * i + 2] - o2;
    data[3 * i] = c0;
    data[3 * i + 1] = c1;
    data[3 * i + 2] = c2;
    const double d = ((0.0 + r0 * c0) + r1 * c1) + r2 * c2;
    distances[i] = d;
    abs_distances[i] = std::fabs(d);
  }
}

// The means of the distances and p_cos_one_point from |distance| (n values) and the negative
// distances (`below` of them, in order).
LaserPlane plane_from_distances(const PlaneFrame& f, const double* abs_distances, std::size_t n,
                                const double* below_values, std::size_t below,
                                double shift_ratio) {
  LaserPlane p = f.plane;
  p.mean_dist = n ? mean_of(abs_distances, n) : std::numeric_limits<double>::quiet_NaN();
  p.empty_below = below == 0;
  p.shift = p.empty_below ? std::numeric_limits<double>::quiet_NaN()
                          : mean_of(below_values, below);

  const double first[2] = {f.x0, f.y0};
  p.p_cos_one_point[0] = f.x0 - p.shift * p.normal_vec[0] * 2.0;
  p.p_cos_one_point[1] = f.y0 - p.shift * p.normal_vec[1] * 2.0;
  p.p_cos_one_point[2] = f.model.predict(first) - p.shift * p.normal_vec[2] * shift_ratio;
  return p;
}

}  // namespace

LaserPlane finish_plane_fit(const PlaneFrame& f, Rows3View centred, std::size_t n,
                            double shift_ratio) {
  // Signed distances: row 2 of temp1 = RRa times the transposed centred points. One
  // uninitialised block holds them (or all of temp1), |distance| and the negative distances
  // in order, the latter gathered without a branch per point.
  const bool plain = n > 1 && plane_frame_is_plain(f.plane.RRa);
  const std::size_t rows = plain ? 1 : 3;
  thread_local std::vector<double> block;
  const KeptScratch kept(block, (rows + 2) * n);
  double* temp1 = block.data();
  const double* dist = temp1 + (rows - 1) * n;
  if (plain) {
    plane_frame_row(f.plane.RRa.val + 6, centred, n, temp1);
  } else {
    to_plane_frame(f.plane.RRa, centred, n, temp1);
  }
  double* abs_distances = temp1 + rows * n;
  double* below_values = abs_distances + n;
  std::size_t below = 0;
  for (std::size_t i = 0; i < n; ++i) {
    abs_distances[i] = std::fabs(dist[i]);
    below_values[below] = dist[i];
    below += static_cast<std::size_t>(dist[i] < 0.0);
  }
  return plane_from_distances(f, abs_distances, n, below_values, below, shift_ratio);
}

LaserPlane centre_and_finish_plane_fit(const PlaneFrame& f, double* data,
                                       std::ptrdiff_t row_step, std::ptrdiff_t col_step,
                                       std::size_t n, double shift_ratio) {
  if (!(row_step == 3 && col_step == 1 && n > 1 && plane_frame_is_plain(f.plane.RRa))) {
    centre_in_place(data, row_step, col_step, n, f);
    return finish_plane_fit(f, Rows3View{data, row_step, col_step}, n, shift_ratio);
  }
  // Each point centred and stored with its distance (row 2 of RRa times it) and |distance|,
  // in vector lanes; then the negative distances kept in order.
  thread_local std::vector<double> block;
  const KeptScratch kept(block, 3 * n);
  double* distances = block.data();
  double* abs_distances = distances + n;
  double* below_values = abs_distances + n;
  centre_and_measure(data, n, f.plane, distances, abs_distances);
  const std::size_t below = keep_negatives(distances, n, below_values);
  return plane_from_distances(f, abs_distances, n, below_values, below, shift_ratio);
}

LaserPlane fit_plane(double* points, std::size_t n, double shift_ratio) {
  const PlaneFrame frame = fit_plane_frame(Rows3View{points, 3, 1}, n);
  return centre_and_finish_plane_fit(frame, points, 3, 1, n, shift_ratio);
}

}  // namespace torvel
