// The one-pass vertex stage against the three stages it replaces, and the
// consuming form of extract_surface against the reading one.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "construction/build.h"
#include "dc/extract.h"
#include "dc/slot_vertices.h"
#include "dc/vertex_placement.h"
#include "fields.h"
#include "pool/worker_pool.h"
#include "support/panic.h"

namespace karvex {
namespace {

bool same_bits(const Vec3& a, const Vec3& b) { return std::memcmp(&a, &b, sizeof(Vec3)) == 0; }

// Cells of several depths with random masks, Qefs from random planes (some
// slots without a crossing, some whole cells without one) and random sharp
// flags: every branch of the vertex stage.
struct RandomSlots {
  std::vector<SurfaceCell> cells;
  VertexSlots slots;
  std::vector<Qef> qefs;
  std::vector<std::uint8_t> sharp;

  explicit RandomSlots(unsigned seed, std::size_t count = 3000) {
    std::mt19937_64 random(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (std::size_t i = 0; i < count; ++i) {
      SurfaceCell cell;
      cell.address.d = static_cast<std::uint8_t>(2 + random() % 5);
      cell.cell_side = 8.0 / static_cast<double>(1u << cell.address.d);
      cell.cell_min = {unit(random) * 8.0 - 4.0, unit(random) * 8.0 - 4.0, unit(random) * 8.0 - 4.0};
      cell.sign_mask = static_cast<std::uint8_t>(1 + random() % 254);
      cells.push_back(cell);
    }
    slots = assign_vertex_slots(cells);
    qefs.resize(slots.slot_count);
    sharp.resize(slots.slot_count);
    for (std::size_t i = 0; i < cells.size(); ++i) {
      const bool empty_cell = random() % 7 == 0;
      for (unsigned j = 0; j < slots.cell_components[i][8]; ++j) {
        const std::uint64_t s = slots.vertex_base[i] + j;
        sharp[s] = random() % 3 == 0;
        if (empty_cell || random() % 5 == 0) continue;
        const SurfaceCell& c = cells[i];
        for (int k = 0; k < 4; ++k) {
          const Vec3 p{c.cell_min.x + unit(random) * c.cell_side,
                       c.cell_min.y + unit(random) * c.cell_side,
                       c.cell_min.z + unit(random) * c.cell_side};
          add_crossing(qefs[s], p, normal_from_gradient({unit(random) - 0.5, unit(random) - 0.5,
                                                         unit(random) - 0.5}));
        }
      }
    }
  }
};

class SlotVertices : public ::testing::TestWithParam<unsigned> {};

TEST_P(SlotVertices, SameBitsAsJobsSolutionsAndNumbering) {
  const RandomSlots r(GetParam());
  WorkerPool one(1);
  const EmittedVertices want = emit_vertices(
      r.cells, r.slots,
      solve_vertices(one, make_solve_jobs(r.cells, r.slots, r.sharp, 8.0), r.qefs));
  WorkerPool pool(GetParam());
  const EmittedVertices got = solve_slot_vertices(pool, r.cells, r.slots, r.sharp, r.qefs, 8.0);
  ASSERT_EQ(got.cell_first_vertex, want.cell_first_vertex);
  ASSERT_EQ(got.positions.size(), want.positions.size());
  for (std::size_t v = 0; v < want.positions.size(); ++v) {
    ASSERT_TRUE(same_bits(got.positions[v], want.positions[v])) << "vertex " << v;
    ASSERT_TRUE(same_bits(got.boxes[v].lo, want.boxes[v].lo)) << "vertex " << v;
    ASSERT_TRUE(same_bits(got.boxes[v].hi, want.boxes[v].hi)) << "vertex " << v;
  }
}

INSTANTIATE_TEST_SUITE_P(Workers, SlotVertices, ::testing::Values(1u, 2u, 3u));

TEST(SlotVerticesFaults, BadBoxesAndShortArraysFailAsTheStagesDo) {
  // The first cell's box is NaN and its first slot solved.
  RandomSlots nan_box(7, 50);
  nan_box.cells[0].cell_min.x = std::numeric_limits<double>::quiet_NaN();
  add_crossing(nan_box.qefs[0], {0, 0, 0}, {0, 0, 1});
  WorkerPool pool(2);
  EXPECT_THROW(solve_slot_vertices(pool, nan_box.cells, nan_box.slots, nan_box.sharp,
                                   nan_box.qefs, 8.0),
               InvariantFailure);
  RandomSlots short_qefs(8, 50);
  short_qefs.qefs.pop_back();
  EXPECT_THROW(solve_slot_vertices(pool, short_qefs.cells, short_qefs.slots, short_qefs.sharp,
                                   short_qefs.qefs, 8.0),
               InvariantFailure);
}

// Handing the tree over gives the same mesh, to the bit, and frees the
// tree's nodes and leaves unless cells are collapsed (which reads them).
class ConsumedTree : public ::testing::TestWithParam<double> {};

TEST_P(ConsumedTree, SameMeshAndTheTreeFreedWithoutCollapse) {
  testing::FunctionField field = testing::torus(0.55, 0.2);
  MeshingOptions options;
  options.max_depth = 5;
  options.simplify = GetParam();
  const BBox box{{-1, -1, -1}, {1, 1, 1}};
  const Octree kept = build_octree(field, box, options).octree;
  const Mesh want = extract_surface(kept, field, options);
  Octree consumed = build_octree(field, box, options).octree;
  const Mesh got = extract_surface(std::move(consumed), field, options);
  ASSERT_EQ(got.faces, want.faces);
  ASSERT_EQ(got.vertices.size(), want.vertices.size());
  for (std::size_t v = 0; v < want.vertices.size(); ++v) {
    ASSERT_TRUE(same_bits(got.vertices[v], want.vertices[v])) << "vertex " << v;
  }
  const bool collapsed = GetParam() > 0.0;
  EXPECT_EQ(consumed.leaves.empty(), !collapsed);  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(consumed.leaves.size(), collapsed ? kept.leaves.size() : 0u);
}

INSTANTIATE_TEST_SUITE_P(Simplify, ConsumedTree, ::testing::Values(0.0, 0.02));

}  // namespace
}  // namespace karvex
