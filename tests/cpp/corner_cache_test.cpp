#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "octree/corner_cache.h"
#include "octree/pending_corners.h"
#include "reference_octree.h"
#include "support/panic.h"

namespace karvex {
namespace {

using testing::gather_split_corners;

const double kNaN = std::numeric_limits<double>::quiet_NaN();

// The plain walk over every cell: child octant 0..7 outer, child corner 0..7
// inner, skipping cached and already gathered keys.
std::vector<CornerKey> naive_gather(const Octree& tree, const CornerCache& cache,
                                    const std::vector<CellAddress>& cells) {
  std::vector<CornerKey> out;
  std::set<std::tuple<std::uint32_t, std::uint32_t, std::uint32_t>> seen;
  for (const CellAddress& cell : cells) {
    const CornerKey b = min_corner(cell, tree.max_depth);
    const std::uint32_t q = 1u << (tree.max_depth - cell.d - 1);
    for (unsigned c = 0; c < 8; ++c) {
      for (unsigned i = 0; i < 8; ++i) {
        const CornerKey k{b.x + ((c & 1) + (i & 1)) * q, b.y + ((c >> 1 & 1) + (i >> 1 & 1)) * q,
                          b.z + ((c >> 2) + (i >> 2)) * q};
        if (!cache.contains(k) && seen.insert({k.x, k.y, k.z}).second) out.push_back(k);
      }
    }
  }
  return out;
}

void cache_corners(const Octree& tree, CornerCache& cache, const CellAddress& cell) {
  for (unsigned i = 0; i < 8; ++i) cache[cell_corner(cell, i, tree.max_depth)] = {};
}

// A field with scripted results: values x + 10y + 100z; gradients (1, 2, 3)
// on the calls listed (1-based); results cut to the given lengths; an
// exception on one call.
class ScriptedField : public Field {
 public:
  EvalResult evaluate(std::span<const Vec3> points) override {
    batches.emplace_back(points.begin(), points.end());
    if (batches.size() == throw_on_call) throw std::runtime_error("field failed");
    EvalResult r;
    for (const Vec3& p : points) r.values.push_back(p.x + 10 * p.y + 100 * p.z);
    if (value_len) r.values.resize(*value_len);
    if (with_gradients.count(batches.size())) {
      r.gradients.emplace(gradient_len.value_or(points.size()), Vec3{1, 2, 3});
    }
    return r;
  }

