// Root finding on edges: the bracket is kept, the stated accuracy reached,
// and smooth fields take few samples; and the whole search through a field.
#include <cmath>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "construction/build.h"
#include "dc/crossings.h"
#include "dc/edge_roots.h"
#include "dc/shared_crossings.h"
#include "dc/surface_cells.h"
#include "fields.h"

namespace karvex {
namespace {

// A field along the edge, t in [0, 1], with its exact root and, optionally,
// its derivative.
struct EdgeCase {
  std::string name;
  std::function<double(double)> f;
  double root;
  std::function<double(double)> slope;  // null: values only
  int max_samples;                       // with values only
  int max_newton_samples = 0;            // with slopes
  double curvature = -1.0;               // bound on |f''| near the root; < 0: a kink or step
};

std::ostream& operator<<(std::ostream& out, const EdgeCase& c) { return out << c.name; }

// Runs the search as the batched driver does, one sample at a time,
// checking after every sample that the bracket still holds the root.
int search(const EdgeCase& c, bool with_slope, double& located,
           EdgeRootSearch* finished = nullptr) {
  EdgeRootSearch s = EdgeRootSearch::start(c.f(0.0), c.f(1.0));
  int samples = 0;
  while (!s.done) {
    const double t = s.propose();
    EXPECT_GT(t, s.a);
    EXPECT_LT(t, s.b);
    const double slope = with_slope ? c.slope(t) : std::nan("");
    s.take(t, c.f(t), slope);
    ++samples;
    if (!s.done) {
      EXPECT_LE(s.a, c.root) << "after sample " << samples;
      EXPECT_GE(s.b, c.root) << "after sample " << samples;
    }
    if (samples > 64) break;
  }
  located = s.located();
  if (finished != nullptr) *finished = s;
  return samples;
}

class EdgeRoot : public ::testing::TestWithParam<EdgeCase> {};

TEST_P(EdgeRoot, ValuesOnlyKeepsTheBracketAndReachesTheTolerance) {
  const EdgeCase& c = GetParam();
  double located = 0.0;
  const int samples = search(c, false, located);
  EXPECT_LE(std::abs(located - c.root), kRootTolerance);
  // Smooth fields in a few samples; the others in at most about three per
  // halving of the bracket (a stalled side is followed by bisection).
  EXPECT_LE(samples, c.max_samples);
}

// What the values-only search leaves for the normal: df/dt at the located
// point, from its final bracket, to the bracket's width times f''; the value
// there to its square.
TEST_P(EdgeRoot, ValuesOnlyLeavesTheSlopeAtTheLocatedPoint) {
  const EdgeCase& c = GetParam();
  if (c.curvature < 0.0) GTEST_SKIP() << "no slope at the root";
  double located = 0.0;
  EdgeRootSearch s;
  search(c, false, located, &s);
  double slope = 0.0, value = 0.0;
  ASSERT_TRUE(s.slope_at_located(slope, value));
  EXPECT_NEAR(slope, c.slope(located), kRootTolerance * c.curvature + 1e-12);
  EXPECT_NEAR(value, c.f(located), kRootTolerance * kRootTolerance * c.curvature + 1e-15);
}

TEST_P(EdgeRoot, NewtonStepsWhereTheFieldGivesSlopes) {
  const EdgeCase& c = GetParam();
  if (!c.slope) GTEST_SKIP() << "no derivative";
  double located = 0.0;
  const int samples = search(c, true, located);
  EXPECT_LE(std::abs(located - c.root), kRootTolerance);
  EXPECT_LE(samples, c.max_newton_samples);
}

double cube(double x) { return x * x * x; }

INSTANTIATE_TEST_SUITE_P(
    Fields, EdgeRoot,
    ::testing::Values(
        EdgeCase{"linear", [](double t) { return 2.0 * t - 0.6; }, 0.3,
                 [](double) { return 2.0; }, 3, 2, 0.0},
        EdgeCase{"quadratic", [](double t) { return t * t - 0.5; }, std::sqrt(0.5),
                 [](double t) { return 2.0 * t; }, 4, 4, 2.0},
        EdgeCase{"cubic", [](double t) { return cube(t - 0.2) - 0.001; }, 0.3,
                 [](double t) { return 3.0 * (t - 0.2) * (t - 0.2); }, 12, 10, 1.0},
        EdgeCase{"steep_near_end", [](double t) { return std::exp(20.0 * t) - 2.0; },
                 std::log(2.0) / 20.0, [](double t) { return 20.0 * std::exp(20.0 * t); }, 18, 12,
                 900.0},
        // Flat on most of the edge, then a rise: regula falsi alone would
        // crawl from the flat side.
        EdgeCase{"flat_stretch",
                 [](double t) { return t < 0.8 ? -1e-3 : (t - 0.8) * 10.0 - 1e-3; }, 0.8001,
                 nullptr, 24},
        // A kink at the root, slopes 10 and 0.1 on either side.
        EdgeCase{"kink",
                 [](double t) { return t < 0.45 ? (t - 0.45) * 10.0 : (t - 0.45) * 0.1; }, 0.45,
                 [](double t) { return t < 0.45 ? 10.0 : 0.1; }, 20, 20},
        // A step: no slope helps, the bracket must close by itself.
        EdgeCase{"step", [](double t) { return t < 0.613 ? -1.0 : 1.0; }, 0.613, nullptr, 30}),
    [](const ::testing::TestParamInfo<EdgeCase>& info) { return info.param.name; });

// A sample that hits zero ends the search there; the bracket it leaves
// gives the slope only when both halves agree (the field is linear along the
// edge), and then exactly.
TEST(EdgeRoot, ExactZeroEndsTheSearchThere) {
  EdgeRootSearch s = EdgeRootSearch::start(-1.0, 1.0);
  const double t = s.propose();
  s.take(t, 0.0, std::nan(""));
  EXPECT_TRUE(s.done);
  EXPECT_EQ(s.located(), t);
  double slope = 0.0, value = 1.0;
  ASSERT_TRUE(s.slope_at_located(slope, value));
  EXPECT_DOUBLE_EQ(slope, 2.0);
  EXPECT_EQ(value, 0.0);
  // A zero at 0.1 between -1 and 3: slopes 10 and 10/3 on its two sides.
  EdgeRootSearch kinked = EdgeRootSearch::start(-1.0, 3.0);
  kinked.take(0.1, 0.0, std::nan(""));
  EXPECT_TRUE(kinked.done);
  EXPECT_FALSE(kinked.slope_at_located(slope, value));
}

TEST(EdgeRoot, NaNSamplesCountAsNotBelowAndTheSearchEnds) {
  // Below on [0, 0.3), NaN beyond: the sign change is at 0.3.
  EdgeCase c{"nan", [](double t) { return t < 0.3 ? -1.0 : std::nan(""); }, 0.3, nullptr, 30};
  EdgeRootSearch s = EdgeRootSearch::start(c.f(0.0), c.f(1.0));
  int samples = 0;
  while (!s.done && samples < 64) {
    const double t = s.propose();
    s.take(t, c.f(t), std::nan(""));
    ++samples;
  }
  EXPECT_TRUE(s.done);
  EXPECT_LE(samples, 30);
  EXPECT_LE(std::abs(s.located() - 0.3), kRootTolerance);
}

// The batched search on a sphere's crossings: one call per round with only
// the open crossings, every located point within the tolerance of the
// surface along its edge, and the gradient of the last sample kept.
TEST(LocateEdgeRoots, SphereCrossingsInFewRounds) {
  for (const bool gradients : {false, true}) {
    testing::FunctionField field = testing::sphere({0.01, -0.02, 0.03}, 0.61, gradients);
    MeshingOptions options;
    options.min_depth = 2;
    options.max_depth = 4;
    const Octree tree = build_octree(field, BBox{{-1, -1, -1}, {1, 1, 1}}, options).octree;
    std::vector<CornerValues> values;
    const std::vector<SurfaceCell> cells = collect_surface_cells(tree, values);
    const CrossingRefs crossings =
        find_crossing_refs(global_pool(), cells);
    const SharedCrossings shared = unshared_crossings(crossings.size());
    field.batch_sizes.clear();
    const EdgeRoots roots =
        locate_edge_roots(global_pool(), field, crossings, shared, cells, values, 0.0);
    ASSERT_EQ(roots.t.size(), crossings.size());
    // Rounds shrink: each call holds the crossings still open.
    for (std::size_t i = 1; i < field.batch_sizes.size(); ++i) {
      EXPECT_LE(field.batch_sizes[i], field.batch_sizes[i - 1]);
    }
    const double per_crossing = static_cast<double>(roots.samples) / crossings.size();
    EXPECT_LE(per_crossing, gradients ? 2.5 : 4.0);
    for (std::size_t k = 0; k < crossings.size(); ++k) {
      const SurfaceCell& cell = cells[crossings[k].cell];
      const CubeEdge& e = CUBE_EDGES[crossings[k].edge];
      const Vec3 p_u = cell.corner(e.u);
      const Vec3 p_v = cell.corner(e.v);
      const double edge = testing::length({p_v.x - p_u.x, p_v.y - p_u.y, p_v.z - p_u.z});
      const Vec3 p = crossing_point(cell, crossings[k], roots.t[k]);
      // The sphere's distance bounds the distance along the edge from below.
      const double f = testing::length({p.x - 0.01, p.y + 0.02, p.z - 0.03}) - 0.61;
      EXPECT_LE(std::abs(f), kRootTolerance * edge);
      EXPECT_EQ(roots.has_gradient[k] != 0, gradients);
    }
  }
}

}  // namespace
}  // namespace karvex
