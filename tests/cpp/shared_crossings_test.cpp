// A sign-changing edge seen by several cells is located, and its normal
// taken, once: crossings share exactly when their endpoints and starting
// values are the same doubles, and sharing changes no result.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "construction/build.h"
#include "dc/component_table.h"
#include "dc/crossings.h"
#include "dc/hermite.h"
#include "dc/shared_crossings.h"
#include "dc/surface_cells.h"
#include "fields.h"
#include "pool/worker_pool.h"
#include "support/panic.h"

namespace karvex {
namespace {

using testing::FunctionField;
using testing::RecordingField;

std::uint64_t bits(double x) {
  std::uint64_t b;
  std::memcpy(&b, &x, sizeof b);
  return b;
}

// What decides sharing: both endpoints and the value at the first, as bits.
using EdgeKey = std::array<std::uint64_t, 7>;

EdgeKey key_of(const SurfaceCell& cell, const CornerValues& values, const CrossingRef& c) {
  const CubeEdge& e = CUBE_EDGES[c.edge];
  const Vec3 u = cell.corner(e.u);
  const Vec3 v = cell.corner(e.v);
  return {bits(u.x), bits(u.y), bits(u.z), bits(v.x), bits(v.y), bits(v.z), bits(values[e.u])};
}

struct TreeCase {
  const char* name;
  BBox box;
  bool balance;
  unsigned max_depth = 5;
};

class SharedCrossingsOnTrees : public ::testing::TestWithParam<TreeCase> {};

TEST_P(SharedCrossingsOnTrees, ShareExactlyTheSameEdgesAndChangeNoResult) {
  const TreeCase& param = GetParam();
  FunctionField shape = testing::two_spheres({-0.3, 0.05, 0}, 0.4, {0.35, -0.1, 0.05}, 0.3);
  MeshingOptions options;
  options.min_depth = 2;
  options.max_depth = param.max_depth;
  options.adaptive = param.balance;
  const Octree tree = build_octree(shape, param.box, options).octree;
  std::vector<CornerValues> values;
  const std::vector<SurfaceCell> cells = collect_surface_cells(tree, values);
  const CellLookup lookup = build_cell_lookup(cells);
  const VertexSlots slots = assign_vertex_slots(cells);
  WorkerPool pool(3);
  const CrossingRefs refs = find_crossing_refs(pool, cells);
  const SharedCrossings shared = share_crossings(pool, refs, cells, values, lookup);
  ASSERT_EQ(shared.distinct_of.size(), refs.size());

  // Same key <=> same distinct crossing, numbered by first occurrence.
  std::map<EdgeKey, std::uint32_t> seen;
  std::size_t wrong = 0;
  for (std::size_t k = 0; k < refs.size(); ++k) {
    const std::uint32_t c = refs[k].cell;
    const auto [it, added] =
        seen.emplace(key_of(cells[c], values[c], refs[k]), static_cast<std::uint32_t>(seen.size()));
    wrong += shared.distinct_of[k] != it->second;
    if (added) wrong += shared.first.at(it->second) != k;
  }
  EXPECT_EQ(wrong, 0u);
  EXPECT_EQ(shared.distinct_count(), seen.size());
  EXPECT_LT(2 * shared.distinct_count(), refs.size());  // most edges have several cells

  // The numbering does not depend on the number of workers.
  WorkerPool one(1);
  const SharedCrossings alone = share_crossings(one, refs, cells, values, lookup);
  EXPECT_EQ(alone.distinct_of, shared.distinct_of);
  EXPECT_EQ(alone.first, shared.first);

  // Found from the cells alone, without the list: the same numbering, and
  // the same first crossings, field for field.
  const SharedCrossings from_cells = share_crossings(pool, cells, values, lookup);
  EXPECT_EQ(from_cells.distinct_of, shared.distinct_of);
  EXPECT_EQ(from_cells.first, shared.first);
  const UnfilledVector<CrossingRef> listed = first_crossing_refs(pool, refs, shared);
  const auto differing = [&](const UnfilledVector<CrossingRef>& found) {
    EXPECT_EQ(found.size(), listed.size());
    std::size_t differ = 0;
    for (std::size_t d = 0; d < std::min(found.size(), listed.size()); ++d) {
      const CrossingRef& a = found[d];
      const CrossingRef& b = listed[d];
      differ += a.cell != b.cell || a.edge != b.edge || a.component != b.component ||
                a.below_at_u != b.below_at_u;
    }
    return differ;
  };
  EXPECT_EQ(differing(first_crossing_refs(one, cells, from_cells)), 0u);

  // From the cells' addresses and masks alone, with the index over them and
  // each cell placed again where its corners are compared: the same again.
  const UnfilledVector<CellSigns> signs = cell_signs(cells);
  const CellPlacer placer(tree.origin, tree.size);
  const SharedCrossings from_signs = share_crossings(pool, signs, placer, values, build_cell_lookup(signs));
  EXPECT_EQ(from_signs.distinct_of, shared.distinct_of);
  EXPECT_EQ(from_signs.first, shared.first);
  EXPECT_EQ(differing(first_crossing_refs(pool, signs, from_signs)), 0u);

  // Shared and unshared stages: the same brackets, Qefs and sharp flags to
  // the bit, from batches of one point per distinct crossing.
  const double cos30 = std::cos(30.0 * 3.141592653589793 / 180.0);
  for (const bool gradients : {true, false}) {
    FunctionField field =
        testing::two_spheres({-0.3, 0.05, 0}, 0.4, {0.35, -0.1, 0.05}, 0.3, gradients);
    RecordingField plain(field);
    const std::vector<std::uint8_t> every = locate_crossing_refs(plain, refs, cells, 0.0);
    const SlotQefs want = accumulate_hermite_data(plain, refs, every, cells, slots, tree, cos30);
    RecordingField sharing(field);
    const std::vector<std::uint8_t> once =
        locate_crossing_refs(global_pool(), sharing, refs, shared, cells, 0.0);
    const SlotQefs got =
        accumulate_hermite_data(global_pool(), sharing, refs, once, shared, cells, slots, tree,
                                cos30);

    ASSERT_EQ(once.size(), shared.distinct_count());
    for (std::size_t k = 0; k < refs.size(); ++k) wrong += once[shared.distinct_of[k]] != every[k];
    ASSERT_EQ(got.qefs.size(), want.qefs.size());
    for (std::size_t s = 0; s < want.qefs.size(); ++s) {
      const Qef& a = got.qefs[s];
      const Qef& b = want.qefs[s];
      wrong += std::memcmp(&a.a00, &b.a00, 9 * sizeof(double)) != 0 || a.count != b.count;
    }
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(got.sharp, want.sharp);
    ASSERT_EQ(sharing.batches.size(), plain.batches.size());
    for (std::size_t b = 0; b < sharing.batches.size(); ++b) {
      // Central differences take six points per distinct crossing.
      const std::size_t per_point = !gradients && b + 1 == sharing.batches.size() ? 6 : 1;
      EXPECT_EQ(sharing.batches[b].points.size(), per_point * shared.distinct_count()) << b;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Trees, SharedCrossingsOnTrees,
                         ::testing::Values(TreeCase{"Refined", {{-1, -1, -1}, {1, 1, 1}}, false},
                                           TreeCase{"Balanced", {{-1, -1, -1}, {1, 1, 1}}, true},
                                           // Corners placed by rounded sums: some edges differ in
                                           // the last bit between their cells and stay apart.
                                           TreeCase{"OffLatticeBox",
                                                    {{-0.93, -0.77, -0.81}, {0.91, 0.83, 0.79}},
                                                    false},
                                           // Enough crossings for groups whose first crossing
                                           // lies in an earlier block of the numbering.
                                           TreeCase{"Deep", {{-1, -1, -1}, {1, 1, 1}}, false, 7}),
                         [](const auto& info) { return std::string(info.param.name); });

struct TwoCells {
  std::vector<SurfaceCell> cells;
  std::vector<CornerValues> values;
};

// Two cells of depth 2 side by side along x; the cell at x index 0 has
// corner values `left`, the other `right`, and their mask follows them.
TwoCells two_cells(double left_min_x, double side, double right_min_x, const CornerValues& left,
                   const CornerValues& right) {
  TwoCells two{std::vector<SurfaceCell>(2), {left, right}};
  for (int i = 0; i < 2; ++i) {
    SurfaceCell& cell = two.cells[i];
    cell.address = {static_cast<std::uint32_t>(i), 0, 0, 2};
    cell.cell_min = {i == 0 ? left_min_x : right_min_x, 0.0, 0.0};
    cell.cell_side = side;
    for (unsigned c = 0; c < 8; ++c) {
      if (two.values[i][c] < 0.0)
        cell.sign_mask = static_cast<std::uint8_t>(cell.sign_mask | 1u << c);
    }
  }
  return two;
}

// The crossings of cell 0 on its edge 5 (corners 1-3, on its upper x face)
// and of cell 1 on its edge 4 (corners 0-2, the same lattice edge): shared?
bool face_edge_shared(const TwoCells& two) {
  const std::vector<SurfaceCell>& cells = two.cells;
  const std::vector<CornerValues>& values = two.values;
  WorkerPool pool(1);
  const CrossingRefs refs = find_crossing_refs(pool, cells);
  const SharedCrossings shared =
      share_crossings(pool, refs, cells, values, build_cell_lookup(cells));
  std::size_t left = refs.size(), right = refs.size();
  for (std::size_t k = 0; k < refs.size(); ++k) {
    if (refs[k].cell == 0 && refs[k].edge == 5) left = k;
    if (refs[k].cell == 1 && refs[k].edge == 4) right = k;
  }
  EXPECT_LT(left, refs.size());
  EXPECT_LT(right, refs.size());
  return shared.distinct_of.at(left) == shared.distinct_of.at(right);
}

// Corner order i = dx + 2 dy + 4 dz: the common face is x = 1 of the left
// cell (corners 1, 3, 5, 7) and x = 0 of the right one (0, 2, 4, 6). Only
// the y edges of that face change sign.
constexpr std::array<double, 8> kLeft = {1, -1, 1, 2, 1, -1, 1, 2};
constexpr std::array<double, 8> kRight = {-1, 1, 2, 1, -1, 1, 2, 1};

TEST(SharedCrossings, SameBitsShareAndTheLastBitKeepsApart) {
  // 0.25 + 0.25 is 0.5 exactly: the same corners.
  EXPECT_TRUE(face_edge_shared(two_cells(0.25, 0.25, 0.5, kLeft, kRight)));
  // 0.1 + 0.2 is 0.30000000000000004, one bit above 0.3.
  ASSERT_NE(0.1 + 0.2, 0.3);
  EXPECT_FALSE(face_edge_shared(two_cells(0.1, 0.2, 0.3, kLeft, kRight)));
  // Same corners, a starting value that differs in its last bit.
  std::array<double, 8> nudged = kRight;
  nudged[0] = std::nextafter(-1.0, 0.0);
  EXPECT_FALSE(face_edge_shared(two_cells(0.25, 0.25, 0.5, kLeft, nudged)));
}

// The crossings are read by their cells' masks: a list that does not follow
// them (a crossing missing, or of another edge) is an invariant failure, not
// a wrong sharing.
TEST(SharedCrossings, CrossingsThatDoNotFollowTheMasksFail) {
  const TwoCells two = two_cells(0.25, 0.25, 0.5, kLeft, kRight);
  WorkerPool pool(2);
  const CrossingRefs refs = find_crossing_refs(pool, two.cells);
  const CellLookup lookup = build_cell_lookup(two.cells);
  ASSERT_GT(refs.size(), 2u);
  CrossingRefs shorter(refs.begin(), refs.end() - 1);
  EXPECT_THROW(share_crossings(pool, shorter, two.cells, two.values, lookup), InvariantFailure);
  CrossingRefs other_edge = refs;
  other_edge[1].edge = static_cast<std::uint8_t>((other_edge[1].edge + 1) % 12);
  EXPECT_THROW(share_crossings(pool, other_edge, two.cells, two.values, lookup), InvariantFailure);
}

TEST(SharedCrossings, ShortGradientsFailAtTheFirstMissingDistinctRow) {
  FunctionField sphere = testing::sphere({0, 0, 0}, 0.5);
  MeshingOptions options;
  options.min_depth = 2;
  options.max_depth = 3;
  const Octree tree = build_octree(sphere, BBox{{-1, -1, -1}, {1, 1, 1}}, options).octree;
  std::vector<CornerValues> values;
  const std::vector<SurfaceCell> cells = collect_surface_cells(tree, values);
  WorkerPool pool(1);
  const CrossingRefs refs = find_crossing_refs(pool, cells);
  SharedCrossings shared = share_crossings(pool, refs, cells, values, build_cell_lookup(cells));
  ASSERT_GT(shared.distinct_count(), 3u);
  const std::vector<std::uint8_t> located(shared.distinct_count(), 0);
  testing::ShortField short_rows(std::nullopt, 3);
  try {
    accumulate_hermite_data(pool, short_rows, refs, located, std::move(shared), cells,
                            assign_vertex_slots(cells), tree, 0.5);
    FAIL();
  } catch (const InvariantFailure& e) {
    EXPECT_EQ(std::string(e.what()), "index out of bounds: the len is 3 but the index is 3");
  }
  // Short values in the bisection count distinct crossings too.
  testing::ShortField short_values(2);
  const SharedCrossings again =
      share_crossings(pool, refs, cells, values, build_cell_lookup(cells));
  try {
    locate_crossing_refs(pool, short_values, refs, again, cells, 0.0);
    FAIL();
  } catch (const InvariantFailure& e) {
    EXPECT_EQ(std::string(e.what()), "index out of bounds: the len is 2 but the index is 2");
  }
}

}  // namespace
}  // namespace karvex