  std::set<std::size_t> with_gradients;
  std::optional<std::size_t> value_len, gradient_len;
  std::size_t throw_on_call = 0;
  std::vector<std::vector<Vec3>> batches;
};

TEST(GatherSplitCorners, NineteenForOneCellThirtyThreeForFaceNeighbours) {
  const Octree tree = make_octree({{0, 0, 0}, {1, 1, 1}}, 2, 4, 0.0);
  CornerCache cache;
  const std::vector<CellAddress> cells{{1, 2, 0, 2}, {2, 2, 0, 2}};
  for (const CellAddress& c : cells) cache_corners(tree, cache, c);
  CornerBatch batch;
  gather_split_corners(tree, cache, min_corner(cells[0], 4), 2, batch);
  ASSERT_EQ(batch.size(), 19u);
  EXPECT_EQ(batch.keys()[0], (CornerKey{6, 8, 0}));  // child 0's corner 1 comes first
  gather_split_corners(tree, cache, min_corner(cells[1], 4), 2, batch);
  EXPECT_EQ(batch.size(), 33u);  // five points of the shared face were gathered once
  EXPECT_EQ(batch.keys(), naive_gather(tree, cache, cells));
  for (std::size_t j = 0; j < batch.size(); ++j) {
    EXPECT_EQ(batch.positions()[j], tree.position(batch.keys()[j]));
  }
}

// Random passes (cells of mixed depths, repeats and overlaps, a randomly
// filled cache): both gathering routes must give the 64-corner walk's keys in
// its order, and a pending pass's slots must lead to each sub-grid sample.
TEST(GatherSplitCorners, BothRoutesMatchThePlainWalk) {
  std::mt19937 rng(12345);
  const std::uint8_t max_depth = 4;
  const Octree tree = make_octree({{0, 0, 0}, {1, 1, 1}}, 0, max_depth, 0.0);
  std::uniform_int_distribution<std::uint32_t> lattice(0, 16);
  for (int round = 0; round < 30; ++round) {
    CornerCache cache;
    for (int n = 0; n < 300; ++n) cache[{lattice(rng), lattice(rng), lattice(rng)}] = {};
    std::vector<CellAddress> cells;
    for (int n = 0; n < 12; ++n) {
      const std::uint8_t d = static_cast<std::uint8_t>(rng() % max_depth);
      std::uniform_int_distribution<std::uint32_t> coord(0, (1u << d) - 1);
      cells.push_back({coord(rng), coord(rng), coord(rng), d});
    }
    const std::vector<CornerKey> expected = naive_gather(tree, cache, cells);
    CornerBatch batch;
    for (const CellAddress& c : cells)
      gather_split_corners(tree, cache, min_corner(c, 4), c.d, batch);
    ASSERT_EQ(batch.keys(), expected);

    std::vector<SubgridSlots> slots(cells.size());
    {
      PendingCorners pass(tree, cache);
      for (std::size_t i = 0; i < cells.size(); ++i) {
        pass.gather_split_corners(min_corner(cells[i], max_depth), cells[i].d, slots[i]);
      }
      ASSERT_EQ(pass.keys(), batch.keys());
      EXPECT_FALSE(cache.contains(expected[0]));  // pending keys stay invisible
      EXPECT_THROW(cache.insert_or_assign({99, 0, 0}, {}), InvariantFailure);
      ScriptedField field;
      EXPECT_EQ(pass.sample(field, tree.spacing()), 7 * expected.size());
    }
    for (std::size_t i = 0; i < cells.size(); ++i) {
      const CornerKey b = min_corner(cells[i], max_depth);
      const std::uint32_t q = 1u << (max_depth - cells[i].d - 1);
      for (unsigned s = 0; s < 27; ++s) {
        const CornerKey k{b.x + s % 3 * q, b.y + s / 3 % 3 * q, b.z + s / 9 * q};
        ASSERT_EQ(&cache.find(k)->second, &cache.sample(slots[i][s]));
      }
    }
  }
}

TEST(PendingCorners, FailedOrDroppedPassLeavesTheCacheAsItWas) {
  const Octree tree = make_octree({{0, 0, 0}, {1, 1, 1}}, 0, 2, 0.0);
  CornerCache cache;
  cache_corners(tree, cache, {0, 0, 0, 0});
  SubgridSlots slots;
  for (std::size_t failing_call : {1u, 2u, 0u}) {  // value call, stencil call, never sampled
    PendingCorners pass(tree, cache);
    pass.gather_split_corners({0, 0, 0}, 0, slots);
    EXPECT_THROW(PendingCorners(tree, cache), InvariantFailure);  // one pass at a time
    if (failing_call == 0) continue;
    ScriptedField field;
    field.throw_on_call = failing_call;
    EXPECT_THROW(pass.sample(field, tree.spacing()), std::runtime_error);
  }
  EXPECT_EQ(cache.size(), 8u);
  CornerBatch batch;
  gather_split_corners(tree, cache, {0, 0, 0}, 0, batch);
  EXPECT_EQ(batch.size(), 19u);
}

std::vector<Vec3> positions_of(const Octree& tree, const std::vector<CornerKey>& keys) {
  std::vector<Vec3> p;
  for (const CornerKey& k : keys) p.push_back(tree.position(k));
  return p;
}

// Sampling keys whose positions are written straight into the field's input
// hands the field the same batches (the stencil of a batch without gradients
// included) and stores the same samples as sampling their positions.
TEST(SampleKeys, SameBatchesAndSamplesAsSampleBatch) {
  const Octree tree = make_octree({{-1.5, 0.25, 3}, {2.5, 4.25, 7}}, 0, 3, 0.0);
  const std::vector<CornerKey> keys{{1, 0, 0}, {7, 3, 2}, {0, 8, 5}, {8, 8, 8}};
  for (const bool gradients : {true, false}) {
    ScriptedField by_keys, by_positions;
    if (gradients) by_keys.with_gradients = by_positions.with_gradients = {1};
    CornerCache a, b;
    const double h = tree.spacing();
    EXPECT_EQ(sample_keys(by_keys, a, keys, tree, h),
              sample_batch(by_positions, b, keys, positions_of(tree, keys), h));
    EXPECT_EQ(by_keys.batches, by_positions.batches) << gradients;
    for (const CornerKey& k : keys) {
      EXPECT_EQ(a.at(k).value, b.at(k).value);
      EXPECT_EQ(a.at(k).gradient, b.at(k).gradient);
    }
  }
  ScriptedField never;
  CornerCache empty;
  EXPECT_EQ(sample_keys(never, empty, {}, tree, 0.5), 0u);
  EXPECT_TRUE(never.batches.empty());
}

TEST(SampleBatch, EachBatchChargedByWhereItsGradientsCameFrom) {
  const Octree tree = make_octree({{0, 0, 0}, {4, 4, 4}}, 0, 3, 0.0);  // h = 0.5
  ScriptedField field;
  field.with_gradients = {1, 4};  // calls 2 and 3: a batch without gradients and its stencil
  CornerCache cache;
  const std::vector<CornerKey> a{{1, 0, 0}, {2, 0, 0}}, b{{0, 1, 0}, {0, 2, 0}, {0, 3, 0}},
      c{{0, 0, 1}};
  EXPECT_EQ(sample_batch(field, cache, a, positions_of(tree, a), 0.5), 2u);
  EXPECT_EQ(sample_batch(field, cache, b, positions_of(tree, b), 0.5), 21u);
  EXPECT_EQ(sample_batch(field, cache, c, positions_of(tree, c), 0.5), 1u);
  EXPECT_EQ(sample_batch(field, cache, {}, {}, 0.5), 0u);
  ASSERT_EQ(field.batches.size(), 4u);
  // The stencil uses step 0.01 * h.
  const Vec3 p = tree.position(b[0]);
  EXPECT_EQ(field.batches[2][0], (Vec3{p.x + 0.01 * 0.5, p.y, p.z}));
  EXPECT_EQ(cache.at(a[1]).gradient, (Vec3{1, 2, 3}));
  EXPECT_EQ(cache.at(b[2]).value, 15.0);
  EXPECT_NEAR(cache.at(b[2]).gradient.y, 10.0, 1e-9);
}

TEST(SampleBatch, ShortResultsFailAtTheFirstMissingReadAndCacheNothing) {
  struct Case {
    std::optional<std::size_t> values, gradients;
    bool field_gradients;
    std::size_t index;
  };
  const Octree tree = make_octree({{0, 0, 0}, {1, 1, 1}}, 0, 2, 0.0);
  const std::vector<CornerKey> keys{{0, 0, 0}, {1, 0, 0}, {2, 0, 0}, {3, 0, 0}};
  for (const Case& c : {Case{2, {}, true, 2}, Case{{}, 3, true, 3},
                        Case{1, 1, true, 1},  // value j is read before gradient j
                        Case{3, 1, true, 1}, Case{2, {}, false, 2}}) {
    ScriptedField field;
    if (c.field_gradients) field.with_gradients = {1};
    field.value_len = c.values;
    field.gradient_len = c.gradients;
    CornerCache cache;
    try {
      sample_batch(field, cache, keys, positions_of(tree, keys), tree.spacing());
      FAIL();
    } catch (const InvariantFailure& e) {
      EXPECT_EQ(std::string(e.what()), "index out of bounds: the len is " +
                                           std::to_string(c.index) + " but the index is " +
                                           std::to_string(c.index));
    }
    EXPECT_TRUE(cache.empty());
  }
}

TEST(SampleInitialGrid, ZOutermostXFastestAndValuesCheckedBeforeTheStencil) {
  const Octree tree = make_octree({{0, 0, 0}, {1, 1, 1}}, 0, 3, 0.0);
  ScriptedField field;
  CornerCache cache;
  EXPECT_EQ(sample_initial_grid(tree, field, cache), 56u);
  const std::vector<CornerKey> order{{0, 0, 0}, {8, 0, 0}, {0, 8, 0}, {8, 8, 0},
                                     {0, 0, 8}, {8, 0, 8}, {0, 8, 8}, {8, 8, 8}};
  EXPECT_EQ(field.batches[0], positions_of(tree, order));
  EXPECT_EQ(field.batches[1].size(), 48u);

  ScriptedField short_field;
  short_field.value_len = 5;
  CornerCache other;
  EXPECT_THROW(sample_initial_grid(tree, short_field, other), InvariantFailure);
  EXPECT_EQ(short_field.batches.size(), 1u);
}

TEST(MakeNode, KindMaskAndGradientsFromTheSamples) {
  struct Case {
    std::array<double, 8> values;
    NodeKind kind;
    std::uint8_t mask;
  };
  for (const Case& c : {Case{{1, 1, 1, 1, 1, 1, 1, 1}, NodeKind::Empty, 0},  // equal is not below
                        Case{{0, 0, 0, 0, 0, 0, 0, 0}, NodeKind::Full, 255},
                        Case{{kNaN, 2, 2, 2, 2, 2, 2, 2}, NodeKind::Empty, 0},
                        Case{{kNaN, 0, 0, 0, 0, 0, 0, 0}, NodeKind::Leaf, 0xfe},
                        Case{{0, 2, 2, 2, 2, 2, 2, 0.5}, NodeKind::Leaf, 0x81}}) {
    Octree tree = make_octree({{0, 0, 0}, {1, 1, 1}}, 0, 1, 1.0);  // iso_value 1
    std::array<CornerSample, 8> samples;
    std::array<const CornerSample*, 8> ptrs;
    for (unsigned i = 0; i < 8; ++i) {
      samples[i] = {c.values[i], {double(i), 0, 0}};
      ptrs[i] = &samples[i];
    }
    const OctreeNode node = make_node(tree, ptrs);
    ASSERT_EQ(node.kind, c.kind);
    if (c.kind != NodeKind::Leaf) {
      EXPECT_TRUE(tree.leaves.empty());
      continue;
    }
    EXPECT_EQ(tree.leaf(node).sign_mask, c.mask);
    EXPECT_EQ(tree.leaf(node).values[7], c.values[7]);  // raw, not shifted by the level
  }
}

TEST(MakeChildren, MissingCornerFailsWithTheCallersMessageAndAddsNothing) {
  for (const char* message : {"corner not in cache during subdivision",
                              "corner not in cache during balance subdivision"}) {
    Octree tree = make_octree({{0, 0, 0}, {1, 1, 1}}, 0, 2, 0.0);
    CornerCache cache;
    // Leaves for every child but the far corner (4, 4, 4), met last, missing.
    for (std::uint32_t z = 0; z <= 4; z += 2)
      for (std::uint32_t y = 0; y <= 4; y += 2)
        for (std::uint32_t x = 0; x <= 4; x += 2)
          if (x + y + z < 12) cache[{x, y, z}] = {double(x) - 1.0, {}};
    try {
      make_children(tree, cache, {0, 0, 0}, 0, message);
      FAIL();
    } catch (const InvariantFailure& e) {
      EXPECT_STREQ(e.what(), message);
    }
    EXPECT_TRUE(tree.leaves.empty());
    EXPECT_THROW(make_children(tree, CornerCache{}, {0, 0, 0}, 0, message), InvariantFailure);
  }
}

}  // namespace
}  // namespace karvex
