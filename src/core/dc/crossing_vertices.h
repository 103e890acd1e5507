#pragma once

#include <vector>

#include "dc/component_table.h"
#include "dc/crossings.h"
#include "dc/edge_roots.h"
#include "dc/shared_crossings.h"
#include "dc/surface_cells.h"
#include "dc/vertex_placement.h"
#include "pool/worker_pool.h"
#include "support/vec3.h"

namespace karvex {

// The leaves' vertices straight from their located crossings, when nothing
// is simplified: what accumulate_hermite_roots (planes only), the slots'
// guides and solve_slot_vertices give in turn, the same bits, with each
// cell's Qefs made on the stack from its own crossings and solved at once,
// so that no Qef, sharp flag or gradient sum is kept per slot.
struct CrossingVertices {
  EmittedVertices emitted;
  // Per vertex, its slot's mean crossing gradient (zero for a slot no
  // crossing reached): the line lean projection searches along.
  std::vector<Vec3> guides;
};

// `roots` must hold every distinct crossing's parameter and gradient
// (has_gradient all set, as locate_edge_roots_in_slices leaves them). Two
// passes over the cells on `pool`: the first counts the vertices of each
// cell that has crossings (its group count), the second, after a prefix sum
// in cell order, gathers each cell's crossings in crossing order and solves
// its slots; nothing depends on the worker count. The crossings, roots and
// sharing are taken by value and freed on return. Fails as
// accumulate_hermite_roots and solve_slot_vertices do (a cell with more
// than twelve crossings, a group beyond its cell's count, a bad box).
CrossingVertices solve_crossing_vertices(WorkerPool& pool, std::vector<CrossingRef> crossings,
                                         EdgeRoots roots, SharedCrossings shared,
                                         const std::vector<SurfaceCell>& cells,
                                         const VertexSlots& slots, double cube_size,
                                         double cos_threshold);

}  // namespace karvex
