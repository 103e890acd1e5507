#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "dc/component_table.h"
#include "dc/crossings.h"
#include "dc/edge_roots.h"
#include "dc/shared_crossings.h"
#include "dc/surface_cells.h"
#include "dc/vertex_placement.h"
#include "pool/worker_pool.h"
#include "support/unfilled_allocator.h"
#include "support/vec3.h"

namespace karvex {

// The leaves' vertices straight from their located crossings, when nothing
// is simplified: what accumulate_hermite_roots (planes only), the slots'
// guides and solve_slot_vertices give in turn, the same bits, with each
// cell's Qefs made on the stack from its own crossings and solved at once,
// so that no Qef, sharp flag or gradient sum is kept per slot. A vertex's
// clamp box is not kept either (48 bytes): its cell and sharp flag give it
// again (vertex_boxes).
struct CrossingVertices {
  std::vector<Vec3> positions;
  // Per cell: the number of its first vertex (group j is first + j), or
  // kNoVertex when it has no crossing.
  UnfilledVector<std::uint64_t> cell_first_vertex;
  UnfilledVector<std::uint32_t> vertex_cell;  // per vertex, its cell
  // Per vertex: its slot had crossings and two of their normals disagree.
  UnfilledVector<std::uint8_t> sharp;
  // Per vertex when asked for, its slot's mean crossing gradient (zero for a
  // slot no crossing reached): the line lean projection searches along.
  UnfilledVector<Vec3> guides;
};

// `roots` must hold every distinct crossing's parameter and gradient (as
// locate_edge_roots_in_slices or complete_edge_normals leave them), and
// `shared` the sharing of the crossings find_crossing_refs lists for
// `cells`, the surface cells of the tree whose root has minimum corner
// `origin` and side `cube_size` (their geometry is placed again from their
// addresses: CellPlacer). Each cell that has crossings gets its group count of vertices,
// numbered in cell order; then each such cell gathers its crossings in
// crossing order and solves its slots, on `pool` (nothing depends on the
// worker count). The crossings themselves are not needed: a cell's are its
// mask's sign-changing edges, in edge order, which it lists again. The
// roots and sharing are taken by value and freed on return.
// Fails as accumulate_hermite_roots and solve_slot_vertices do (a cell with
// more than twelve crossings, a group beyond its cell's count, a bad box).
CrossingVertices solve_crossing_vertices(WorkerPool& pool, EdgeRoots roots,
                                         SharedCrossings shared,
                                         const UnfilledVector<CellSigns>& cells,
                                         const Vec3& origin, double cube_size,
                                         double cos_threshold, bool with_guides);

// The clamp boxes of vertices [first, first + out.size()), as
// solve_slot_vertices would have given them (slot_clamp_box), `cells`,
// `origin` and `cube_size` as solve_crossing_vertices took them.
void vertex_boxes(const CrossingVertices& vertices, const UnfilledVector<CellSigns>& cells,
                  const Vec3& origin, double cube_size, std::size_t first,
                  std::span<VertexBox> out);

}  // namespace karvex
