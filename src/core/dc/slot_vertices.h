#pragma once

#include <cstdint>
#include <vector>

#include "dc/component_table.h"
#include "dc/qef.h"
#include "dc/surface_cells.h"
#include "dc/vertex_placement.h"
#include "octree/large_block_allocator.h"
#include "pool/worker_pool.h"

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
EmittedVertices solve_slot_vertices(WorkerPool& pool, const std::vector<SurfaceCell>& cells,
                                    const VertexSlots& slots, std::vector<std::uint8_t> slot_sharp,
                                    std::vector<Qef> qefs, double cube_size);
// The same from the Qefs' normal equations alone: the same results.
EmittedVertices solve_slot_vertices(WorkerPool& pool, const std::vector<SurfaceCell>& cells,
                                    const VertexSlots& slots, std::vector<std::uint8_t> slot_sharp,
                                    LargeVector<PlaneQef> qefs, double cube_size);

}  // namespace karvex
