// Construction and balancing on pools of different sizes: the per-cell work
// runs on the workers, and the tree, the evaluation count and every batch
// handed to the field must be exactly those of one worker, which does the
// work in list order.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "construction/build.h"
#include "fields.h"
#include "octree/split_cells.h"
#include "octree/subgrid.h"
#include "pool/worker_pool.h"
#include "support/panic.h"

namespace karvex {
namespace {

using testing::FunctionField;
using testing::RecordingField;

void expect_same_node(const OctreeNode& a, const OctreeNode& b, const std::string& where) {
  EXPECT_EQ(a.kind, b.kind) << where;
  EXPECT_EQ(a.sign_mask, b.sign_mask) << where;
  EXPECT_EQ(a.index, b.index) << where;
}

// Same blocks and same leaf records, number by number (records no node names
// any more included).
void expect_same_tree(const Octree& a, const Octree& b) {
  expect_same_node(a.root, b.root, "root");
  ASSERT_EQ(a.blocks.size(), b.blocks.size());
  for (std::size_t i = 0; i < a.blocks.size(); ++i) {
    for (unsigned o = 0; o < 8; ++o) {
      expect_same_node(a.blocks[i][o], b.blocks[i][o],
                       "block " + std::to_string(i) + " octant " + std::to_string(o));
    }
  }
  ASSERT_EQ(a.leaves.size(), b.leaves.size());
  for (std::size_t i = 0; i < a.leaves.size(); ++i) {
    const LeafData& x = a.leaves[i];
    const LeafData& y = b.leaves[i];
    EXPECT_EQ(x.values, y.values) << "record " << i;
    EXPECT_EQ(x.sign_mask, y.sign_mask) << "record " << i;
  }
}

// ---------------------------------------------------------------------------
// split_cells against splitting one cell at a time.

OctreeNode& node_at(Octree& tree, const NodePlace& place) {
  return place.root ? tree.root : tree.block(place.block)[place.octant];
}

// The plain form: make_children, append the block, and (recycling) hand the
// split Leaf's record to the newest child record.
void split_one_at_a_time(Octree& tree, const CornerCache& cache,
                         const std::vector<NodePlace>& places,
                         const std::vector<SubgridSlots>& slots, bool recycle) {
  for (std::size_t i = 0; i < places.size(); ++i) {
    if (node_at(tree, places[i]).is_internal()) continue;
    const std::size_t before = tree.leaves.size();
    const ChildBlock children = make_children(tree, cache, slots[i], "missing");
    const std::uint32_t block = tree.append_block(children);
    OctreeNode& node = node_at(tree, places[i]);
    if (recycle && node.kind == NodeKind::Leaf && tree.leaves.size() > before) {
      const auto last = static_cast<std::uint32_t>(tree.leaves.size() - 1);
      for (OctreeNode& child : tree.blocks[block]) {
        if (child.kind == NodeKind::Leaf && child.index == last) {
          tree.leaves[node.index] = tree.leaves[last];
          tree.leaves.pop_back();
          child.index = node.index;
        }
      }
    }
    node = OctreeNode::internal(block);
  }
}

// A tree of max_depth 5 over a cache holding every lattice point of a
// field, split level by level down to max_depth: every cell of a level that
// is not Internal, in depth-first order.
struct UniformSplits {
  explicit UniformSplits(FunctionField field) {
    tree = make_octree({{-1, -1, -1}, {1, 1, 1}}, 0, 5, 0.0);
    std::vector<CornerKey> keys;
    std::vector<Vec3> positions;
    for (std::uint32_t z = 0; z <= 32; ++z) {
      for (std::uint32_t y = 0; y <= 32; ++y) {
        for (std::uint32_t x = 0; x <= 32; ++x) {
          keys.push_back({x, y, z});
          positions.push_back(tree.position(keys.back()));
        }
      }
    }
    sample_batch(field, cache, keys, positions, tree.spacing());
    std::array<const CornerSample*, 8> corners;
    for (unsigned i = 0; i < 8; ++i) corners[i] = &cache.at(cell_corner({}, i, 5));
    tree.root = make_node(tree, corners);
  }

  // The cells of depth d (all of whose ancestors are Internal), with their
  // places and sub-grid entries.
  void level(std::uint8_t d, std::vector<NodePlace>& places, std::vector<SubgridSlots>& slots) {
    places.clear();
    slots.clear();
    collect(tree.root, {}, {0, 0, true}, d, places, slots);
  }

  void collect(const OctreeNode& node, const CellAddress& cell, const NodePlace& place,
               std::uint8_t d, std::vector<NodePlace>& places, std::vector<SubgridSlots>& slots) {
    if (cell.d == d) {
      places.push_back(place);
      const std::array<CornerKey, 27> keys = subgrid_keys(min_corner(cell, 5), d, 5);
      SubgridSlots s;
      for (unsigned k = 0; k < 27; ++k) s[k] = cache.entry_of(keys[k]);
      slots.push_back(s);
      return;
    }
    if (!node.is_internal()) return;
    for (unsigned o = 0; o < 8; ++o) {
      const CellAddress child{2 * cell.x + (o & 1u), 2 * cell.y + ((o >> 1) & 1u),
                              2 * cell.z + ((o >> 2) & 1u), static_cast<std::uint8_t>(cell.d + 1)};
      collect(tree.block(node.index)[o], child, {node.index, static_cast<std::uint8_t>(o), false},
              d, places, slots);
    }
  }

