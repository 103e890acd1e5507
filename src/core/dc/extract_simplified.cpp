// The tail of the Dual Contouring driver with simplification: leaf vertices,
// collapse, projection, faces on minimal edges, cleanup.
#include "dc/extract_simplified.h"

#include <utility>

#include "dc/cleanup.h"
#include "dc/minimal_edge_faces.h"
#include "dc/projection.h"
#include "dc/simplify.h"
#include "dc/vertex_placement.h"
#include "pool/run_monitor.h"

namespace karvex {

Mesh extract_simplified(WorkerPool& pool, Field& field, const Octree& tree,
                        const std::vector<SurfaceCell>& cells, const VertexSlots& slots,
                        SlotQefs hermite, const ExtractControls& controls, StageTimer& timer) {
  // The leaves' own vertices, as without simplification: the cells that stay
  // as they are keep exactly these. The Qefs are kept for merging.
  timer.stage(&ExtractTimings::qefs);
  begin_stage("vertices", slots.slot_count + std::uint64_t{cells.size()});
  std::vector<VertexSolveJob> jobs =
      make_solve_jobs(cells, slots, std::move(hermite.sharp), tree.size);
  timer.stage(&ExtractTimings::solve);
  std::vector<Qef> qefs = std::move(hermite.qefs);
  const std::vector<VertexSolution> solutions = solve_vertices(pool, std::move(jobs), qefs);

  timer.stage(&ExtractTimings::emit);
  SimplifiedCells simplified =
      simplify_cells(tree, cells, slots, qefs, solutions, controls.simplify_tolerance);
  qefs = {};
  timer.count(&ExtractTimings::vertex_count, simplified.positions.size());

  timer.stage(&ExtractTimings::projection);
  begin_stage("projection", 3 * std::uint64_t{simplified.positions.size()});
  std::vector<Vec3> positions = std::move(simplified.positions);
  project_vertices(pool, field, positions, std::move(simplified.boxes), tree);

  timer.stage(&ExtractTimings::faces);
  begin_stage("faces", 1);
  std::vector<Triangle> triangles = minimal_edge_faces(simplified, positions);
  advance_stage(1);
  timer.count(&ExtractTimings::triangle_count, triangles.size());
  timer.stage(&ExtractTimings::cleanup);
  begin_stage("pieces", cleanup_units(controls.keep_all, positions.size(), triangles.size()));
  Mesh mesh = controls.keep_all
                  ? keep_all_components(std::move(positions), std::move(triangles))
                  : keep_largest_component(std::move(positions), std::move(triangles));
  end_stage();
  timer.stop();
  return mesh;
}

}  // namespace karvex
