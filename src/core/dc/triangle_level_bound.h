#pragma once

#include <array>

namespace karvex {

// Signed distances to the level set sampled on one triangle: at its corners
// (k = 0, 1, 2), and along each edge (k, k + 1) at its midpoint and its
// quarter points (the one nearer corner k first); at its centroid.
struct TriangleLevels {
  std::array<double, 3> corner;
  std::array<std::array<double, 3>, 3> edge;  // per edge: midpoint, near quarter, far quarter
  double centre;
};

// An estimate of the largest distance to the level set over the whole
// triangle, not only at its samples: the quadratic through the corners and
// midpoints (exact where the field is quadratic over the triangle, as a
// smooth surface is to leading order) has its largest magnitude over the
// triangle found exactly (at a corner, where it is stationary along an edge
// or inside), and the most the quarter points and centroid depart from it
// is added, as the measure of what the quadratic misses. At least the
// largest magnitude of every sample. NaN when a level is NaN.
double triangle_level_bound(const TriangleLevels& levels);

}  // namespace karvex
