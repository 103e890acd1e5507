#include "dc/extract.h"

#include <cmath>
#include <numbers>
#include <utility>

#include "dc/cleanup.h"
#include "dc/component_table.h"
#include "dc/crossings.h"
#include "dc/faces.h"
#include "dc/hermite.h"
#include "dc/projection.h"
#include "dc/qef.h"
#include "dc/stage_timing.h"
#include "dc/surface_cells.h"
#include "dc/vertex_placement.h"
#include "pool/worker_pool.h"

namespace karvex {

namespace {

// Frees a scratch array as soon as the stages that read it are done.
template <class T>
void release(std::vector<T>& items) {
  std::vector<T>().swap(items);
}

}  // namespace

Mesh extract_surface(const Octree& tree, Field& field, double angle_threshold_deg) {
  return extract_surface(tree, field, angle_threshold_deg, ExtractControls{});
}

Mesh extract_surface(const Octree& tree, Field& user_field, double angle_threshold_deg,
                     const ExtractControls& controls) {
  TimedField timed_field(user_field);
  Field& field = controls.timings ? static_cast<Field&>(timed_field) : user_field;
  StageTimer timer(controls.timings, timed_field);
  const double iso = tree.iso_value;

  // Two normals of a slot further apart than the threshold angle make it sharp.
  const double cos_threshold = std::cos(angle_threshold_deg * std::numbers::pi / 180.0);

  // Surface cells and their vertex slots. No surface: no field call at all.
  timer.begin();
  std::vector<SurfaceCell> cells = collect_surface_cells(tree);
  if (cells.empty()) return {};
  WorkerPool& pool = controls.pool ? *controls.pool : global_pool();
  const CellLookup lookup = build_cell_lookup(cells);
  const VertexSlots slots = assign_vertex_slots(cells);
  timer.end(&ExtractTimings::cells);

  // Hermite data: where the surface crosses each sign-changing edge, and its
  // normal there, gathered into one quadratic error function per slot.
  // Crossings are kept by reference (8 bytes each); points and normals are
  // recomputed or consumed as they come instead of being stored.
  timer.begin();
  std::vector<CrossingRef> crossings = find_crossing_refs(pool, cells, iso);
  timer.end(&ExtractTimings::crossings);
  timer.begin();
  std::vector<std::uint8_t> located = locate_crossing_refs(field, crossings, cells, iso);
  timer.end(&ExtractTimings::locate);
  timer.begin();
  SlotQefs hermite =
      accumulate_hermite_data(field, crossings, located, cells, slots, tree, cos_threshold);
  const std::size_t crossing_count = crossings.size();
  release(crossings);
  release(located);
  timer.end(&ExtractTimings::normals);

  // One vertex per slot, minimising its quadratic error inside its clamp box.
  timer.begin();
  std::vector<VertexSolveJob> jobs = make_solve_jobs(cells, slots, hermite.sharp, tree.size);
  std::vector<Qef> qefs = std::move(hermite.qefs);
  release(hermite.sharp);
  timer.end(&ExtractTimings::qefs);

  timer.begin();
  std::vector<VertexSolution> solutions = solve_vertices(pool, jobs, qefs);
  release(qefs);
  release(jobs);
  timer.end(&ExtractTimings::solve);

  timer.begin();
  EmittedVertices emitted = emit_vertices(cells, slots, solutions);
  release(solutions);
  timer.end(&ExtractTimings::emit);

  timer.begin();
  project_vertices(pool, field, emitted.positions, emitted.boxes, tree);
  release(emitted.boxes);
  timer.end(&ExtractTimings::projection);

  // Quads round the sign-changing edges, split into triangles.
  timer.begin();
  std::vector<Triangle> triangles =
      generate_faces(pool, cells, lookup, slots, emitted.cell_first_vertex, emitted.positions, iso);
  timer.end(&ExtractTimings::faces);

  if (controls.timings) {
    controls.timings->cells_count = cells.size();
    controls.timings->crossing_count = crossing_count;
    controls.timings->vertex_count = emitted.positions.size();
    controls.timings->triangle_count = triangles.size();
  }

  timer.begin();
  Mesh mesh = keep_largest_component(std::move(emitted.positions), std::move(triangles));
  timer.end(&ExtractTimings::cleanup);
  return mesh;
}

}  // namespace karvex
