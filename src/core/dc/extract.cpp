// The Dual Contouring driver: the stages in order, each in its own file.
#include "dc/extract.h"

#include <cmath>
#include <cstdint>
#include <numbers>
#include <utility>

#include "dc/cleanup.h"
#include "dc/component_table.h"
#include "dc/crossings.h"
#include "dc/extract_simplified.h"
#include "dc/faces.h"
#include "dc/hermite.h"
#include "dc/projection.h"
#include "dc/qef.h"
#include "dc/shared_crossings.h"
#include "dc/stage_timing.h"
#include "dc/surface_cells.h"
#include "dc/vertex_placement.h"
#include "pool/run_monitor.h"
#include "pool/worker_pool.h"
#include "support/alloc_context.h"

namespace karvex {

Mesh extract_surface(const Octree& tree, Field& field, double angle_threshold_deg) {
  return extract_surface(tree, field, angle_threshold_deg, ExtractControls{});
}

// Scratch arrays are moved into the last stage that reads them, which frees
// them when it returns: the deep trees' arrays are hundreds of megabytes.
//
// Progress stages (begin_stage), each counting the indices its loops have
// finished: "surface cells" (leaf records walked), "cell index" (cells,
// twice: lookup and slots), "crossings" (cells, twice), "locating
// crossings" and "crossing normals" (crossings), "vertices" (cells, slots, cells),
// "projection" (vertices, once per Newton step, three at most), "faces"
// (cells) and "pieces" (cleanup_units).
Mesh extract_surface(const Octree& tree, Field& user_field, double angle_threshold_deg,
                     const ExtractControls& controls) {
  const RunMonitor monitor(controls.hooks);
  StageTimer timer(controls.timings, user_field);
  // Names the work for the report of an allocation failure; timer.stage()
  // names each stage.
  const TaskScope task("contouring the octree", tree.max_depth);
  Field& field = timer.field();
  const double iso = tree.iso_value;
  // Two normals of a slot further apart than the threshold angle make it sharp.
  const double cos_threshold = std::cos(angle_threshold_deg * std::numbers::pi / 180.0);

  // Surface cells and their vertex slots. No surface: no field call at all.
  timer.stage(&ExtractTimings::cells);
  begin_stage("surface cells", tree.leaves.size());
  const std::vector<SurfaceCell> cells = collect_surface_cells(tree);
  if (cells.empty()) {
    end_stage();
    return {};
  }
  WorkerPool& pool = controls.pool ? *controls.pool : global_pool();
  begin_stage("cell index", 2 * std::uint64_t{cells.size()});
  const CellLookup lookup = build_cell_lookup(cells);
  const VertexSlots slots = assign_vertex_slots(cells);
  timer.count(&ExtractTimings::cells_count, cells.size());

  // Hermite data: where the surface crosses each sign-changing edge, and its
  // normal there, gathered into one quadratic error function per slot.
  // Crossings are kept by reference (8 bytes each); points and normals are
  // recomputed or consumed as they come instead of being stored. An edge
  // shared by several cells is located, and its normal taken, once.
  timer.stage(&ExtractTimings::crossings);
  begin_stage("crossings", 2 * std::uint64_t{cells.size()});
  std::vector<CrossingRef> crossings = find_crossing_refs(pool, cells, iso);
  SharedCrossings shared = share_crossings(pool, crossings, cells, lookup);
  timer.count(&ExtractTimings::crossing_count, crossings.size());
  timer.stage(&ExtractTimings::locate);
  begin_stage("locating crossings", crossings.size());
  std::vector<std::uint8_t> located =
      locate_crossing_refs(pool, field, crossings, shared, cells, iso);
  timer.stage(&ExtractTimings::normals);
  begin_stage("crossing normals", crossings.size());
  SlotQefs hermite =
      accumulate_hermite_data(pool, field, std::move(crossings), std::move(located),
                              std::move(shared), cells, slots, tree, cos_threshold);
  if (controls.simplify_tolerance > 0.0) {
    return extract_simplified(pool, field, tree, cells, slots, std::move(hermite), controls, timer);
  }

  // One vertex per slot, minimising its quadratic error inside its clamp box,
  // numbered for output and pulled onto the surface.
  timer.stage(&ExtractTimings::qefs);
  begin_stage("vertices", slots.slot_count + 2 * std::uint64_t{cells.size()});
  std::vector<VertexSolveJob> jobs =
      make_solve_jobs(cells, slots, std::move(hermite.sharp), tree.size);
  timer.stage(&ExtractTimings::solve);
  std::vector<VertexSolution> solutions =
      solve_vertices(pool, std::move(jobs), std::move(hermite.qefs));
  timer.stage(&ExtractTimings::emit);
  EmittedVertices emitted = emit_vertices(cells, slots, std::move(solutions));
  timer.count(&ExtractTimings::vertex_count, emitted.positions.size());
  timer.stage(&ExtractTimings::projection);
  begin_stage("projection", 3 * std::uint64_t{emitted.positions.size()});
  project_vertices(pool, field, emitted.positions, std::move(emitted.boxes), tree);

  // Quads round the sign-changing edges, split into triangles; the largest
  // connected piece is kept, or every piece when asked.
  timer.stage(&ExtractTimings::faces);
  begin_stage("faces", cells.size());
  std::vector<Triangle> triangles =
      generate_faces(pool, cells, lookup, slots, emitted.cell_first_vertex, emitted.positions, iso);
  timer.count(&ExtractTimings::triangle_count, triangles.size());
  timer.stage(&ExtractTimings::cleanup);
  begin_stage("pieces",
              cleanup_units(controls.keep_all, emitted.positions.size(), triangles.size()));
  Mesh mesh = controls.keep_all
                  ? keep_all_components(std::move(emitted.positions), std::move(triangles))
                  : keep_largest_component(std::move(emitted.positions), std::move(triangles));
  end_stage();
  timer.stop();  // freeing the scratch arrays is no stage's work
  return mesh;
}

}  // namespace karvex
