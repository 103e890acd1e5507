// Extraction keeps crossings by reference and fuses the normal batch with the
// quadratic error accumulation. On built octrees that path must give what the
// plain stages give, to the bit, from the same field calls.

#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "construction/build.h"
#include "dc/component_table.h"
#include "dc/crossings.h"
#include "dc/edge_roots.h"
#include "dc/hermite.h"
#include "dc/qef.h"
#include "dc/shared_crossings.h"
#include "dc/slot_vertices.h"
#include "dc/surface_cells.h"
#include "fields.h"
#include "hand_tree.h"
#include "pool/worker_pool.h"
#include "reference_crossings.h"

namespace karvex {
namespace {

using testing::accumulate_qefs;
using testing::crossing_normals;
using testing::EdgeCrossing;
using testing::find_crossings;
using testing::FunctionField;
using testing::locate_crossings;
using testing::mark_sharp_slots;
using testing::RecordingField;
using testing::ShortField;

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

bool same_qef(const Qef& a, const Qef& b) {
  const double x[9] = {a.a00, a.a01, a.a02, a.a11, a.a12, a.a22, a.b0, a.b1, a.b2};
  const double y[9] = {b.a00, b.a01, b.a02, b.a11, b.a12, b.a22, b.b0, b.b1, b.b2};
  for (int i = 0; i < 9; ++i) {
    if (!same_bits(x[i], y[i])) return false;
  }
  return a.count == b.count;
}

struct Case {
  const char* name;
  std::function<FunctionField()> make;
  double iso;
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class CompactCrossings : public ::testing::TestWithParam<Case> {};

TEST_P(CompactCrossings, GiveThePlainStagesResultsFromTheSameCalls) {
  FunctionField shape = GetParam().make();
  MeshingOptions options;
  options.min_depth = 2;
  options.max_depth = 5;
  options.level = GetParam().iso;
  const Octree tree = build_octree(shape, BBox{{-1, -1, -1}, {1, 1, 1}}, options).octree;
  std::vector<CornerValues> values;
  const std::vector<SurfaceCell> cells = collect_surface_cells(tree, values);
  const VertexSlots slots = assign_vertex_slots(cells);
  const double iso = tree.iso_value;
  const double cos30 = std::cos(30.0 * 3.141592653589793 / 180.0);
  WorkerPool pool(2);

  // The references: full crossings through the separate stages.
  RecordingField plain_field(shape);
  const std::vector<EdgeCrossing> full = find_crossings(pool, cells, values, iso);
  const std::vector<Vec3> points = locate_crossings(plain_field, full, iso);
  const std::vector<Vec3> normals = crossing_normals(plain_field, points, tree);
  const std::vector<Qef> qefs = accumulate_qefs(full, points, normals, slots);
  const std::vector<std::uint8_t> sharp = mark_sharp_slots(full, normals, slots, cos30);

  RecordingField compact_field(shape);
  const CrossingRefs refs = find_crossing_refs(pool, cells);
  const std::vector<std::uint8_t> located = locate_crossing_refs(compact_field, refs, cells, iso);
  const SlotQefs got =
      accumulate_hermite_data(compact_field, refs, located, cells, slots, tree, cos30);

  ASSERT_EQ(refs.size(), full.size());
  ASSERT_GT(refs.size(), 0u);
  std::size_t mismatches = 0;
  for (std::size_t k = 0; k < refs.size(); ++k) {
    const CrossingRef& r = refs[k];
    const EdgeCrossing& c = full[k];
    mismatches += r.cell != c.cell || r.edge != c.edge || r.component != c.component ||
                  r.below_at_u != (c.f_u < 0) ||
                  !(crossing_point(cells[r.cell], r, located_parameter(located[k])) == points[k]);
  }
  EXPECT_EQ(mismatches, 0u);
  EXPECT_EQ(compact_field.calls, plain_field.calls);
  EXPECT_TRUE(compact_field.points_seen == plain_field.points_seen);
  ASSERT_EQ(got.qefs.size(), qefs.size());
  for (std::size_t s = 0; s < qefs.size(); ++s) mismatches += !same_qef(got.qefs[s], qefs[s]);
  EXPECT_EQ(mismatches, 0u);
  EXPECT_EQ(got.sharp, sharp);
}

// Without simplification the slots keep only their normal equations: the
// same bits as the full Qefs' and so the same vertices, with gradients from
// the root search and without (estimated normals).
TEST(PlaneQefs, SameEquationsAndVerticesAsFullQefs) {
  for (const bool gradients : {true, false}) {
    FunctionField shape = testing::two_spheres({-0.3, 0.05, 0}, 0.4, {0.35, -0.1, 0.05}, 0.3,
                                               gradients);
    MeshingOptions options;
    options.min_depth = 2;
    options.max_depth = 5;
    const Octree tree = build_octree(shape, BBox{{-1, -1, -1}, {1, 1, 1}}, options).octree;
    std::vector<CornerValues> values;
    const std::vector<SurfaceCell> cells = collect_surface_cells(tree, values);
    const VertexSlots slots = assign_vertex_slots(cells);
    WorkerPool pool(2);
    const CrossingRefs refs = find_crossing_refs(pool, cells);
    const SharedCrossings shared =
        share_crossings(pool, refs, cells, values, build_cell_lookup(cells));
    const EdgeRoots roots = locate_edge_roots(pool, shape, refs, shared, cells, values, 0.0);
    const double cos30 = std::cos(30.0 * 3.141592653589793 / 180.0);
    const SlotQefs full = accumulate_hermite_roots(pool, shape, refs, roots, shared, cells, slots,
                                                   tree, cos30, false);
    const SlotQefs planes = accumulate_hermite_roots(pool, shape, refs, roots, shared, cells, slots,
                                                     tree, cos30, true);
    ASSERT_TRUE(planes.qefs.empty());
    ASSERT_EQ(planes.plane_qefs.size(), full.qefs.size());
    std::size_t mismatches = 0;
    for (std::size_t s = 0; s < full.qefs.size(); ++s) {
      const PlaneQef& p = planes.plane_qefs[s];
      mismatches += !same_qef(full.qefs[s], Qef{p.a00, p.a01, p.a02, p.a11, p.a12, p.a22, p.b0,
                                                p.b1, p.b2, 0.0, 0.0, 0.0, 0.0, p.count});
    }
    EXPECT_EQ(mismatches, 0u);
    EXPECT_EQ(planes.sharp, full.sharp);
    const EmittedVertices a =
        solve_slot_vertices(pool, cells, slots, full.sharp, full.qefs, tree.size);
    const EmittedVertices b =
        solve_slot_vertices(pool, cells, slots, planes.sharp, planes.plane_qefs, tree.size);
    EXPECT_EQ(a.cell_first_vertex, b.cell_first_vertex);
    EXPECT_TRUE(a.positions == b.positions);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, CompactCrossings,
    ::testing::Values(
        Case{"Sphere", [] { return testing::sphere({0.1, -0.05, 0.2}, 0.55); }, 0.0},
        Case{"SphereWithoutGradients",
             [] { return testing::sphere({0.1, -0.05, 0.2}, 0.55, false); }, 0.0},
        Case{"BoxAtALevel", [] { return testing::box({0.05, 0, 0}, {0.5, 0.3, 0.4}); }, 0.1},
        Case{"TwoSpheres",
             [] { return testing::two_spheres({-0.4, 0, 0}, 0.35, {0.45, 0.1, 0}, 0.3); }, 0.0}),
    [](const auto& info) { return std::string(info.param.name); });

// Fewer gradient rows than crossings fail as crossing_normals fails: at the
// first crossing without one.
TEST(CompactCrossings, ShortGradientsFailAtTheFirstMissingRow) {
  FunctionField sphere = testing::sphere({0, 0, 0}, 0.5);
  MeshingOptions options;
  options.min_depth = 2;
  options.max_depth = 3;
  const Octree tree = build_octree(sphere, BBox{{-1, -1, -1}, {1, 1, 1}}, options).octree;
  std::vector<CornerValues> values;
  const std::vector<SurfaceCell> cells = collect_surface_cells(tree, values);
  WorkerPool pool(1);
  const CrossingRefs refs = find_crossing_refs(pool, cells);
  ASSERT_GT(refs.size(), 3u);
  const std::vector<std::uint8_t> located(refs.size(), 0);
  ShortField short_rows(std::nullopt, 3);
  try {
    accumulate_hermite_data(short_rows, refs, located, cells, assign_vertex_slots(cells), tree,
                            0.5);
    FAIL();
  } catch (const InvariantFailure& e) {
    EXPECT_EQ(std::string(e.what()), "index out of bounds: the len is 3 but the index is 3");
  }
}

}  // namespace
}  // namespace karvex
