#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "octree/octree.h"
#include "reference_octree.h"
#include "support/panic.h"

namespace karvex {
namespace {

using testing::cell_path;
using testing::node_at_path;

TEST(OctreeLattice, PositionIsIndexTimesSpacingPlusOrigin) {
  // Box (1,2,3)-(9,10,11): size 8, origin (1,2,3); max_depth 3 gives h = 1.
  EXPECT_EQ(make_octree({{1, 2, 3}, {9, 10, 11}}, 0, 3, 0.0).position({8, 0, 4}), (Vec3{9, 2, 7}));
  // A spacing that is not a power of two: i*h + origin per axis, in that order.
  const Octree odd = make_octree({{-0.3, 0.1, 0.7}, {0.4, 0.5, 0.9}}, 1, 5, 0.0);
  const double h = odd.size / 32.0;
  EXPECT_EQ(odd.position({7, 19, 32}),
            (Vec3{7.0 * h + odd.origin.x, 19.0 * h + odd.origin.y, 32.0 * h + odd.origin.z}));
}

TEST(OctreeLattice, PathsFromRoot) {
  struct Case {
    CellAddress cell;
    std::uint8_t max_depth;
    std::vector<std::uint8_t> octants;
  };
  for (const Case& c : {Case{{3, 0, 5, 3}, 5, {4, 1, 5}}, Case{{0, 0, 0, 0}, 5, {}},
                        Case{{2, 1, 0, 2}, 2, {1, 2}}, Case{{3, 3, 3, 2}, 3, {7, 7}}}) {
    EXPECT_EQ(cell_path(min_corner(c.cell, c.max_depth), c.cell.d, c.max_depth), c.octants);
  }
  EXPECT_EQ(min_corner({3, 0, 5, 3}, 5), (CornerKey{12, 0, 20}));
  EXPECT_EQ(cell_corner({3, 0, 5, 3}, 6, 5), (CornerKey{12, 4, 24}));
}

TEST(OctreeWalk, BrokenPathsAndChildrenOfNonInternalNodesFail) {
  Octree tree = make_octree({{0, 0, 0}, {1, 1, 1}}, 0, 2, 0.0);
  ChildBlock inner;
  inner.fill(OctreeNode::full());
  const std::uint32_t b0 = tree.append_block(inner);
  ChildBlock top;
  top.fill(OctreeNode::empty());
  top[5] = OctreeNode::internal(b0);
  tree.root = OctreeNode::internal(tree.append_block(top));

  EXPECT_EQ(node_at_path(tree, {5, 3}).kind, NodeKind::Full);
  EXPECT_THROW(node_at_path(tree, {4, 0}), InvariantFailure);  // through an Empty node
  EXPECT_THROW(node_at_path(tree, {8}), InvariantFailure);     // no octant 8
  EXPECT_THROW(tree.child(tree.child(tree.root, 4), 0), InvariantFailure);
  tree.blocks[1][5] = OctreeNode::internal(9);  // a block index past the end
  try {
    node_at_path(tree, {5, 0});
    FAIL();
  } catch (const InvariantFailure& e) {
    EXPECT_STREQ(e.what(), "index out of bounds: the len is 2 but the index is 9");
  }
}

TEST(ChunkedArray, GrowsWithoutMovingAndCopiesDeeply) {
  ChunkedArray<std::uint64_t, 3> a;  // chunks of eight
  std::vector<const std::uint64_t*> addresses;
  for (std::uint64_t i = 0; i < 20; ++i) {
    a.push_back(i * i);
    addresses.push_back(&a[i]);
  }
  for (std::uint64_t i = 0; i < 20; ++i) EXPECT_EQ(&a[i], addresses[i]);
  ChunkedArray<std::uint64_t, 3> b = a;
  b[3] = 7;
  a.resize(9);
  a.push_back(42);
  EXPECT_EQ(a[3], 9u);
  EXPECT_EQ(a.back(), 42u);
  EXPECT_EQ(b.size(), 20u);
  EXPECT_EQ(b[19], 361u);
}

}  // namespace
}  // namespace karvex
