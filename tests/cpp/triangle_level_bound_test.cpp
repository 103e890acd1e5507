#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <random>

#include <gtest/gtest.h>

#include "dc/triangle_level_bound.h"

namespace karvex {
namespace {

using Level = std::function<double(double, double, double)>;  // at barycentric (l0, l1, l2)

// The samples the edge collapse takes of a triangle, of a level given in
// barycentric coordinates.
TriangleLevels sampled(const Level& level) {
  TriangleLevels out;
  for (int k = 0; k < 3; ++k) {
    std::array<double, 3> l{0.0, 0.0, 0.0};
    l[k] = 1.0;
    out.corner[k] = level(l[0], l[1], l[2]);
    const int next = (k + 1) % 3;
    for (const auto& [i, near] : {std::pair{0, 0.5}, {1, 0.75}, {2, 0.25}}) {
      l = {0.0, 0.0, 0.0};
      l[k] = near;
      l[next] = 1.0 - near;
      out.edge[k][i] = level(l[0], l[1], l[2]);
    }
  }
  out.centre = level(1.0 / 3.0, 1.0 / 3.0, 1.0 / 3.0);
  return out;
}

// The largest magnitude on a fine barycentric grid.
double dense_max(const Level& level) {
  constexpr int n = 300;
  double largest = 0.0;
  for (int i = 0; i <= n; ++i) {
    for (int j = 0; i + j <= n; ++j) {
      largest = std::max(largest, std::fabs(level(double(n - i - j) / n, double(i) / n,
                                                  double(j) / n)));
    }
  }
  return largest;
}

// A quadratic level is reproduced exactly, so its bound is its largest
// magnitude over the triangle wherever that lies: inside away from every
// sample (a cap straddling the surface, the corners off it on the other
// side), along an edge between quarter points, or at a corner.
TEST(TriangleLevelBound, QuadraticLevelsGiveTheirMaximumOverTheTriangle) {
  const std::array<Level, 4> levels = {
      // A cap's sag, deepest at (0.35, 0.2, 0.45) inside, the corners
      // pushed out across the surface.
      [](double, double l1, double l2) {
        const double x = l1 - 0.2, y = l2 - 0.45;
        return -0.01 + 0.02 * (x * x + y * y);
      },
      // Largest along edge (1, 2) at 0.6 of the way, between its quarters.
      [](double l0, double l1, double l2) {
        const double off = l2 - 0.6 * (l1 + l2);
        return 0.02 - 0.2 * off * off - 0.01 * l0;
      },
      // A saddle: the largest magnitude at a corner.
      [](double l0, double l1, double l2) { return 0.03 * l0 * l1 - 0.04 * l1 * l2 + 0.005 * l2; },
      // Off by a constant with a tilt: linear.
      [](double l0, double l1, double l2) { return 0.004 * l0 - 0.002 * l1 + 0.001 * l2; },
  };
  for (const Level& level : levels) {
    const double bound = triangle_level_bound(sampled(level));
    EXPECT_NEAR(bound, dense_max(level), 1e-6);
    EXPECT_GE(bound, dense_max(level) - 1e-12);
  }
}

// A level that is not quadratic (a cubic sag): the bound covers every
// point of the triangle, by what the quarter points and centroid show.
TEST(TriangleLevelBound, CoversLevelsTheQuadraticMisses) {
  std::mt19937_64 random(7);
  std::uniform_real_distribution<double> coefficient(-0.01, 0.01);
  for (int trial = 0; trial < 200; ++trial) {
    std::array<double, 10> c;
    for (double& x : c) x = coefficient(random);
    const Level level = [&](double l0, double l1, double l2) {
      return c[0] * l0 + c[1] * l1 + c[2] * l2 + c[3] * l0 * l1 + c[4] * l1 * l2 +
             c[5] * l2 * l0 + 0.3 * (c[6] * l0 * l1 * l2 + c[7] * l0 * l0 * l1 +
                                     c[8] * l1 * l1 * l2 + c[9] * l2 * l2 * l0);
    };
    EXPECT_GE(triangle_level_bound(sampled(level)), dense_max(level)) << trial;
  }
}

TEST(TriangleLevelBound, NaNLevelsGiveNaN) {
  TriangleLevels levels = sampled([](double, double, double) { return 0.0; });
  EXPECT_EQ(triangle_level_bound(levels), 0.0);
  levels.edge[1][2] = NAN;
  EXPECT_TRUE(std::isnan(triangle_level_bound(levels)));
  levels = sampled([](double, double, double) { return 0.0; });
  levels.corner[2] = NAN;
  EXPECT_TRUE(std::isnan(triangle_level_bound(levels)));
}

}  // namespace
}  // namespace karvex
