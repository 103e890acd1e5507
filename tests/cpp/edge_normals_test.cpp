// Normals at located crossings without gradients: two points across the
// edge where the root finding left its slope, four (the tetrahedron) where
// it did not; exact on linear fields, first order in the step on curved ones.
#include <cmath>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "dc/edge_normals.h"
#include "fields.h"
#include "support/panic.h"

namespace karvex {
namespace {

using testing::FunctionField;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

double distance(const Vec3& a, const Vec3& b) {
  return testing::length({a.x - b.x, a.y - b.y, a.z - b.z});
}

// A linear field f = a . p + c - iso on every edge axis and direction, with
// and without the slope: exact gradients, two or four points per query in
// one call, in query order.
TEST(EdgeNormals, ExactOnLinearFieldsWithTwoPointsWhereTheSlopeIsKnown) {
  const Vec3 a{0.3, -1.2, 2.0};
  const double iso = 0.25;
  const auto linear = [&](const Vec3& p) { return (a.x * p.x + a.y * p.y) + a.z * p.z + 0.1; };
  FunctionField field(linear);
  const double along[3] = {a.x, a.y, a.z};
  std::vector<EdgeNormalQuery> queries;
  for (unsigned axis = 0; axis < 3; ++axis) {
    for (const double length : {0.125, -0.5}) {
      Vec3 edge{0.0, 0.0, 0.0};
      (axis == 0 ? edge.x : axis == 1 ? edge.y : edge.z) = length;
      const Vec3 p{0.1 * axis, -0.2, 0.3};
      const double value = linear(p) - iso;
      queries.push_back({p, edge, along[axis] * length, value});
      queries.push_back({p, edge, kNaN, kNaN});
    }
  }
  std::uint64_t samples = 0;
  const std::vector<Vec3> g = estimate_edge_normals(field, queries, 1e-3, iso, samples);
  EXPECT_EQ(field.batch_sizes, std::vector<std::size_t>{6 * (2 + 4)});
  EXPECT_EQ(samples, 36u);
  ASSERT_EQ(g.size(), queries.size());
  for (const Vec3& v : g) EXPECT_LT(distance(v, a), 1e-9);
  EXPECT_TRUE(estimate_edge_normals(field, {}, 1e-3, iso, samples).empty());
  EXPECT_EQ(field.calls, 1u);
}

// On a sphere, at its points on edges along each axis, with the slope the
// edge direction's exact derivative: the error is (h / 2) times the second
// derivatives across the edge, so it halves with h.
TEST(EdgeNormals, FirstOrderInTheStepOnASphere) {
  FunctionField field([](const Vec3& p) { return testing::length(p) - 0.5; });
  const std::vector<Vec3> points{{0.3, -0.2, std::sqrt(0.25 - 0.13)},
                                 {-0.1, 0.45, std::sqrt(0.25 - 0.2125)},
                                 {std::sqrt(0.25 - 0.17), 0.1, -0.4}};
  double previous = 0.0;
  for (const double h : {1e-4, 5e-5}) {
    std::vector<EdgeNormalQuery> queries;
    for (unsigned axis = 0; axis < 3; ++axis) {
      for (const Vec3& p : points) {
        const Vec3 n{p.x / 0.5, p.y / 0.5, p.z / 0.5};
        Vec3 edge{0.0, 0.0, 0.0};
        (axis == 0 ? edge.x : axis == 1 ? edge.y : edge.z) = 0.03;
        const double along = axis == 0 ? n.x : axis == 1 ? n.y : n.z;
        queries.push_back({p, edge, along * 0.03, 0.0});
      }
    }
    std::uint64_t samples = 0;
    const std::vector<Vec3> g = estimate_edge_normals(field, queries, h, 0.0, samples);
    double worst = 0.0;
    for (std::size_t i = 0; i < queries.size(); ++i) {
      const Vec3& p = queries[i].point;
      worst = std::max(worst, distance(g[i], {p.x / 0.5, p.y / 0.5, p.z / 0.5}));
    }
    EXPECT_LT(worst, 2.0 * h);  // |H_jj| <= 1 / r = 2
    if (previous > 0.0) {
      EXPECT_NEAR(worst, previous / 2.0, previous * 0.1);
    }
    previous = worst;
  }
}

TEST(EdgeNormals, TooFewValuesFailAsAnIndexOutOfBounds) {
  testing::ShortField field(3);
  const std::vector<EdgeNormalQuery> queries{{{0, 0, 0}, {1, 0, 0}, 1.0, 0.0},
                                             {{0, 0, 0}, {0, 1, 0}, 1.0, 0.0}};
  std::uint64_t samples = 0;
  try {
    estimate_edge_normals(field, queries, 1e-3, 0.0, samples);
    FAIL();
  } catch (const InvariantFailure& e) {
    EXPECT_STREQ(e.what(), "index out of bounds: the len is 3 but the index is 3");
  }
}

}  // namespace
}  // namespace karvex
