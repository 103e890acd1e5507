// A field that answers each point alone is searched in slices of crossings
// and its leaves' vertices solved straight from their crossings. Both must
// give the bits of the whole-surface stages they replace.

#include <cmath>
#include <cstring>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "construction/build.h"
#include "dc/component_table.h"
#include "dc/crossing_vertices.h"
#include "dc/crossings.h"
#include "dc/edge_roots.h"
#include "dc/hermite.h"
#include "dc/lean_projection.h"
#include "dc/shared_crossings.h"
#include "dc/sliced_edge_roots.h"
#include "dc/slot_vertices.h"
#include "dc/surface_cells.h"
#include "fields.h"
#include "pool/worker_pool.h"

namespace karvex {
namespace {

using testing::FunctionField;

bool same_bits(const Vec3& a, const Vec3& b) { return std::memcmp(&a, &b, sizeof a) == 0; }
bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

struct Case {
  const char* name;
  std::function<FunctionField()> make;
  std::size_t workers;
  std::size_t slice;
};

class SlicedContouring : public ::testing::TestWithParam<Case> {};

// The whole-surface search followed by its normal estimate, against the
// sliced search; then the Hermite data and the slot solve, against the
// vertices solved from the crossings.
TEST_P(SlicedContouring, SameBitsAsTheWholeSurfaceStages) {
  FunctionField field = GetParam().make();
  MeshingOptions options;
  options.min_depth = 2;
  options.max_depth = 5;
  const Octree tree = build_octree(field, BBox{{-1, -1, -1}, {1, 1, 1}}, options).octree;
  std::vector<CornerValues> values;
  const std::vector<SurfaceCell> cells = collect_surface_cells(tree, values);
  const VertexSlots slots = assign_vertex_slots(cells);
  WorkerPool pool(GetParam().workers);
  const CrossingRefs refs = find_crossing_refs(pool, cells);
  const SharedCrossings shared = share_crossings(pool, refs, cells, values, build_cell_lookup(cells));
  ASSERT_GT(shared.distinct_count(), 3 * GetParam().slice);

  EdgeRoots whole = locate_edge_roots(pool, field, refs, shared, cells, values, 0.0);
  complete_edge_normals(pool, field, refs, shared, cells, tree, whole);
  // Sliced over the cells, and over their addresses placed again.
  const UnfilledVector<CrossingRef> edges = first_crossing_refs(pool, refs, shared);
  const UnfilledVector<CellSigns> signs = cell_signs(pool, cells);
  const CellPlacer placer(tree.origin, tree.size);
  const EdgeRoots sliced = locate_edge_roots_in_slices(
      pool, field, edges, NumberedCells(cells), values, 0.0, gradient_step(tree), GetParam().slice);
  const EdgeRoots placed =
      locate_edge_roots_in_slices(pool, field, edges, NumberedCells(signs, placer), values, 0.0,
                                  gradient_step(tree), GetParam().slice);
  ASSERT_EQ(sliced.t.size(), whole.t.size());
  ASSERT_EQ(sliced.gradients.size(), whole.gradients.size());
  ASSERT_EQ(placed.t.size(), whole.t.size());
  std::size_t mismatches = 0;
  for (std::size_t d = 0; d < whole.t.size(); ++d) {
    mismatches += !same_bits(sliced.t[d], whole.t[d]) ||
                  !same_bits(sliced.gradients[d], whole.gradients[d]) || !sliced.has_gradient[d];
    mismatches += !same_bits(placed.t[d], whole.t[d]) ||
                  !same_bits(placed.gradients[d], whole.gradients[d]);
  }
  EXPECT_EQ(mismatches, 0u);
  EXPECT_EQ(sliced.samples, whole.samples);
  EXPECT_EQ(sliced.sampled_gradients, std::string(GetParam().name) != "SphereWithoutGradients");

  const double cos30 = std::cos(30.0 * 3.141592653589793 / 180.0);
  SlotQefs hermite =
      accumulate_hermite_roots(pool, field, refs, whole, shared, cells, slots, tree, cos30, true);
  const EmittedVertices expected =
      solve_slot_vertices(pool, cells, slots, hermite.sharp, hermite.plane_qefs, tree.size);
  // The vertices from the cells' addresses and masks alone.
  const CrossingVertices got =
      solve_crossing_vertices(pool, sliced, shared, signs, tree.origin, tree.size, cos30, true);
  EXPECT_EQ(got.cell_first_vertex, expected.cell_first_vertex);
  ASSERT_EQ(got.positions.size(), expected.positions.size());
  ASSERT_EQ(got.guides.size(), expected.positions.size());
  // The boxes made again from a slice's vertices, at an odd start.
  std::vector<VertexBox> boxes(expected.positions.size() - 3);
  vertex_boxes(got, signs, tree.origin, tree.size, 3, boxes);
  for (std::size_t c = 0; c < cells.size(); ++c) {
    const std::uint64_t first = expected.cell_first_vertex[c];
    if (first == kNoVertex) continue;
    for (unsigned j = 0; j < slots.cell_components[c][8]; ++j) {
      const std::size_t v = first + j;
      const std::size_t s = slots.vertex_base[c] + j;
      Vec3 guide = hermite.gradient_sums[s];
      const double count = hermite.plane_qefs[s].count;
      if (count > 0) guide = {guide.x / count, guide.y / count, guide.z / count};
      mismatches += !same_bits(got.positions[v], expected.positions[v]) ||
                    !same_bits(got.guides[v], guide);
      if (v >= 3) {
        mismatches += !same_bits(boxes[v - 3].lo, expected.boxes[v].lo) ||
                      !same_bits(boxes[v - 3].hi, expected.boxes[v].hi);
      }
    }
  }
  EXPECT_EQ(mismatches, 0u);

  // Projection, whole and in slices (values only: along the guides).
  std::vector<Vec3> projected = got.positions;
  project_vertices_lean(pool, field, projected, expected.boxes, got.guides, tree);
  std::vector<Vec3> in_slices = got.positions;
  project_vertices_lean_in_slices(
      pool, field, in_slices,
      [&](std::size_t first, std::span<VertexBox> out) {
        vertex_boxes(got, signs, tree.origin, tree.size, first, out);
      },
      got.guides, tree, GetParam().slice);
  for (std::size_t v = 0; v < projected.size(); ++v) {
    mismatches += !same_bits(in_slices[v], projected[v]);
  }
  EXPECT_EQ(mismatches, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Fields, SlicedContouring,
    ::testing::Values(
        Case{"TwoSpheres", [] {
               return testing::two_spheres({-0.3, 0.05, 0}, 0.4, {0.35, -0.1, 0.05}, 0.3);
             }, 2, 7},
        // Every normal estimated, from the search's bracket or the stencil.
        Case{"SphereWithoutGradients",
             [] { return testing::sphere({0.1, -0.05, 0.2}, 0.55, false); }, 2, 13},
        // Sharp slots, whose clamp boxes are grown.
        Case{"BoxOneWorker", [] { return testing::box({0.05, 0, 0}, {0.5, 0.3, 0.4}); }, 1, 64}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace karvex
