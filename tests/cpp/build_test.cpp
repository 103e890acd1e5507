#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "construction/build.h"
#include "construction/split_criteria.h"
#include "fields.h"
#include "support/panic.h"

namespace karvex {
namespace {

using testing::FailingField;
using testing::FieldFailure;
using testing::FunctionField;
using testing::RecordingField;

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kPi = 3.141592653589793;
const double kCos30 = std::cos(30.0 * kPi / 180.0);

// ---------------------------------------------------------------------------
// Split criteria on hand-made samples.

Vec3 in_plane(double degrees, double norm = 1.0) {
  const double r = degrees * kPi / 180.0;
  return {norm * std::cos(r), norm * std::sin(r), 0.0};
}

// A leaf's eight corner samples, each carrying its gradient.
struct LeafSamples {
  std::array<CornerSample, 8> samples;
  std::array<const CornerSample*, 8> pointers;

  explicit LeafSamples(const std::array<Vec3, 8>& gradients) {
    for (unsigned i = 0; i < 8; ++i) {
      samples[i] = {i < 4 ? -1.0 : 1.0, gradients[i]};
      pointers[i] = &samples[i];
    }
  }
};

std::array<Vec3, 8> all(const Vec3& g) {
  std::array<Vec3, 8> a;
  a.fill(g);
  return a;
}

struct LeafCase {
  std::string name;
  std::array<Vec3, 8> gradients;
  bool split;
};

class LeafSplitTest : public ::testing::TestWithParam<LeafCase> {};

TEST_P(LeafSplitTest, AngleThenMagnitude) {
  EXPECT_EQ(leaf_needs_split(LeafSamples(GetParam().gradients).pointers, kCos30),
            GetParam().split);
}

std::array<Vec3, 8> with(std::array<Vec3, 8> base, unsigned i, const Vec3& g) {
  base[i] = g;
  return base;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LeafSplitTest,
    ::testing::Values(
        LeafCase{"Normals40DegreesApart", with(all(in_plane(0)), 5, in_plane(40)), true},
        LeafCase{"NormalsWithin20Degrees",
                 with(with(all(in_plane(0)), 1, in_plane(20)), 6, in_plane(10)), false},
        LeafCase{"NormsOneToFive",
                 with(with(all(in_plane(0, 2.0)), 2, in_plane(0, 1.0)), 7, in_plane(0, 5.0)), true},
        LeafCase{"NormsOneToFour",
                 with(with(all(in_plane(0, 2.0)), 2, in_plane(0, 1.0)), 7, in_plane(0, 4.0)),
                 false},
        // A vanishing gradient vetoes the magnitude test ...
        LeafCase{"ZeroNormVetoesMagnitude",
                 with(with(all(in_plane(0, 1.0)), 7, in_plane(0, 5.0)), 3, Vec3{}), false},
        // ... but the angle test still looks at the other normals.
        LeafCase{"ZeroNormAngleUsesOthers",
                 with(with(all(in_plane(0)), 3, Vec3{}), 4, in_plane(40)), true},
        // A NaN norm loses to every number in the minimum and maximum.
        LeafCase{"NanNormIgnored",
                 with(with(with(all(in_plane(0, 2.0)), 2, in_plane(0, 1.0)), 7, in_plane(0, 5.0)),
                      0, Vec3{kNaN, 0, 0}),
                 true}),
    [](const auto& info) { return info.param.name; });

struct HomogeneousCase {
  std::string name;
  double nearest;   // corner 0's value
  double others;    // the other corners' value
  double gradient;  // every corner's gradient norm
  double iso_value;
  bool split;
};

class HomogeneousSplitTest : public ::testing::TestWithParam<HomogeneousCase> {};

TEST_P(HomogeneousSplitTest, LevelReachableWithinDiagonal) {
  const HomogeneousCase& c = GetParam();
  std::array<CornerSample, 8> samples;
  std::array<const CornerSample*, 8> ptrs;
  for (unsigned i = 0; i < 8; ++i) {
    samples[i] = {i == 0 ? c.nearest : c.others, {0.0, 0.0, c.gradient}};
    ptrs[i] = &samples[i];
  }
  EXPECT_EQ(homogeneous_cell_needs_split(ptrs, c.iso_value, 1.0), c.split);
}

// Side 1: the level is within reach when |v - iso| < sqrt(3) * 1.5 * g, that
// is, when g > |v - iso| / 2.598...
INSTANTIATE_TEST_SUITE_P(
    Cases, HomogeneousSplitTest,
    ::testing::Values(HomogeneousCase{"SteepEnough", 10.0, 30.0, 3.9, 0.0, true},
                      HomogeneousCase{"TooShallow", 10.0, 30.0, 3.8, 0.0, false},
                      HomogeneousCase{"MeasuredFromLevel", 11.0, 30.0, 3.8, 1.0, false},
                      HomogeneousCase{"BelowLevel", -10.0, -30.0, 3.9, 0.0, true},
                      HomogeneousCase{"FlatFieldNoSplit", 1e-9, 1.0, 0.0, 0.0, false},
                      HomogeneousCase{"NanValueIgnored", kNaN, 10.0, 3.8, 0.0, false}),
    [](const auto& info) { return info.param.name; });

// ---------------------------------------------------------------------------
// Construction.

MeshingOptions options(unsigned min_depth, unsigned max_depth, double iso = 0.0) {
  MeshingOptions o;
  o.min_depth = min_depth;
  o.max_depth = max_depth;
  o.level = iso;
  return o;
}

const BBox kCentredBox{{-1, -1, -1}, {1, 1, 1}};

TEST(BuildOctree, FieldErrorPropagatesUnchanged) {
  // Fail on each call in turn: initial grid, its stencil, the refinement batches.
  for (std::size_t failing = 1; failing <= 4; ++failing) {
    FunctionField inner = testing::sphere({0, 0, 0}, 0.5, false);
    FailingField field(inner, failing);
    EXPECT_THROW(build_octree(field, kCentredBox, options(1, 3)), FieldFailure) << failing;
  }
}

using Visit = std::function<void(const OctreeNode&, const CellAddress&)>;

void walk(const Octree& tree, const OctreeNode& node, const CellAddress& cell, const Visit& visit) {
  visit(node, cell);
  if (!node.is_internal()) return;
  for (unsigned o = 0; o < 8; ++o) {
    walk(tree, tree.block(node.index)[o],
         {2 * cell.x + (o & 1), 2 * cell.y + ((o >> 1) & 1), 2 * cell.z + ((o >> 2) & 1),
          static_cast<std::uint8_t>(cell.d + 1)},
         visit);
  }
}

struct FamilyCase {
  std::string name;
  std::function<FunctionField(bool)> make;
};

class BuildFamily
    : public ::testing::TestWithParam<std::tuple<FamilyCase, std::pair<int, int>, bool>> {};

TEST_P(BuildFamily, TreeIsConsistentAndEveryPointSampledOnce) {
  const auto& [shape, depths, gradients] = GetParam();
  const auto [min_depth, max_depth] = depths;
  FunctionField shape_field = shape.make(gradients);
  RecordingField field(shape_field);
  const BuildResult r = build_octree(field, kCentredBox, options(min_depth, max_depth));
  const Octree& tree = r.octree;

  // Counts: every block belongs to exactly one Internal node. A uniform tree
  // appends blocks in post-order, the root's last.
  const OctreeStats stats = count_nodes(tree);
  EXPECT_EQ(stats.leaf_count + stats.empty_count + stats.full_count, 7 * stats.internal_count + 1);
  EXPECT_EQ(stats.internal_count, tree.blocks.size());
  if (min_depth == max_depth && tree.root.is_internal()) {
    EXPECT_EQ(tree.root.index, tree.blocks.size() - 1);
  }

  // No lattice point goes to the field twice; stencil batches (which follow a
  // batch without gradients) hold no lattice points and are skipped.
  std::set<std::tuple<double, double, double>> sampled;
  std::uint64_t expected_count = 0;
  for (std::size_t b = 0; b < field.batches.size(); ++b) {
    const auto& batch = field.batches[b];
    ASSERT_FALSE(batch.points.empty());
    for (const Vec3& p : batch.points) {
      EXPECT_TRUE(sampled.insert({p.x, p.y, p.z}).second) << p.x << " " << p.y << " " << p.z;
    }
    expected_count += batch.gradients ? batch.points.size() : 7 * batch.points.size();
    if (!batch.gradients) {
      ASSERT_LT(b + 1, field.batches.size());
      EXPECT_EQ(field.batches[b + 1].points.size(), 6 * batch.points.size());
      ++b;
    }
  }
  EXPECT_EQ(r.evaluation_count, expected_count);

  // Every node agrees with the field at its corners, and surface leaves are
  // refined to max_depth.
  walk(tree, tree.root, {0, 0, 0, 0}, [&](const OctreeNode& node, const CellAddress& cell) {
    if (node.is_internal()) return;
    std::uint8_t mask = 0;
    std::array<double, 8> values;
    for (unsigned i = 0; i < 8; ++i) {
      const Vec3 corner = tree.position(cell_corner(cell, i, tree.max_depth));
      values[i] = shape_field.evaluate(std::span<const Vec3>(&corner, 1)).values[0];
      if (values[i] < 0.0) mask |= static_cast<std::uint8_t>(1u << i);
    }
    if (node.kind == NodeKind::Leaf) {
      const LeafData& leaf = tree.leaf(node);
      EXPECT_EQ(leaf.values, values);
      EXPECT_EQ(leaf.sign_mask, mask);
      EXPECT_EQ(cell.d, tree.max_depth);
    } else if (cell.d >= tree.min_depth) {
      // Collapsed nodes above min_depth were only checked at their sub-cells.
      EXPECT_EQ(mask, node.kind == NodeKind::Full ? 255 : 0);
    }
  });
}

const FamilyCase kShapes[] = {
    {"Sphere", [](bool g) { return testing::sphere({0.1, -0.05, 0.2}, 0.55, g); }},
    {"TiltedPlane", [](bool g) { return testing::plane({0.3, -0.5, 0.8}, 0.1, g); }},
    {"Box", [](bool g) { return testing::box({0, 0, 0}, {0.5, 0.3, 0.4}, g); }},
    {"TwoSpheres",
     [](bool g) { return testing::two_spheres({-0.4, 0, 0}, 0.35, {0.45, 0.1, 0}, 0.3, g); }},
    {"Torus", [](bool g) { return testing::torus(0.55, 0.2, g); }},
};

std::string family_name(const std::tuple<FamilyCase, std::pair<int, int>, bool>& param) {
  const auto& [shape, depths, gradients] = param;
  return shape.name + "_" + std::to_string(depths.first) + "_" + std::to_string(depths.second) +
         (gradients ? "_Gradients" : "_Estimated");
}

INSTANTIATE_TEST_SUITE_P(Shapes, BuildFamily,
                         ::testing::Combine(::testing::ValuesIn(kShapes),
                                            ::testing::Values(std::pair{0, 0}, std::pair{2, 2},
                                                              std::pair{1, 4}, std::pair{2, 5}),
                                            ::testing::Bool()),
                         [](const auto& info) { return family_name(info.param); });

TEST(BuildOctree, SmallSphereInsideAnUncollapsedCellIsFound) {
  // The small sphere lies inside the min_depth cell [0.5, 1]^3 without reaching
  // its corners, so that cell is Empty and only the gradient bound can split
  // it. A sphere about the origin keeps its parent region from collapsing.
  FunctionField f = testing::two_spheres({0.75, 0.75, 0.75}, 0.12, {0, 0, 0}, 0.3, true);
  const BuildResult r = build_octree(f, kCentredBox, options(2, 5));
  bool found = false;
  walk(r.octree, r.octree.root, {0, 0, 0, 0}, [&](const OctreeNode& node, const CellAddress& c) {
    if (node.kind == NodeKind::Leaf && c.x >= 22 && c.y >= 22 && c.z >= 22) found = true;
  });
  EXPECT_TRUE(found);
}

}  // namespace
}  // namespace karvex
