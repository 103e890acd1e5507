#pragma once

#include <cstdint>
#include <vector>

#include "dc/component_table.h"
#include "dc/qef.h"
#include "dc/surface_cells.h"
#include "dc/vertex_placement.h"
#include "octree/large_block_allocator.h"
#include "octree/octree.h"
#include "pool/worker_pool.h"
#include "support/panic.h"

namespace karvex {

// The leaves' vertices without simplification, in one pass from the Qefs to
// the numbered output: the same positions, boxes and numbering as
// make_solve_jobs, solve_vertices and emit_vertices in turn, without their
// per-slot job and solution records (about 180 bytes a slot, hundreds of
// megabytes on a deep tree, alive together with the Qefs). Each slot's clamp
// box is made from its cell and sharp flag when it is solved.
//
// Two passes over the cells on `pool`: the first counts each cell's vertices
// (its groups when one of its slots has a crossing, else none), the second,
// after a prefix sum in cell order, solves the cell's slots and writes them
// at their numbers; so nothing depends on the worker count. The Qefs and
// sharp flags are taken by value (the driver moves them in) and freed on
// return. A slot beyond the Qefs or sharp flags, or a bad clamp box, fails as
// in the three stages above.
// The box a slot's vertex is clamped to: its cell's box, grown by a quarter
// of the cell's side on every side when the slot is sharp, so that a corner
// or crease just outside the cell can still be reached.
inline VertexBox slot_clamp_box(const SurfaceCell& cell, bool sharp, double cube_size) {
  const VertexBox box = cell_box(cell);
  if (!sharp) return box;
  const double m = (cube_size / static_cast<double>(pow2(cell.address.d))) * 0.25;
  return {{box.lo.x - m, box.lo.y - m, box.lo.z - m}, {box.hi.x + m, box.hi.y + m, box.hi.z + m}};
}

// One slot of a cell that has vertices, as solve_vertices places it: a slot
// no crossing reached (q.count 0) at the cell's centre with the cell's box;
// otherwise its Qef's solution clamped to slot_clamp_box (`sharp` is read
// only then), which is checked in full before solving. A bad box fails as
// checked_clamp does.
template <class Q>
void place_slot_vertex(const SurfaceCell& cell, const Q& q, bool sharp, double cube_size,
                       Vec3& position, VertexBox& clamp) {
  if (q.count == 0) {
    clamp = cell_box(cell);
    const double half = cell.cell_side * 0.5;
    position = {cell.cell_min.x + half, cell.cell_min.y + half, cell.cell_min.z + half};
    return;
  }
  clamp = slot_clamp_box(cell, sharp, cube_size);
  for (int axis = 0; axis < 3; ++axis) checked_clamp(0.0, clamp.lo[axis], clamp.hi[axis]);
  const Vec3 x = solve_qef(q);
  position = {checked_clamp(x.x, clamp.lo.x, clamp.hi.x), checked_clamp(x.y, clamp.lo.y, clamp.hi.y),
              checked_clamp(x.z, clamp.lo.z, clamp.hi.z)};
}

EmittedVertices solve_slot_vertices(WorkerPool& pool, const std::vector<SurfaceCell>& cells,
                                    const VertexSlots& slots, std::vector<std::uint8_t> slot_sharp,
                                    std::vector<Qef> qefs, double cube_size);
// The same from the Qefs' normal equations alone: the same results.
EmittedVertices solve_slot_vertices(WorkerPool& pool, const std::vector<SurfaceCell>& cells,
                                    const VertexSlots& slots, std::vector<std::uint8_t> slot_sharp,
                                    LargeVector<PlaneQef> qefs, double cube_size);

}  // namespace karvex
