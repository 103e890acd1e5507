#pragma once

#include <vector>

#include "dc/component_table.h"
#include "dc/extract.h"
#include "dc/hermite.h"
#include "dc/stage_timing.h"
#include "dc/surface_cells.h"
#include "field/field.h"
#include "octree/mod.h"
#include "pool/worker_pool.h"

namespace karvex {

// The stages of extract_surface after the Hermite data when
// controls.simplify_tolerance is above 0: the vertices of the leaves are
// solved as without simplification, cells are collapsed bottom-up
// (simplify_cells), every vertex is projected onto the surface
// (project_vertices), faces are made on minimal edges (minimal_edge_faces)
// and the largest piece is kept, or every piece (controls.keep_all). Timings
// go to the stages qefs and solve (leaf vertices), emit (collapsing),
// projection, faces and cleanup; failures as extract_surface's.
Mesh extract_simplified(WorkerPool& pool, Field& field, const Octree& tree,
                        const std::vector<SurfaceCell>& cells, const VertexSlots& slots,
                        SlotQefs hermite, const ExtractControls& controls, StageTimer& timer);

}  // namespace karvex
