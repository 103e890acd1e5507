#include <cmath>
#include <limits>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "dc/component_table.h"
#include "dc/crossings.h"
#include "dc/surface_cells.h"
#include "fields.h"
#include "pool/worker_pool.h"
#include "reference_crossings.h"
#include "reference_octree.h"
#include "support/panic.h"

namespace karvex {
namespace {

using testing::add_leaf;
using testing::crossing_normals;
using testing::EdgeCrossing;
using testing::find_crossings;
using testing::FunctionField;
using testing::locate_crossings;
using testing::ShortField;

LeafData leaf_with_mask(std::uint8_t mask) {
  LeafData leaf;
  for (unsigned i = 0; i < 8; ++i) leaf.values[i] = (mask >> i & 1u) ? -1.0 : 1.0;
  leaf.sign_mask = mask;
  return leaf;
}

// Root split once; octant 3 split again. Surface leaves at octants 0 and 4
// (depth 1) and at octant 5 of octant 3 (depth 2); the rest is Empty/Full or
// a leaf of mask 255 (which make_node never produces, but the walk must skip).
Octree small_tree(std::uint8_t min_depth) {
  Octree tree = make_octree(BBox{{-1, -1, -1}, {1, 1, 1}}, min_depth, 3, 0.0);
  ChildBlock inner;
  inner.fill(OctreeNode::empty());
  inner[0] = add_leaf(tree, leaf_with_mask(255));
  inner[5] = add_leaf(tree, leaf_with_mask(6));
  const std::uint32_t inner_index = tree.append_block(inner);
  ChildBlock top;
  top.fill(OctreeNode::empty());
  top[0] = add_leaf(tree, leaf_with_mask(1));
  top[2] = OctreeNode::full();
  top[3] = OctreeNode::internal(inner_index);
  top[4] = add_leaf(tree, leaf_with_mask(128));
  tree.root = OctreeNode::internal(tree.append_block(top));
  return tree;
}

TEST(SurfaceCells, WalkOrderAddressesAndHalvedGeometry) {
  std::vector<CornerValues> values{{}};  // replaced, not appended to
  const std::vector<SurfaceCell> cells = collect_surface_cells(small_tree(1), values);
  ASSERT_EQ(cells.size(), 3u);
  // The corner values are those of each cell's own leaf record, in cell order.
  ASSERT_EQ(values.size(), cells.size());
  for (std::size_t i = 0; i < cells.size(); ++i) {
    EXPECT_EQ(values[i], leaf_with_mask(cells[i].sign_mask).values) << "cell " << i;
  }
  EXPECT_EQ(cells[0].address, (CellAddress{0, 0, 0, 1}));
  EXPECT_EQ(cells[0].cell_min, (Vec3{-1, -1, -1}));
  EXPECT_EQ(cells[0].cell_side, 1.0);
  EXPECT_EQ(cells[1].address, (CellAddress{3, 2, 1, 2}));
  EXPECT_EQ(cells[1].cell_min, (Vec3{0.5, 0.0, -0.5}));
  EXPECT_EQ(cells[1].cell_side, 0.5);
  EXPECT_EQ(cells[1].sign_mask, 6);
  EXPECT_EQ(cells[2].address, (CellAddress{0, 0, 1, 1}));
  EXPECT_EQ(cells[2].cell_min, (Vec3{-1, -1, 0}));

  const CellLookup lookup = build_cell_lookup(cells);
  EXPECT_EQ(lookup.at(CellAddress{3, 2, 1, 2}), 1u);
  EXPECT_EQ(lookup.count(CellAddress{3, 2, 1, 1}), 0u);  // depth is part of the key

  // Leaves above min_depth are not taken.
  const std::vector<SurfaceCell> deep = collect_surface_cells(small_tree(2));
  ASSERT_EQ(deep.size(), 1u);
  EXPECT_EQ(deep[0].address, (CellAddress{3, 2, 1, 2}));
}

SurfaceCell unit_cell(const CornerValues& values, double iso = 0.0) {
  SurfaceCell cell;
  cell.cell_min = {0, 0, 0};
  cell.cell_side = 1.0;
  for (unsigned i = 0; i < 8; ++i) {
    if (values[i] < iso) cell.sign_mask |= static_cast<std::uint8_t>(1u << i);
  }
  return cell;
}

TEST(FindCrossings, EqualCountsAsAboveAndNanAsNotBelow) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  // Corner 0 equals iso and corner 7 is NaN: only corner 1 is below.
  const std::vector<CornerValues> values{{0.0, -1, 1, 1, 1, 1, 1, nan},
                                        {1, -1, -1, 1, 1, 1, 1, 1}};  // mask 6
  const std::vector<SurfaceCell> cells{unit_cell(values[0]), unit_cell(values[1])};
  WorkerPool pool(1);
  const auto crossings = find_crossings(pool, cells, values, 0.0);
  std::vector<std::tuple<std::uint64_t, int, int>> got;
  for (const auto& c : crossings) got.emplace_back(c.cell, c.edge, c.component);
  const std::vector<std::tuple<std::uint64_t, int, int>> expected{
      {0, 0, 0}, {0, 5, 0}, {0, 9, 0},  // the three edges of corner 1
      {1, 0, 0}, {1, 1, 1}, {1, 4, 1}, {1, 5, 0}, {1, 9, 0}, {1, 10, 1}};  // two groups
  EXPECT_EQ(got, expected);
  EXPECT_EQ(crossings[0].f_u, 0.0);
  EXPECT_EQ(crossings[1].f_u, -1.0);             // edge 5 runs from corner 1 to 3
  EXPECT_EQ(crossings[2].p_u, (Vec3{1, 0, 0}));  // edge 9: corner 1 ...
  EXPECT_EQ(crossings[2].p_v, (Vec3{1, 0, 1}));  // ... to corner 5
}

// A crossing's place among its cell's crossings, and their number, as the
// passes over the cells read them: counted here from the corners' signs.
TEST(FindCrossings, CountsAndRanksFollowTheSignChangingEdges) {
  for (unsigned mask = 0; mask < 256; ++mask) {
    unsigned before = 0;
    for (unsigned j = 0; j < CUBE_EDGES.size(); ++j) {
      const CubeEdge& e = CUBE_EDGES[j];
      const bool changes = ((mask >> e.u) & 1u) != ((mask >> e.v) & 1u);
      if (changes) {
        ASSERT_EQ(crossing_rank(static_cast<std::uint8_t>(mask), j), before) << mask;
      }
      before += changes;
    }
    ASSERT_EQ(crossing_count(static_cast<std::uint8_t>(mask)), before) << mask;
  }
}

EdgeCrossing x_edge(double y, double f_u) {
  EdgeCrossing c;
  c.p_u = {0, y, 0};
  c.p_v = {1, y, 0};
  c.f_u = f_u;
  return c;
}

TEST(LocateCrossings, EightMidpointStepsOfOneBatchEach) {
  FunctionField f([](const Vec3& p) { return p.x - 0.3; });
  const auto points = locate_crossings(f, {x_edge(0, -0.3), x_edge(2, -0.3)}, 0.0);
  EXPECT_EQ(f.batch_sizes, std::vector<std::size_t>(8, 2));
  // lo = 0.296875 and hi = 0.30078125 after eight steps; the midpoint is returned.
  EXPECT_EQ(points, (std::vector<Vec3>{{0.298828125, 0, 0}, {0.298828125, 2, 0}}));
  // The same crossing relative to a level of 0.5.
  FunctionField shifted([](const Vec3& p) { return p.x + 0.2; });
  EXPECT_EQ(locate_crossings(shifted, {x_edge(0, -0.3)}, 0.5)[0].x, 0.298828125);

  ShortField short_field(1);
  try {
    locate_crossings(short_field, {x_edge(0, -0.3), x_edge(1, -0.3)}, 0.0);
    FAIL();
  } catch (const InvariantFailure& e) {
    EXPECT_EQ(std::string(e.what()), "index out of bounds: the len is 1 but the index is 1");
  }
}

TEST(CrossingNormals, FromGradientsOrCentralDifferences) {
  const Octree tree = make_octree(BBox{{0, 0, 0}, {4, 4, 4}}, 0, 4, 0.0);
  FunctionField analytic([](const Vec3&) { return 0.0; },
                         [](const Vec3& p) {
                           return p.x < 0.5 ? Vec3{3, 0, 4}
                                            : Vec3{1e-13, 0, 0};  // the second is too short
                         });
  EXPECT_EQ(crossing_normals(analytic, {{0, 0, 0}, {1, 0, 0}}, tree),
            (std::vector<Vec3>{{0.6, 0, 0.8}, {0, 0, 1}}));
  EXPECT_EQ(analytic.calls, 1u);

  // Spacing 4 / 2^4 = 0.25, so the step is 0.0025.
  std::vector<Vec3> seen;
  FunctionField values_only([&](const Vec3& p) {
    seen.push_back(p);
    return -2.0 * p.y;
  });
  const auto normals = crossing_normals(values_only, {{1, 1, 1}}, tree);
  EXPECT_EQ(values_only.batch_sizes, (std::vector<std::size_t>{1, 6}));
  EXPECT_EQ(seen[1], (Vec3{1 + 0.0025, 1, 1}));
  EXPECT_NEAR(normals[0].y, -1.0, 1e-12);
}

}  // namespace
}  // namespace karvex
