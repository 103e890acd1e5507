#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <ostream>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "balance/balance.h"
#include "balance/balance_marking.h"
#include "balance/balance_primitives.h"
#include "construction/build.h"
#include "construction/split_criteria.h"
#include "fields.h"
#include "hand_tree.h"
#include "reference_octree.h"

namespace karvex {
namespace {

using testing::bitten_box;
using testing::FunctionField;
using testing::gather_split_corners;
using testing::gyroid;
using testing::HandTree;
using testing::RecordingField;
using testing::with_numeric_gradient;

// ---------------------------------------------------------------------------
// The rules on hand-built trees over the unit cube.

TEST(BalanceOctree, RootLeafIsLeftAloneWithoutSampling) {
  FunctionField plane = testing::plane({1, 1, 1}, 1.5);
  HandTree t(plane, 4);
  ASSERT_TRUE(t.tree.is_surface_leaf(t.tree.root));
  RecordingField field(plane);
  EXPECT_EQ(balance_octree(t.tree, t.cache, field), 0u);
  EXPECT_EQ(field.calls, 0u);
  EXPECT_TRUE(t.tree.blocks.empty());
}

TEST(FaceBalance, LeafTwoLevelsCoarserIsSplitOnce) {
  // Empty everywhere: depth-3 leaves face the depth-1 leaf (1,0,0,1).
  FunctionField above([](const Vec3&) { return 1.0; });
  HandTree t(above, 3);
  for (const CellAddress c : {CellAddress{0, 0, 0, 0}, {0, 0, 0, 1}, {1, 0, 0, 2}})
    t.split(above, c);
  RecordingField field(above);
  balance_octree(t.tree, t.cache, field);
  EXPECT_EQ(field.calls, 2u);  // one pass: values, then finite differences
  EXPECT_EQ(t.tree.blocks.size(), 4u);
  EXPECT_EQ(t.reached({4, 0, 0, 3}), 2u);  // the child beside them stays
}

class CoarserNeighbourWithoutSurface : public ::testing::TestWithParam<double> {};

// Plane x = 0.4 either way round: the depth-2 surface leaves at x in
// [0.25, 0.5] face the Empty (or Full) depth-1 leaf (1,0,0,1).
TEST_P(CoarserNeighbourWithoutSurface, IsSplitToTheSurfaceLeafsDepth) {
  FunctionField plane = testing::plane({GetParam(), 0, 0}, GetParam() * 0.4);
  HandTree t(plane, 3);
  t.split(plane, {0, 0, 0, 0});
  t.split(plane, {0, 0, 0, 1});
  balance_octree(t.tree, t.cache, plane);
  EXPECT_EQ(t.reached({2, 0, 0, 2}), 2u);
}

INSTANTIATE_TEST_SUITE_P(EmptyAndFull, CoarserNeighbourWithoutSurface,
                         ::testing::Values(1.0, -1.0));

class SplitSameDepthNeighbour
    : public ::testing::TestWithParam<std::tuple<std::uint32_t, std::uint32_t, bool>> {};

// A ball about the origin makes (0,0,0,1) a surface leaf; a second ball lies
// inside (1,0,0,1) away from its face x = 0.5. Splitting (1,0,0,1) puts
// surface beyond the leaf's face; splitting (0,1,0,1) gives it a split
// neighbour with only Empty children.
TEST_P(SplitSameDepthNeighbour, SplitsTheSurfaceLeafOnlyWhenSurfaceLiesBeyond) {
  const auto [x, y, leaf_split] = GetParam();
  FunctionField balls = testing::two_spheres({0, 0, 0}, 0.3, {0.85, 0.25, 0.25}, 0.2);
  HandTree t(balls, 2);
  t.split(balls, {0, 0, 0, 0});
  t.split(balls, {x, y, 0, 1});
  RecordingField field(balls);
  const std::uint64_t count = balance_octree(t.tree, t.cache, field);
  EXPECT_EQ(t.reached({0, 0, 0, 2}), leaf_split ? 2u : 1u);
  if (!leaf_split) {
    EXPECT_EQ(count + field.calls + t.tree.blocks.size(), 2u);  // nothing at all
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, SplitSameDepthNeighbour,
                         ::testing::Values(std::tuple{1u, 0u, true}, std::tuple{0u, 1u, false}));

// Plane x = 0.3, max_depth 5: surface leaves A = (4,3,0,4) and, later in
// depth-first order, B = (9,7,2,5) have sign-changing x edges on the face
// y = 0.25 of the depth-2 leaf Q = (1,1,0,2).
HandTree staircase(Field& field) {
  HandTree t(field, 5);
  for (const CellAddress c :
       {CellAddress{0, 0, 0, 0}, {0, 0, 0, 1}, {1, 0, 0, 2}, {2, 1, 0, 3}, {4, 3, 1, 4}}) {
    t.split(field, c);
  }
  return t;
}

TEST(EdgeClosure, CoarseCellTakesTheTargetOfItsFirstMarking) {
  FunctionField plane = testing::plane({1, 0, 0}, 0.3);
  HandTree t = staircase(plane);
  RecordingField field(plane);
  std::vector<unsigned> beside_b;  // depth reached there as each pass samples
  field.before = [&] { beside_b.push_back(t.reached({9, 8, 2, 5})); };
  close_sign_changing_edges(t.tree, t.cache, field);
  ASSERT_GE(beside_b.size(), 2u);
  EXPECT_EQ(beside_b[0], 2u);
  EXPECT_EQ(beside_b[1], 4u);  // Q went to A's depth first
  EXPECT_EQ(t.reached({9, 8, 2, 5}), 5u);
}

class BoundaryEdges : public ::testing::TestWithParam<double> {};

// A ball about a corner of the cube, the octant there refined to depth 3 and
// the rest left at depth 1: its edges on the cube's faces have neighbours
// only outside; wrapped round they would land in the far coarse cells.
TEST_P(BoundaryEdges, CandidatesOutsideTheCubeAreDropped) {
  const double c = GetParam();
  FunctionField ball = testing::sphere({c, c, c}, 0.3);
  HandTree t(ball, 3);
  t.split(ball, {0, 0, 0, 0});
  const std::uint32_t o = c == 0.0 ? 0 : 1;
  t.refine(ball, {o, o, o, 1}, 3);
  const std::size_t blocks = t.tree.blocks.size();
  RecordingField field(ball);
  EXPECT_EQ(close_sign_changing_edges(t.tree, t.cache, field), 0u);
  EXPECT_EQ(field.calls, 0u);
  EXPECT_EQ(t.tree.blocks.size(), blocks);
}

INSTANTIATE_TEST_SUITE_P(LowAndHighCorner, BoundaryEdges, ::testing::Values(0.0, 1.0));

struct FieldError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class FailingPass : public ::testing::TestWithParam<int> {};

// The field fails on its n-th call (each pass: values, finite differences).
TEST_P(FailingPass, ErrorPropagatesAndNothingOfTheBatchIsKept) {
  FunctionField plane([](const Vec3& p) { return p.x - 0.3; });
  HandTree t = staircase(plane);
  RecordingField field(plane);
  std::size_t cache_then = 0, blocks_then = 0;
  field.before = [&] {
    if (static_cast<int>(field.calls) != GetParam()) return;
    cache_then = t.cache.size();
    blocks_then = t.tree.blocks.size();
    throw FieldError("field failed");
  };
  EXPECT_THROW(balance_octree(t.tree, t.cache, field), FieldError);
  EXPECT_EQ(t.cache.size(), cache_then);
  EXPECT_EQ(t.tree.blocks.size(), blocks_then);
}

INSTANTIATE_TEST_SUITE_P(Calls, FailingPass, ::testing::Values(0, 1, 2, 3));

// ---------------------------------------------------------------------------
// Passes after the first re-examine only leaves whose decision can have
// changed; they must build exactly what examining every leaf builds.

std::uint64_t exhaustive_balance(Octree& tree, CornerCache& cache, Field& field, bool faces) {
  std::uint64_t charge = 0;
  for (bool face_phase = faces;;) {
    CornerBatch batch;
    std::vector<CellAddress> cells;
    std::vector<std::uint8_t> targets;
    if (face_phase) {
      cells = mark_face_imbalance(tree, LeafSelection{}).list();
      targets.assign(cells.size(), 0);
      for (std::size_t i = 0; i < cells.size(); ++i) targets[i] = cells[i].d + 1;
    } else {
      const EdgeMarks marks = mark_open_edges(tree, cache, LeafSelection{});
      cells = marks.marks.list();
      targets = marks.targets;
    }
    if (cells.empty() && !face_phase) return charge;
    if (cells.empty()) {
      face_phase = false;
      continue;
    }
    for (std::size_t i = 0; i < cells.size(); ++i) {
      gather_refinement_corners(tree, cache, min_corner(cells[i], tree.max_depth), cells[i].d,
                                targets[i], batch);
    }
    charge += sample_batch(field, cache, batch, tree.spacing());
    for (std::size_t i = 0; i < cells.size(); ++i) {
      refine_to_depth(tree, cache, min_corner(cells[i], tree.max_depth), cells[i].d, targets[i]);
    }
  }
}

struct Start {
  Octree tree;
  CornerCache cache;
};

void expect_same_as_exhaustive(const Octree& tree, const CornerCache& cache, Field& field,
                               bool faces) {
  Start fast{tree, cache}, slow{tree, cache};
  const std::uint64_t fast_count = faces ? balance_octree(fast.tree, fast.cache, field)
                                         : close_sign_changing_edges(fast.tree, fast.cache, field);
  EXPECT_EQ(fast_count, exhaustive_balance(slow.tree, slow.cache, field, faces));
  ASSERT_EQ(fast.tree.blocks.size(), slow.tree.blocks.size());
  EXPECT_EQ(fast.tree.leaves.size(), slow.tree.leaves.size());
  for (std::size_t b = 0; b < fast.tree.blocks.size(); ++b) {
    for (unsigned o = 0; o < 8; ++o) {
      EXPECT_EQ(fast.tree.blocks[b][o].kind, slow.tree.blocks[b][o].kind) << b << " " << o;
      EXPECT_EQ(fast.tree.blocks[b][o].index, slow.tree.blocks[b][o].index) << b << " " << o;
    }
  }
}

TEST(LaterPasses, SurfaceAppearingUnderASplitNeighbourIsSeen) {
  // L = (0,0,0,1) is a surface leaf beside the split, all-Empty P = (1,0,0,1).
  // A ball pokes through the face y = 0.5 of P's child (3,1,0,2) between its
  // corners; the depth-3 surface leaves beside that face get it split, which
  // puts surface under P, far from L, and so L must be split a pass later.
  FunctionField balls = testing::two_spheres({0, 0, 0}, 0.3, {0.875, 0.56, 0.125}, 0.1);
  HandTree t(balls, 3);
  for (const CellAddress c : {CellAddress{0, 0, 0, 0}, {1, 0, 0, 1}, {1, 1, 0, 1}, {3, 2, 0, 2}}) {
    t.split(balls, c);
  }
  expect_same_as_exhaustive(t.tree, t.cache, balls, true);
  balance_octree(t.tree, t.cache, balls);
  EXPECT_EQ(t.reached({0, 0, 0, 2}), 2u);
}

TEST(LaterPasses, LeafLeftCoarserByAnEarlierTargetIsSeenAgain) {
  // Plane x = 0.3: every cell of (1,0,0,2) at depth 5 except A = (4,3,0,4),
  // which marks Q = (1,1,0,2) first with target 4; only the depth-5 leaves
  // beside Q's far end know that it needs depth 5 there.
  FunctionField plane = testing::plane({1, 0, 0}, 0.3);
  HandTree t(plane, 5);
  t.split(plane, {0, 0, 0, 0});
  t.split(plane, {0, 0, 0, 1});
  t.refine(plane, {1, 0, 0, 2}, 4);
  for (std::uint32_t i = 0; i < 64; ++i) {
    const CellAddress c{4 + (i & 3), (i >> 2) & 3, i >> 4, 4};
    if (!(c == CellAddress{4, 3, 0, 4})) t.split(plane, c);
  }
  expect_same_as_exhaustive(t.tree, t.cache, plane, false);
}

// ---------------------------------------------------------------------------
// Whole builds over [-1, 1]^3.

const BBox kCentredBox{{-1, -1, -1}, {1, 1, 1}};

// Sign-changing edges of surface leaves with a cell around them (at the
// leaf's depth, inside the cube) that is coarser than the leaf or, with
// `need_surface`, is not a surface leaf (faces need four of them).
std::size_t open_edges(const Octree& tree, bool need_surface) {
  std::size_t open = 0;
  for (const CellAddress& c : list_surface_leaves(tree)) {
    const LeafData& leaf = tree.leaf(descend_to(tree, c).node);
    for (unsigned e = 0; e < 12; ++e) {
      const unsigned axis = e / 4, k = e % 4, u = axis == 0 ? 1 : 0, v = axis == 2 ? 1 : 2;
      if ((leaf.values[CUBE_EDGES[e].u] < 0) == (leaf.values[CUBE_EDGES[e].v] < 0)) continue;
      for (unsigned around = 0; around < 4; ++around) {
        std::array<std::uint32_t, 3> cc = {c.x, c.y, c.z};
        cc[u] += (k & 1u) - (around >> 1);
        cc[v] += (k >> 1) - (around & 1u);
        if (cc[u] >= pow2(c.d) || cc[v] >= pow2(c.d)) continue;
        const DescentResult r = descend_to(tree, {cc[0], cc[1], cc[2], c.d});
        if (r.level != c.d || (need_surface && !tree.is_surface_leaf(r.node))) ++open;
      }
    }
  }
  return open;
}

MeshingOptions options(std::uint8_t min_depth, std::uint8_t max_depth, bool balance) {
  MeshingOptions o;
  o.min_depth = min_depth;
  o.max_depth = max_depth;
  o.adaptive = balance;
  return o;
}

// Construction with surface leaves refined to max_depth but without the
// edge-closure passes, from the public pieces (initial grid, uniform tree
// with collapse, criterion-driven levels, surface leaves one level a pass).
struct Unclosed {
  Octree tree;
  CornerCache cache;
  std::uint64_t count = 0;

  OctreeNode assemble(const CellAddress& cell) {
    std::array<const CornerSample*, 8> s;
    if (cell.d == tree.min_depth) {
      for (unsigned i = 0; i < 8; ++i) s[i] = &cache.at(cell_corner(cell, i, tree.max_depth));
      return make_node(tree, s);
    }
    ChildBlock children;
    std::set<NodeKind> kinds;
    for (unsigned o = 0; o < 8; ++o)
      kinds.insert((children[o] = assemble(child_cell(cell, o))).kind);
    if (kinds.size() == 1 && *kinds.begin() != NodeKind::Leaf &&
        *kinds.begin() != NodeKind::Internal) {
      return children[0];
    }
    return OctreeNode::internal(tree.append_block(children));
  }

  void split(Field& field, const std::vector<CellAddress>& cells) {
    CornerBatch batch;
    for (const CellAddress& c : cells)
      gather_split_corners(tree, cache, min_corner(c, tree.max_depth), c.d, batch);
    count += sample_batch(field, cache, batch, tree.spacing());
    for (const CellAddress& c : cells)
      balance_split(tree, cache, min_corner(c, tree.max_depth), c.d);
  }

  Unclosed(Field& field, std::uint8_t min_depth, std::uint8_t max_depth, bool refine_surface = true)
      : tree(make_octree(kCentredBox, min_depth, max_depth, 0.0)) {
    count = sample_initial_grid(tree, field, cache);
    tree.root = assemble({0, 0, 0, 0});
    const double cos30 = std::cos(30.0 * 3.141592653589793 / 180.0);
    for (unsigned level = min_depth; level < max_depth; ++level) {
      std::vector<CellAddress> selected;
      for (const CellAddress& c : list_leaves(tree)) {
        if (c.d != level) continue;
        const OctreeNode node = descend_to(tree, c).node;
        std::array<const CornerSample*, 8> s;
        for (unsigned i = 0; i < 8; ++i) s[i] = &cache.at(cell_corner(c, i, max_depth));
        if (node.kind == NodeKind::Leaf
                ? leaf_needs_split(s, cos30)
                : homogeneous_cell_needs_split(s, 0.0, tree.size / pow2(level))) {
          selected.push_back(c);
        }
      }
      if (selected.empty()) break;
      split(field, selected);
    }
    for (std::vector<CellAddress> shallow; refine_surface; shallow.clear()) {
      for (const CellAddress& c : list_surface_leaves(tree)) {
        if (c.d < max_depth) shallow.push_back(c);
      }
      if (shallow.empty()) break;
      split(field, shallow);
    }
  }
};

struct Shape {
  const char* name;
  std::function<FunctionField()> make;
};

std::string shape_name(const ::testing::TestParamInfo<Shape>& info) { return info.param.name; }
void PrintTo(const Shape& shape, std::ostream* os) { *os << shape.name; }

class BalancedBuild : public ::testing::TestWithParam<Shape> {};

TEST_P(BalancedBuild, EdgesClosedEachPointOnceNothingTooDeep) {
  FunctionField shape = GetParam().make();
  RecordingField field(shape);
  const BuildResult r = build_octree(field, kCentredBox, options(2, 6, true));
  ASSERT_FALSE(list_surface_leaves(r.octree).empty());
  EXPECT_EQ(open_edges(r.octree, false), 0u);
  std::set<std::tuple<double, double, double>> seen;
  for (const Vec3& p : field.points_seen) EXPECT_TRUE(seen.insert({p.x, p.y, p.z}).second);
  EXPECT_EQ(r.evaluation_count, field.points_seen.size());
  for (const CellAddress& c : list_leaves(r.octree)) EXPECT_LE(c.d, 6u);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, BalancedBuild,
    ::testing::Values(
        Shape{"Sphere", [] { return testing::sphere({0.1, -0.05, 0.2}, 0.55); }},
        Shape{"Plane", [] { return testing::plane({0.3, -0.5, 0.8}, 0.1); }},
        Shape{"Box", [] { return testing::box({0.05, 0, 0}, {0.5, 0.3, 0.4}); }},
        Shape{"TwoSpheres",
              [] { return testing::two_spheres({-0.4, 0, 0}, 0.35, {0.45, 0.1, 0}, 0.3); }},
        Shape{"ThinShell",
              [] {
                return with_numeric_gradient([](const Vec3& p) {
                  return std::fabs(testing::length({p.x - 0.05, p.y, p.z + 0.1}) - 0.6) - 0.03;
                });
              }},
        Shape{"BittenBox", bitten_box}),
    shape_name);

TEST(SurfaceRefinement, EdgeClosureClosesTheHolesBesideAConcaveBite) {
  FunctionField shape = bitten_box();
  const Unclosed unclosed(shape, 3, 6);
  EXPECT_GT(open_edges(unclosed.tree, true), 0u);  // holes without the passes
  const BuildResult r = build_octree(shape, kCentredBox, options(3, 6, false));
  EXPECT_EQ(open_edges(r.octree, true), 0u);
}

class LaterPassesOnBuilds : public ::testing::TestWithParam<Shape> {};

TEST_P(LaterPassesOnBuilds, BuildWhatExhaustivePassesBuild) {
  FunctionField shape = GetParam().make();
  const Unclosed before_balancing(shape, 2, 6, false);
  expect_same_as_exhaustive(before_balancing.tree, before_balancing.cache, shape, true);
  const Unclosed before_closing(shape, 3, 6);
  expect_same_as_exhaustive(before_closing.tree, before_closing.cache, shape, false);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, LaterPassesOnBuilds,
    ::testing::Values(Shape{"Box", [] { return testing::box({0.05, 0, 0}, {0.5, 0.3, 0.4}); }},
                      Shape{"BittenBox", bitten_box},
                      Shape{"OffCentreSphere",
                            [] { return testing::sphere({0.1, -0.05, 0.2}, 0.55); }}),
    shape_name);

class SmoothSurfaceRefinement : public ::testing::TestWithParam<Shape> {};

// On smooth shapes the closing passes find nothing to do: the same tree and
// count as without them. (Not always: a surface through a lattice point next
// to a collapsed region, like the off-centre sphere above at (0, -0.5, 0.5),
// leaves the collapsed cell Empty though the surface crosses its edge.)
TEST_P(SmoothSurfaceRefinement, EdgeClosureFindsNothingToDo) {
  FunctionField shape = GetParam().make();
  const Unclosed unclosed(shape, 3, 6);
  const BuildResult r = build_octree(shape, kCentredBox, options(3, 6, false));
  EXPECT_EQ(r.evaluation_count, unclosed.count);
  EXPECT_EQ(r.octree.blocks.size(), unclosed.tree.blocks.size());
  EXPECT_EQ(list_leaves(r.octree), list_leaves(unclosed.tree));
}

INSTANTIATE_TEST_SUITE_P(Shapes, SmoothSurfaceRefinement,
                         ::testing::Values(Shape{"Sphere",
                                                 [] { return testing::sphere({0, 0, 0}, 0.55); }},
                                           Shape{"Torus", [] { return testing::torus(0.55, 0.2); }},
                                           Shape{"Gyroid", gyroid}),
                         shape_name);

}  // namespace
}  // namespace karvex
