// Scale of a two-dimensional normal's confidence ellipse for a probability mass, read
// from a fixed grid of squared radii rather than from a closed-form quantile.
#pragma once

#include <cstddef>
#include <optional>

namespace torvel {

constexpr std::size_t kChi2GridSize = 20001;

// Grid point i: i * 0.001 for i < 20000, and exactly 20 for the last one (the values of
// an end-point-inclusive linspace from 0 to 20).
double chi2_grid_distance(std::size_t i);

// Chi-square cumulative probability with two degrees of freedom at grid point i, as the
// regularised lower incomplete gamma P(1, d / 2) is evaluated by the Cephes routines
// (power series up to d / 2 = 1, complement by series or continued fraction above), to
// the bit. Strictly increasing over the grid, 0 at i = 0.
double chi2_grid_cdf(std::size_t i);

// The first index i of the smallest |cdf(i) - mass| over the whole grid. Found by
// bisection on the increasing cdf and on the monotone runs of equal errors next to the
// minimum, which gives the same index as a full scan. A NaN mass has no such index:
// Index error.
std::size_t chi2_grid_index(double mass);

// sqrt(chi2_grid_distance(chi2_grid_index(mass))), or sqrt(2.279) without a mass.
double chi2_multiplier(std::optional<double> mass);

}  // namespace torvel
