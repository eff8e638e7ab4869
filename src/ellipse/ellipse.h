// Outline of an ellipse given by its semi-axes and rotation, or by a 2 x 2 covariance
// and the probability mass the outline is to enclose.
#pragma once

#include <cstdint>
#include <optional>

namespace torvel {

// Singular value decomposition of a 2 x 2 matrix [[a, b], [c, d]] in closed form:
// s0 >= s1 >= 0, and the angle of the first left singular vector (the first principal
// direction, column 0 of the left factor) folded into (-pi/2, pi/2].
struct Svd2 {
  double s0 = 0.0;
  double s1 = 0.0;
  double direction = 0.0;
};
Svd2 svd2(double a, double b, double c, double d);

struct EllipseShape {
  double semimaj = 1.0;  // semi-axis along the first axis before rotation
  double semimin = 1.0;  // semi-axis along the second axis
  double phi = 0.0;      // rotation, radians, turning the first axis from +x towards +y
};

// Shape from a covariance [[a, b], [c, d]]: the semi-axes are the square roots of the
// singular values times chi2_multiplier(mass) (sqrt(2.279) without a mass), phi the
// first principal direction. A NaN entry is a Value error (the decomposition does not
// converge); an infinite one gives NaN semi-axes and angle.
EllipseShape ellipse_from_covariance(double a, double b, double c, double d,
                                     std::optional<double> mass);

// n outline points, n >= 0 (negative n is a Value error): theta_k from an end-point-
// inclusive linspace over [0, 2 pi], r = 1 / sqrt(cos^2 + sin^2), (x, y) = r (cos, sin),
// T = R(phi) S(semimaj, semimin), point = T (x, y) + (x_cent, y_cent).
// Writes n values to out_x and out_y.
void ellipse_outline(const EllipseShape& shape, double x_cent, double y_cent, std::int64_t n,
                     double* out_x, double* out_y);

}  // namespace torvel