  Octree tree;
  CornerCache cache{5};
};

struct SplitCase {
  std::string name;
  std::function<FunctionField()> make;
  bool recycle;
};

class SplitCellsTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitCellsTest, SameTreeAsOneAtATimeForEveryPoolSize) {
  for (std::size_t workers : {1u, 2u, 3u, 8u}) {
    WorkerPool pool(workers);
    UniformSplits fast(GetParam().make());
    UniformSplits plain(GetParam().make());
    std::vector<NodePlace> places;
    std::vector<SubgridSlots> slots;
    for (std::uint8_t d = 0; d < 5; ++d) {
      fast.level(d, places, slots);
      ASSERT_FALSE(places.empty());
      // A cell already split in the list is left alone (its entries still
      // checked): the root's place, with valid entries.
      if (d > 0) {
        places.push_back({0, 0, true});
        slots.push_back(slots.front());
      }
      const std::size_t added = split_cells(
          fast.tree, fast.cache, {places, slots, GetParam().recycle, "missing"}, pool);
      split_one_at_a_time(plain.tree, plain.cache, places, slots, GetParam().recycle);
      EXPECT_EQ(added, places.size() - (d == 0 ? 0 : 1)) << "depth " << int{d};
      expect_same_tree(fast.tree, plain.tree);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, SplitCellsTest,
    ::testing::Values(
        SplitCase{"SphereRecycling", [] { return testing::sphere({0.1, 0.05, -0.1}, 0.6); }, true},
        SplitCase{"SphereAppending", [] { return testing::sphere({0.1, 0.05, -0.1}, 0.6); },
                  false},
        // Finite-difference gradients everywhere; a NaN-free field whose
        // leaves carry gradients and whose sign changes are dense.
        SplitCase{"GyroidRecycling", [] { return testing::gyroid(); }, true},
        SplitCase{"TorusWithoutGradients", [] { return testing::torus(0.5, 0.2, false); },
                  true}),
    [](const auto& info) { return info.param.name; });

TEST(SplitCells, MissingSampleFailsBeforeTheTreeChanges) {
  WorkerPool pool(3);
  UniformSplits t(testing::sphere({0, 0, 0}, 0.7));
  std::vector<NodePlace> places;
  std::vector<SubgridSlots> slots;
  for (std::uint8_t d = 0; d < 3; ++d) {
    t.level(d, places, slots);
    split_cells(t.tree, t.cache, {places, slots, true, "missing"}, pool);
  }
  t.level(3, places, slots);
  ASSERT_GT(places.size(), 500u);
  const Octree before = t.tree;
  // Two bad cells far apart: whichever worker meets one first, the
  // failure is that of the cell first in the list.
  slots[400][13] = static_cast<std::uint32_t>(t.cache.size());
  slots[7][26] = CornerCache::kAbsent;
  try {
    split_cells(t.tree, t.cache, {places, slots, true, "corner gone"}, pool);
    FAIL() << "no failure";
  } catch (const InvariantFailure& e) {
    EXPECT_NE(std::string(e.what()).find("corner gone"), std::string::npos) << e.what();
  }
  expect_same_tree(t.tree, before);
}

// ---------------------------------------------------------------------------
// Whole builds on pools of 1, 2, 3 and 8 workers.

struct BuildCase {
  std::string name;
  std::function<FunctionField()> make;
  bool balance;
  int min_depth;
  int max_depth;
};

class ParallelBuildTest : public ::testing::TestWithParam<BuildCase> {};

TEST_P(ParallelBuildTest, BatchesTreeAndCountIndependentOfWorkers) {
  const BuildCase& c = GetParam();
  auto build = [&](WorkerPool& pool, RecordingField& field) {
    MeshingOptions o;
    o.min_depth = c.min_depth;
    o.max_depth = c.max_depth;
    o.adaptive = c.balance;
    o.run.pool = &pool;
    return build_octree(field, {{-1, -1, -1}, {1, 1, 1}}, o);
  };
  WorkerPool one(1);
  FunctionField reference_shape = c.make();
  RecordingField reference_field(reference_shape);
  const BuildResult reference = build(one, reference_field);
  ASSERT_GT(reference.octree.blocks.size(), 1000u) << "too small to spread over workers";
  for (std::size_t workers : {2u, 3u, 8u}) {
    WorkerPool pool(workers);
    FunctionField shape = c.make();
    RecordingField field(shape);
    const BuildResult r = build(pool, field);
    EXPECT_EQ(r.evaluation_count, reference.evaluation_count) << workers;
    ASSERT_EQ(field.batches.size(), reference_field.batches.size()) << workers;
    for (std::size_t b = 0; b < field.batches.size(); ++b) {
      const auto& got = field.batches[b].points;
      const auto& want = reference_field.batches[b].points;
      ASSERT_EQ(got.size(), want.size()) << "batch " << b << ", " << workers << " workers";
      for (std::size_t j = 0; j < got.size(); ++j) {
        ASSERT_TRUE(got[j].x == want[j].x && got[j].y == want[j].y && got[j].z == want[j].z)
            << "batch " << b << " point " << j << ", " << workers << " workers";
      }
    }
    expect_same_tree(r.octree, reference.octree);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, ParallelBuildTest,
    ::testing::Values(
        BuildCase{"SphereUniform", [] { return testing::sphere({0.1, -0.05, 0.2}, 0.55); }, false,
                  2, 6},
        BuildCase{"SphereBalanced", [] { return testing::sphere({0.1, -0.05, 0.2}, 0.55); }, true,
                  2, 7},
        BuildCase{"BittenBoxBalanced", [] { return testing::bitten_box(); }, true, 3, 6},
        BuildCase{"GyroidUniform", [] { return testing::gyroid(); }, false, 2, 5},
        BuildCase{"TwoSpheresBalancedNoGradients",
                  [] { return testing::two_spheres({-0.4, 0, 0}, 0.35, {0.45, 0.1, 0}, 0.3, false); },
                  true, 2, 6}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace karvex
