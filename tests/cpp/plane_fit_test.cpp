#include "geometry/plane_fit.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "expect_error.h"
#include "support/error.h"

namespace torvel {
namespace {

LinearModel plane(double a, double b, double c) {
  LinearModel m;
  m.coef = {a, b};
  m.intercept = c;
  return m;
}

void expect_rotation_onto_z(const LaserPlane& f) {
  const cv::Vec3d n(f.normal_vec[0], f.normal_vec[1], f.normal_vec[2]);
  const cv::Vec3d z = f.RRa * n;
  EXPECT_NEAR(z[0], 0.0, 1e-15);
  EXPECT_NEAR(z[1], 0.0, 1e-15);
  EXPECT_NEAR(z[2], 1.0, 1e-15);
  const cv::Matx33d identity = f.RRa * f.RRa_inv;
  EXPECT_LT(cv::norm(identity - cv::Matx33d::eye(), cv::NORM_INF), 1e-15);
  EXPECT_LT(cv::norm(f.RRa_inv - f.RRa.t(), cv::NORM_INF), 1e-15);
}

// n points of z = a*x + b*y + c with uniform noise below the threshold and a share of
// far outliers; row-major n x 3.
std::vector<double> scene(std::size_t n, double a, double b, double c, double outliers,
                          unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> xy(-60.0, 60.0), noise(-0.004, 0.004),
      off(0.5, 20.0), pick(0.0, 1.0);
  std::vector<double> p(3 * n);
  for (std::size_t i = 0; i < n; ++i) {
    const double x = xy(gen), y = xy(gen);
    double z = a * x + b * y + c + noise(gen);
    if (pick(gen) < outliers) z += (pick(gen) < 0.5 ? -1.0 : 1.0) * off(gen);
    p[3 * i] = x;
    p[3 * i + 1] = y;
    p[3 * i + 2] = z;
  }
  return p;
}

TEST(PlaneFrame, FortyFiveDegreePlane) {
  const LaserPlane f = plane_frame_from_model(plane(1.0, 0.0, 5.0), 0.0, 0.0, 1.0, 1.0).plane;
  const double s = 1.0 / std::sqrt(2.0);
  EXPECT_NEAR(f.normal_vec[0], -s, 1e-16);
  EXPECT_EQ(f.normal_vec[1], 0.0);
  EXPECT_NEAR(f.normal_vec[2], s, 1e-16);
  EXPECT_NEAR(f.Phi, M_PI / 4, 1e-15);
  expect_rotation_onto_z(f);
}

TEST(PlaneFrame, ZeroSlopesGiveTheIdentity) {
  const LaserPlane f = plane_frame_from_model(plane(0.0, 0.0, 2.0), 4.0, 6.0, 1.0, 3.0).plane;
  EXPECT_EQ(f.Phi, 0.0);
  EXPECT_EQ(f.normal_vec[2], 1.0);
  EXPECT_EQ(f.RRa, cv::Matx33d::eye());
  EXPECT_EQ(f.RRa_inv, cv::Matx33d::eye());
  EXPECT_EQ(f.Oz_lpts, 2.0);
  // Slopes so small that the rotation axis underflows are the same case.
  const LaserPlane tiny = plane_frame_from_model(plane(1e-200, -1e-200, 2.0), 0, 0, 0, 0).plane;
  EXPECT_EQ(tiny.RRa, cv::Matx33d::eye());
}

TEST(PlaneFrame, ReferencePointFromTheFirstTwoRows) {
  const LaserPlane f = plane_frame_from_model(plane(0.5, -0.25, 3.0), 1.0, 2.0, 3.0, 5.0).plane;
  EXPECT_EQ(f.Ox_lpts, 1.5);
  EXPECT_EQ(f.Oy_lpts, 4.0);
  EXPECT_EQ(f.Oz_lpts, (0.0 + 1.5 * 0.5 + 4.0 * -0.25) + 3.0);
  expect_rotation_onto_z(f);
}

TEST(FinishPlaneFit, DistancesShiftAndOffsetPoint) {
  // Plane z = 2: signed distances are z - 2 exactly.
  const PlaneFrame f = plane_frame_from_model(plane(0.0, 0.0, 2.0), 1.0, 3.0, 0.0, 0.0);
  const std::vector<double> centred = {1, 3, 0.5, 0, 0, -0.25, 7, 7, -0.75, 2, 2, 0.0};
  const LaserPlane p = finish_plane_fit(f, Rows3View{centred.data(), 3, 1}, 4, 3.0);
  EXPECT_EQ(p.mean_dist, 1.5 / 4);
  EXPECT_EQ(p.shift, -0.5);
  EXPECT_FALSE(p.empty_below);
  EXPECT_EQ(p.p_cos_one_point[0], 1.0);  // the normal has no x or y component
  EXPECT_EQ(p.p_cos_one_point[1], 3.0);
  EXPECT_EQ(p.p_cos_one_point[2], 2.0 + 0.5 * 3.0);

  const std::vector<double> above = {0, 0, 0.5, 1, 1, 0.0, 2, 2, 0.25};
  const LaserPlane q = finish_plane_fit(f, Rows3View{above.data(), 3, 1}, 3, 3.0);
  EXPECT_TRUE(q.empty_below);
  EXPECT_TRUE(std::isnan(q.shift));
  for (double c : q.p_cos_one_point) EXPECT_TRUE(std::isnan(c));
  EXPECT_EQ(q.mean_dist, 0.25);
}

// The one-pass centring and distances against centring, then the distances of the view.
TEST(FinishPlaneFit, OnePassMatchesCentringThenFinishing) {
  const std::vector<double> pts = scene(5003, 0.3, -0.45, 700.0, 0.2, 11);
  const PlaneFrame frame = fit_plane_frame(Rows3View{pts.data(), 3, 1}, 5003);
  std::vector<double> one_pass = pts, two_steps = pts;
  const LaserPlane a = centre_and_finish_plane_fit(frame, one_pass.data(), 3, 1, 5003, 1.0);
  centre_in_place(two_steps.data(), 3, 1, 5003, frame);
  const LaserPlane b = finish_plane_fit(frame, Rows3View{two_steps.data(), 3, 1}, 5003, 1.0);
  EXPECT_EQ(one_pass, two_steps);
  const auto bits = [](double v) { return std::bit_cast<std::uint64_t>(v); };
  EXPECT_EQ(bits(a.mean_dist), bits(b.mean_dist));
  EXPECT_EQ(bits(a.shift), bits(b.shift));
  for (int k = 0; k < 3; ++k) EXPECT_EQ(bits(a.p_cos_one_point[k]), bits(b.p_cos_one_point[k]));
}

TEST(ToPlaneFrame, LayoutsAgree) {
  const cv::Matx33d R(0.3, -0.2, 0.9, 0.1, 0.7, 0.4, -0.8, 0.5, 0.2);
  std::mt19937 gen(3);
  std::uniform_real_distribution<double> u(-500.0, 500.0);
  for (std::size_t n : {1u, 2u, 9u, 300u, 4097u}) {
    std::vector<double> rows(6 * n), cols(3 * n);  // rows with a stride of 6; column-major
    for (std::size_t i = 0; i < n; ++i)
      for (int j = 0; j < 3; ++j) rows[6 * i + j] = cols[j * n + i] = u(gen);
    std::vector<double> a(3 * n), b(3 * n), c(3 * n);
    to_plane_frame(R, Rows3View{rows.data(), 6, 1}, n, a.data());
    to_plane_frame(R, Rows3View{cols.data(), 1, static_cast<std::ptrdiff_t>(n)}, n, b.data());
    to_plane_frame(R, Rows3View{rows.data(), 6, 2}, n, c.data());  // a different matrix
    for (std::size_t i = 0; i < 3; ++i)
      for (std::size_t j = 0; j < n; ++j) {
        double exact = 0.0;
        for (int k = 0; k < 3; ++k) exact += R(i, k) * rows[6 * j + k];
        EXPECT_NEAR(a[i * n + j], exact, 1e-12 * 1500);
        EXPECT_NEAR(b[i * n + j], exact, 1e-12 * 1500);
        double strided = 0.0;
        for (int k = 0; k < 3; ++k) strided += R(i, k) * rows[6 * j + 2 * k];
        if (n > 1) {
          EXPECT_EQ(c[i * n + j], strided);  // no BLAS layout: plain sum
        }
        EXPECT_NEAR(c[i * n + j], strided, 1e-12 * 1500);
      }
  }
}

TEST(FitPlane, RecoversTheTiltedPlaneAndCentresInPlace) {
  const std::size_t n = 2000;
  const std::vector<double> input = scene(n, 0.3, -0.2, 400.0, 0.25, 7);
  std::vector<double> pts = input;
  const LaserPlane p = fit_plane(pts.data(), n, 2.0);

  const double len = std::sqrt(0.3 * 0.3 + 0.2 * 0.2 + 1.0);
  EXPECT_NEAR(p.normal_vec[0], -0.3 / len, 1e-4);
  EXPECT_NEAR(p.normal_vec[1], 0.2 / len, 1e-4);
  EXPECT_NEAR(p.normal_vec[2], 1.0 / len, 1e-4);
  EXPECT_NEAR(p.Phi, std::acos(1.0 / len), 1e-4);
  EXPECT_EQ(p.Ox_lpts, (input[0] + input[1]) / 2);
  EXPECT_EQ(p.Oy_lpts, (input[3] + input[4]) / 2);
  for (std::size_t i = 0; i < n; ++i) {
    ASSERT_EQ(pts[3 * i], input[3 * i] - p.Ox_lpts);
    ASSERT_EQ(pts[3 * i + 1], input[3 * i + 1] - p.Oy_lpts);
    ASSERT_EQ(pts[3 * i + 2], input[3 * i + 2] - p.Oz_lpts);
  }
  // Outliers count in the distances: far more than the inlier noise.
  EXPECT_GT(p.mean_dist, 0.1);
  EXPECT_LT(p.shift, -0.1);
  // p_cos_one_point is P0 moved by -shift * (2 n0, 2 n1, 2 n2) for shift_ratio 2.
  const double a = p.normal_vec[0], b = p.normal_vec[1];
  EXPECT_NEAR(p.p_cos_one_point[0], input[0] - p.shift * a * 2, 1e-9);
  EXPECT_NEAR(p.p_cos_one_point[1], input[1] - p.shift * b * 2, 1e-9);

  std::vector<double> again = input;
  const LaserPlane q = fit_plane(again.data(), n, 2.0);
  EXPECT_EQ(again, pts);
  EXPECT_EQ(q.RRa, p.RRa);
  EXPECT_EQ(q.p_cos_one_point, p.p_cos_one_point);
  EXPECT_EQ(q.mean_dist, p.mean_dist);
}

TEST(FitPlane, EstimatorErrorsLeaveThePointsUntouched) {
  std::vector<double> two = {0, 0, 1, 1, 1, 2};
  testing::expect_error(ErrorKind::Value, [&] { fit_plane(two.data(), 2, 1.0); });
  EXPECT_EQ(two, (std::vector<double>{0, 0, 1, 1, 1, 2}));
}

}  // namespace
}  // namespace torvel
