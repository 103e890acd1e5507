#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "balance/balance_primitives.h"
#include "fields.h"
#include "hand_tree.h"
#include "reference_octree.h"
#include "support/panic.h"

namespace karvex {
namespace {

using testing::FunctionField;
using testing::gather_split_corners;
using testing::HandTree;

using Cell = std::tuple<unsigned, unsigned, unsigned, unsigned>;

std::vector<Cell> cells_of(const std::vector<CellAddress>& cells) {
  std::vector<Cell> out;
  for (const CellAddress& c : cells) out.emplace_back(c.x, c.y, c.z, c.d);
  return out;
}

TEST(ListLeaves, RootOnlyThenOneSplitInOctantOrder) {
  FunctionField above([](const Vec3&) { return 1.0; });
  HandTree t(above, 2);
  EXPECT_EQ(cells_of(list_leaves(t.tree)), (std::vector<Cell>{{0, 0, 0, 0}}));
  EXPECT_TRUE(list_surface_leaves(t.tree).empty());
  t.split(above, {0, 0, 0, 0});
  EXPECT_EQ(cells_of(list_leaves(t.tree)), (std::vector<Cell>{{0, 0, 0, 1},
                                                              {1, 0, 0, 1},
                                                              {0, 1, 0, 1},
                                                              {1, 1, 0, 1},
                                                              {0, 0, 1, 1},
                                                              {1, 0, 1, 1},
                                                              {0, 1, 1, 1},
                                                              {1, 1, 1, 1}}));
}

class DescendTo : public ::testing::TestWithParam<std::tuple<Cell, unsigned, NodeKind>> {};

// Full everywhere, max_depth 4: root, (1,0,0,1) and (2,1,0,2) split.
TEST_P(DescendTo, StopsAtTheFirstLeafOrAtTheRequestedDepth) {
  const auto [target, level, kind] = GetParam();
  FunctionField below([](const Vec3&) { return -1.0; });
  HandTree t(below, 4);
  for (const CellAddress c : {CellAddress{0, 0, 0, 0}, {1, 0, 0, 1}, {2, 1, 0, 2}})
    t.split(below, c);
  const auto [x, y, z, d] = target;
  const DescentResult r = descend_to(t.tree, {x, y, z, static_cast<std::uint8_t>(d)});
  EXPECT_EQ(r.level, level);
  EXPECT_EQ(r.node.kind, kind);
}

INSTANTIATE_TEST_SUITE_P(
    Walks, DescendTo,
    ::testing::Values(std::tuple{Cell{0, 0, 0, 0}, 0u, NodeKind::Internal},    // the root
                      std::tuple{Cell{3, 0, 5, 3}, 1u, NodeKind::Full},        // leaf above d
                      std::tuple{Cell{5, 2, 1, 3}, 3u, NodeKind::Full},        // leaf at d
                      std::tuple{Cell{10, 5, 3, 4}, 3u, NodeKind::Full},       // one short
                      std::tuple{Cell{2, 1, 0, 2}, 2u, NodeKind::Internal}));  // Internal at d

TEST(DescendTo, RootOnlyTreeStopsAtTheRoot) {
  FunctionField above([](const Vec3&) { return 1.0; });
  HandTree t(above, 5);
  const DescentResult r = descend_to(t.tree, {3, 0, 5, 3});
  EXPECT_EQ(r.level, 0u);
  EXPECT_EQ(r.node.kind, NodeKind::Empty);
}

std::vector<std::tuple<unsigned, unsigned, unsigned>> keys_of(const CornerBatch& batch) {
  std::vector<std::tuple<unsigned, unsigned, unsigned>> out;
  for (const CornerKey& k : batch.keys()) out.emplace_back(k.x, k.y, k.z);
  return out;
}

TEST(GatherRefinementCorners, OneLevelGathersTheNineteenChildGridPointsInOrder) {
  FunctionField f([](const Vec3& p) { return p.x - 0.3; });
  HandTree t(f, 3);  // only the root's corners are cached
  CornerBatch batch, split_batch;
  gather_refinement_corners(t.tree, t.cache, {0, 0, 0}, 0, 1, batch);
  gather_split_corners(t.tree, t.cache, {0, 0, 0}, 0, split_batch);
  const decltype(keys_of(batch)) expected = {{4, 0, 0}, {0, 4, 0}, {4, 4, 0}, {0, 0, 4}, {4, 0, 4},
                                             {0, 4, 4}, {4, 4, 4}, {8, 4, 0}, {8, 0, 4}, {8, 4, 4},
                                             {4, 8, 0}, {0, 8, 4}, {4, 8, 4}, {8, 8, 4}, {4, 0, 8},
                                             {0, 4, 8}, {4, 4, 8}, {8, 4, 8}, {4, 8, 8}};
  EXPECT_EQ(keys_of(batch), expected);
  EXPECT_EQ(keys_of(split_batch), expected);
  EXPECT_EQ(batch.positions()[0].x, 0.5);
}

TEST(GatherRefinementCorners, DeeperTargetGathersWhatTheRefinementReads) {
  FunctionField f([](const Vec3& p) { return p.x - 0.3; });
  HandTree t(f, 3);
  t.split(f, {0, 0, 0, 0});
  CornerBatch batch;
  // (1,0,0,1) down to depth 3: its 5x5x5 lattice points less the 8 cached.
  gather_refinement_corners(t.tree, t.cache, {4, 0, 0}, 1, 3, batch);
  EXPECT_EQ(batch.size(), 117u);
  sample_batch(f, t.cache, batch, t.tree.spacing());
  refine_to_depth(t.tree, t.cache, {4, 0, 0}, 1, 3);  // throws on a missing corner
  EXPECT_EQ(t.tree.blocks.size(), 1u + 9u);
}

// A pass over neighbouring leaves of several depths, refined to various
// targets, with stray lattice points already cached inside them: gathering
// by the per-cell bitmap must give the keys that plain per-meeting lookups
// give, in the same order.
class GatherPaths : public ::testing::TestWithParam<unsigned> {};

TEST_P(GatherPaths, BitmapAndLookupGatherTheSameKeysInTheSameOrder) {
  FunctionField f([](const Vec3& p) { return p.x + 0.5 * p.y - 0.4; });
  HandTree t(f, 6);
  t.split(f, {0, 0, 0, 0});
  t.split(f, {1, 0, 0, 1});
  t.split(f, {2, 1, 0, 2});
  std::uint32_t state = 12345u + 977u * GetParam();
  auto next = [&state](std::uint32_t n) {
    state = state * 1664525u + 1013904223u;
    return (state >> 8) % n;
  };
  CornerBatch stray;
  for (unsigned n = 0; n < 200; ++n) {
    stray.add_if_new(t.tree, t.cache, {next(65), next(65), next(65)});
  }
  sample_batch(f, t.cache, stray, t.tree.spacing());
  CornerBatch by_bitmap, by_lookup;
  for (const CellAddress& leaf : list_leaves(t.tree)) {
    if (next(3) == 0) continue;
    const auto target = static_cast<std::uint8_t>(leaf.d + 1 + next(4));  // may pass max_depth
    const CornerKey corner = min_corner(leaf, t.tree.max_depth);
    gather_refinement_corners(t.tree, t.cache, corner, leaf.d, target, by_bitmap);
    gather_refinement_corners_by_lookup(t.tree, t.cache, corner, leaf.d, target, by_lookup);
  }
  ASSERT_GT(by_lookup.size(), 1000u);
  EXPECT_EQ(keys_of(by_bitmap), keys_of(by_lookup));
  ASSERT_EQ(by_bitmap.positions().size(), by_lookup.positions().size());
  for (std::size_t i = 0; i < by_bitmap.size(); ++i) {
    EXPECT_EQ(by_bitmap.positions()[i].x, by_lookup.positions()[i].x);
  }
}

INSTANTIATE_TEST_SUITE_P(Passes, GatherPaths, ::testing::Range(0u, 6u));

TEST(BalanceSplit, InternalNodeOrFailureLeavesTheTreeAsItWas) {
  FunctionField f([](const Vec3& p) { return p.x - 0.3; });
  HandTree t(f, 3);
  t.split(f, {0, 0, 0, 0});
  t.split(f, {1, 0, 0, 1});
  const std::size_t blocks = t.tree.blocks.size(), leaves = t.tree.leaves.size();
  balance_split(t.tree, t.cache, {4, 0, 0}, 1);  // already Internal
  balance_split(t.tree, t.cache, {0, 0, 0}, 0);
  auto failure = [&](const CornerKey& corner, std::uint8_t d) -> std::string {
    try {
      balance_split(t.tree, t.cache, corner, d);
    } catch (const InvariantFailure& e) {
      return e.what();
    }
    return "no failure";
  };
  // (0,0,0,1) is a leaf whose children's corners were never sampled.
  EXPECT_EQ(failure({0, 0, 0}, 1), "corner not in cache during balance subdivision");
  EXPECT_EQ(failure({2, 0, 0}, 2), "balance subdivision of a cell that a coarser leaf covers");
  EXPECT_EQ(failure({0, 0, 0}, 3), "balance subdivision of a cell at the deepest level");
  EXPECT_EQ(t.tree.blocks.size(), blocks);
  EXPECT_EQ(t.tree.leaves.size(), leaves);
  EXPECT_EQ(t.tree.child(t.tree.root, 1).index, 1u);
}

TEST(RefineToDepth, AppendsBlocksDepthFirstAndSkipsSplitChildren) {
  FunctionField f([](const Vec3& p) { return p.x - 0.3; });
  HandTree t(f, 3);
  t.split(f, {0, 0, 0, 0});      // block 0
  t.split(f, {1, 1, 0, 1});      // block 1: child 3 already split
  t.refine(f, {0, 0, 0, 0}, 7);  // capped by max_depth 3
  // Each refined child takes one block, then eight for its children, before
  // the next child; child 3 is not entered.
  ASSERT_EQ(t.tree.blocks.size(), 2u + 7u * 9u);
  for (unsigned c = 0; c < 8; ++c) {
    EXPECT_EQ(t.tree.child(t.tree.root, c).index, c == 3 ? 1u : 2u + 9u * (c < 3 ? c : c - 1));
  }
  const OctreeNode& first = t.tree.child(t.tree.root, 0);
  for (unsigned g = 0; g < 8; ++g) EXPECT_EQ(t.tree.child(first, g).index, 3u + g);
  const OctreeNode& skipped = t.tree.child(t.tree.root, 3);
  for (unsigned g = 0; g < 8; ++g) EXPECT_FALSE(t.tree.child(skipped, g).is_internal());
}

}  // namespace
}  // namespace karvex
