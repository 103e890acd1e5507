// The Dual Contouring driver: the stages in order, each in its own file.
// With simplification two stages are swapped for others (the collapse after
// the leaves' vertices, faces on minimal edges); the rest is shared.
#include "dc/extract.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <span>
#include <utility>

#include "dc/cell_corner_values.h"
#include "dc/cleanup.h"
#include "dc/edge_roots.h"
#include "dc/component_table.h"
#include "dc/crossing_vertices.h"
#include "dc/crossings.h"
#include "dc/edge_collapse.h"
#include "dc/faces.h"
#include "dc/hermite.h"
#include "dc/lean_projection.h"
#include "dc/minimal_edge_faces.h"
#include "dc/merge_check.h"
#include "dc/projection.h"
#include "dc/qef.h"
#include "dc/shared_crossings.h"
#include "dc/simplify.h"
#include "dc/sliced_edge_roots.h"
#include "dc/slot_vertices.h"
#include "dc/stage_timing.h"
#include "dc/surface_cells.h"
#include "dc/vertex_keys.h"
#include "dc/vertex_placement.h"
#include "field/recalling_field.h"
#include "platform/platform.h"
#include "pool/run_monitor.h"
#include "pool/worker_pool.h"
#include "support/alloc_context.h"
#include "support/panic.h"
#include "support/unfilled_allocator.h"
#include "support/vec3_ops.h"

namespace karvex {

namespace {

// How steep the field is where its surface is: the median length of its
// gradients at the crossings (every eighth in their order, those with a
// finite nonzero gradient) to the nearest power of two, or 0 when there is
// none. A power of two scales the box's distance exactly, and a field about
// as steep as a distance keeps the distance itself (1), to the bit.
double typical_gradient(const EdgeRoots& roots) {
  std::vector<double> lengths;
  const std::size_t count = std::min(roots.gradients.size(), roots.has_gradient.size());
  for (std::size_t i = 0; i < count; i += 8) {
    if (!roots.has_gradient[i]) continue;
    const double length = std::sqrt(vec3_ops::dot(roots.gradients[i], roots.gradients[i]));
    if (length > 0.0 && std::isfinite(length)) lengths.push_back(length);
  }
  if (lengths.empty()) return 0.0;
  const auto middle = lengths.begin() + static_cast<std::ptrdiff_t>(lengths.size() / 2);
  std::nth_element(lengths.begin(), middle, lengths.end());
  const double steepness = std::ldexp(1.0, static_cast<int>(std::lround(std::log2(*middle))));
  return std::isfinite(steepness) ? steepness : 0.0;
}

// Surface cells from which a call counts as large: freed heap pages are
// handed back between its stages, and its faces find their neighbours
// without the cell index. At a quarter of a million cells the cell list
// alone is about 14 MB.
constexpr std::size_t kLargeCallCells = std::size_t{1} << 18;

// The vertices of the mesh before projection, numbered for output, and what
// the face stage needs to find them: the first vertex of each surface cell
// (leaves' vertices) or the contouring tree (collapsed cells).
struct PlacedVertices {
  std::vector<Vec3> positions;
  std::vector<VertexBox> boxes;
  UnfilledVector<std::uint64_t> cell_first_vertex;  // without simplification
  SimplifiedCells simplified;                       // with simplification
};

// One vertex per slot, minimising its quadratic error inside its clamp box;
// with a tolerance above 0, cells are then collapsed bottom-up while their
// merged error stays within it and the field confirms each collapse (the
// cells that stay keep exactly the leaves' vertices, so the Qefs are kept
// for merging).
PlacedVertices place_vertices(WorkerPool& pool, Field& field, const Octree& tree,
                              const std::vector<SurfaceCell>& cells, const VertexSlots& slots,
                              SlotQefs hermite, double tolerance, StageTimer& timer) {
  const bool collapse = tolerance > 0.0;
  timer.stage(&ExtractTimings::qefs);
  // Units: the slots solved, then the cells numbered (twice) or collapsed.
  begin_stage("vertices", slots.slot_count + (collapse ? 1 : 2) * std::uint64_t{cells.size()});
  PlacedVertices placed;
  if (!collapse) {
    // Solved and numbered in one pass, with no job or solution records.
    timer.stage(&ExtractTimings::solve);
    EmittedVertices emitted =
        hermite.plane_qefs.empty()
            ? solve_slot_vertices(pool, cells, slots, std::move(hermite.sharp),
                                  std::move(hermite.qefs), tree.size)
            : solve_slot_vertices(pool, cells, slots, std::move(hermite.sharp),
                                  std::move(hermite.plane_qefs), tree.size);
    placed.positions = std::move(emitted.positions);
    placed.boxes = std::move(emitted.boxes);
    placed.cell_first_vertex = std::move(emitted.cell_first_vertex);
    return placed;
  }
  std::vector<VertexSolveJob> jobs =
      make_solve_jobs(cells, slots, std::move(hermite.sharp), tree.size);
  timer.stage(&ExtractTimings::solve);
  std::vector<Qef> qefs = std::move(hermite.qefs);
  const std::vector<VertexSolution> solutions = solve_vertices(pool, std::move(jobs), qefs);
  timer.stage(&ExtractTimings::collapse);
  placed.simplified =
      simplify_within_tolerance(pool, field, tree, cells, slots, qefs, solutions, tolerance);
  placed.positions = std::move(placed.simplified.positions);
  placed.boxes = std::move(placed.simplified.boxes);
  return placed;
}

}  // namespace

// Scratch arrays are moved into the last stage that reads them, which frees
// them when it returns: the deep trees' arrays are hundreds of megabytes.
// Where a stage has freed arrays that the next does not reuse whole, their
// heap pages are handed back before it allocates (release_free_memory):
// kept, they would add to the next stage's peak.
//
// Progress stages (begin_stage), each counting the indices its loops have
// finished: "surface cells" (leaf records walked), "cell index" (cells,
// their lookup), "crossings" (cells, twice), "locating crossings"
// (crossings), "crossing normals" (cells for their slots, then crossings),
// "vertices" (cells, when solved straight from the crossings; else slots,
// then cells twice, or once when collapsing), "projection" (vertices, once
// per Newton step, three at most), "faces" (cells twice: their index made or
// their order checked, and their faces; 1 on minimal edges) and "pieces"
// (cleanup_units).
namespace {

// The driver; `owned`, when given, is `tree` itself, whose nodes and leaf
// records are freed once the surface cells are copied out of them (the
// later stages read only its size, origin, level and depths), unless cells
// are collapsed, which reads the tree.
Mesh contour(const Octree& tree, Octree* owned, Field& user_field,
             const MeshingOptions& options) {
  const RunMonitor monitor(options.run.hooks);
  StageTimer timer(options.run.timings, user_field);
  // Names the work for the report of an allocation failure; timer.stage()
  // names each stage.
  const TaskScope task("contouring the octree", tree.max_depth);
  Field& field = timer.field();
  const double iso = tree.iso_value;
  // Two normals of a slot further apart than the threshold angle make it sharp.
  const double cos_threshold = std::cos(options.sharp_angle * std::numbers::pi / 180.0);

  // Surface cells and their vertex slots. No surface: no field call at all.
  timer.stage(&ExtractTimings::cells);
  begin_stage("surface cells", tree.leaf_count());
  WorkerPool& pool = options.run.pool ? *options.run.pool : global_pool();
  const bool simplify = options.simplify > 0.0;
  // A field that answers each point alone is searched a slice of distinct
  // crossings at a time, which read only their first crossings: without
  // simplification the list of every crossing is never made, and the
  // sharing is found from the cells' masks, which give its order.
  const bool sliced = options.lean_sampling && field.pointwise();
  const bool without_list = sliced && !simplify;
  // The cells without their geometry: then every later stage places a cell
  // again from its address where it needs the corners (the same bits).
  // Without the list of crossings, the index and the sharing are made from
  // them too, so the cells with geometry (56 bytes each against 20) are
  // freed before the index, at the extraction's peak, is built; and where
  // the construction listed its finest leaves, they are never made.
  UnfilledVector<CellSigns> signs;
  const CellPlacer placer(tree.origin, tree.size);
  // A tree without leaf records reads its corner values again at the
  // lattice points; otherwise they are copied out of the records.
  CellCornerValues corner_values;
  std::vector<SurfaceCell> cells;
  const bool listed = without_list && tree.lists_finest_leaves();
  if (tree.leaves_only && !listed) {
    fail("a tree without nodes above its leaves needs an extraction from their list");
  }
  if (listed) {
    signs = finest_cell_signs(pool, tree);
    corner_values = CellCornerValues(tree, signs.size());
  } else if (tree.has_leaf_records()) {
    std::vector<CornerValues> stored;
    cells = collect_surface_cells(tree, stored);
    corner_values = CellCornerValues(std::move(stored));
  } else {
    cells = collect_surface_cells(tree);
    corner_values = CellCornerValues(tree, cells.size());
  }
  // The cells' and crossings' counts, for the stages' progress once the
  // lists are freed.
  const std::size_t cell_count = signs.empty() ? cells.size() : signs.size();
  // Handing freed heap pages back costs a walk over the heaps (about half a
  // millisecond even when little is free): worth it only where the arrays
  // are tens of megabytes, which a small call's never are.
  const bool large_call = cell_count >= kLargeCallCells;
  const auto release_freed = [large_call] {
    if (large_call) platform::release_free_memory();
  };
  if (owned != nullptr) {
    const bool had_list = !owned->finest_leaf_codes.empty();
    owned->finest_leaf_codes = std::vector<std::uint64_t>();
    owned->finest_leaf_masks = std::vector<std::uint8_t>();
    if (!simplify) {
      owned->blocks = std::vector<ChildBlock>();
      owned->leaves = decltype(owned->leaves)();
    }
    if (had_list || !simplify) release_freed();
  }
  if (cell_count == 0) {
    end_stage();
    return {};
  }
  if (without_list && signs.empty()) {
    signs = cell_signs(pool, cells);
    cells = std::vector<SurfaceCell>();
    release_freed();
  }
  begin_stage("cell index", cell_count);
  CellLookup lookup = without_list ? build_cell_lookup(pool, signs) : build_cell_lookup(pool, cells);
  // The vertex slots are read from the crossing normals on: made then.
  VertexSlots slots;
  timer.count(&ExtractTimings::cells_count, cell_count);

  // Hermite data: where the surface crosses each sign-changing edge, and its
  // normal there, gathered into one quadratic error function per slot.
  // Crossings are kept by reference (8 bytes each); points and normals are
  // recomputed or consumed as they come instead of being stored. An edge
  // shared by several cells is located, and its normal taken, once.
  timer.stage(&ExtractTimings::crossings);
  begin_stage("crossings", 2 * std::uint64_t{cell_count});
  CrossingRefs crossings;
  SharedCrossings shared;
  if (without_list) {
    advance_stage(cell_count);
    shared = share_crossings(pool, signs, placer, corner_values, lookup);
    advance_stage(cell_count);
  } else {
    crossings = find_crossing_refs(pool, cells);
    shared = share_crossings(pool, crossings, cells, corner_values, lookup);
  }
  // The faces find their cells without the index: held longer, it would
  // raise the peaks of the root search, the vertices and the faces.
  if (!(options.simplify > 0.0)) {
    lookup = CellLookup();
    release_freed();
  }
  const std::size_t crossing_count = shared.distinct_of.size();
  timer.count(&ExtractTimings::crossing_count, crossing_count);
  timer.stage(&ExtractTimings::locate);
  begin_stage("locating crossings", crossing_count);
  // The collapse's checks and the edge collapse after it sample many points
  // more than once: they ask the field through a memory of its answers,
  // unless it answers each point on its own (a native volume), for which a
  // lookup in the memory costs more than the answer and gives the same bits.
  RecallingField recalling(field);
  Field& sampled = field.pointwise() ? field : static_cast<Field&>(recalling);
  PlacedVertices placed;
  // Without simplification the leaves' vertices, solved from their cells'
  // crossings; their boxes are made again from them for projection.
  CrossingVertices direct;
  if (options.lean_sampling) {
    // Sliced: the same bits, without every crossing's search record and
    // batch at once; the slices complete their normals too.
    EdgeRoots roots;
    if (sliced) {
      // The slices read each distinct crossing's first crossing alone, and
      // place its cell again from the cell's address; the vertices list a
      // cell's crossings again from its mask. So without simplification the
      // list of every crossing and the cells' geometry are freed first.
      const UnfilledVector<CrossingRef> edges = without_list
                                                    ? first_crossing_refs(pool, signs, shared)
                                                    : first_crossing_refs(pool, crossings, shared);
      if (!simplify) {
        crossings = CrossingRefs();
        if (signs.empty()) signs = cell_signs(pool, cells);
        cells = std::vector<SurfaceCell>();
      }
      release_freed();
      roots = locate_edge_roots_in_slices(
          pool, field, edges, simplify ? NumberedCells(cells) : NumberedCells(signs, placer),
          std::move(corner_values), iso, gradient_step(tree));
    } else {
      roots = locate_edge_roots(pool, field, crossings, shared, cells, std::move(corner_values),
                                iso);
    }
    timer.stage(&ExtractTimings::normals);
    begin_stage("crossing normals", std::uint64_t{crossing_count} + cell_count);
    // Solved straight from the crossings, a cell's vertices are numbered by
    // the component table's row for its mask: no slot records.
    if (simplify) {
      slots = assign_vertex_slots(cells);
    } else {
      advance_stage(cell_count);
    }
    if (!sliced) complete_edge_normals(pool, field, crossings, shared, cells, tree, roots);
    if (!simplify) {
      // Each cell's slots solved from its own crossings: no Qef per slot.
      // Projection follows the guides only for a field without gradients.
      timer.stage(&ExtractTimings::solve);
      begin_stage("vertices", cell_count);
      const bool with_guides = !(sliced && roots.sampled_gradients);
      // The crossings are listed again from the cells' masks, and the cells
      // placed again from their addresses: both freed first.
      crossings = CrossingRefs();
      if (signs.empty()) signs = cell_signs(pool, cells);
      cells = std::vector<SurfaceCell>();
      release_freed();
      direct = solve_crossing_vertices(pool, std::move(roots), std::move(shared), signs,
                                       tree.origin, tree.size, cos_threshold, with_guides);
      placed.positions = std::move(direct.positions);
      placed.cell_first_vertex = std::move(direct.cell_first_vertex);
    } else {
      // The merges and collapses check distances to the surface read off the
      // field's values; where the core caps the field by the box itself, the
      // box's distance is counted in the field's units from here on. Not in
      // a tile, whose neighbours must decide alike along its seams.
      const double steepness = options.tile ? 0.0 : typical_gradient(roots);
      SlotQefs hermite = accumulate_hermite_roots(pool, field, std::move(crossings),
                                                  std::move(roots), std::move(shared), cells,
                                                  slots, tree, cos_threshold, false);
      if (steepness > 0.0) field.scale_cap(steepness);
      placed = place_vertices(pool, sampled, tree, cells, slots, std::move(hermite),
                              options.simplify, timer);
    }
  } else {
    // Bisection tests the signs the crossings carry: the values are done.
    corner_values = CellCornerValues();
    std::vector<std::uint8_t> located =
        locate_crossing_refs(pool, field, crossings, shared, cells, iso);
    timer.stage(&ExtractTimings::normals);
    begin_stage("crossing normals", std::uint64_t{crossing_count} + cell_count);
    slots = assign_vertex_slots(cells);
    SlotQefs hermite =
        accumulate_hermite_data(pool, field, std::move(crossings), std::move(located),
                                std::move(shared), cells, slots, tree, cos_threshold);
    placed = place_vertices(pool, sampled, tree, cells, slots, std::move(hermite),
                            options.simplify, timer);
  }

  // Vertices numbered for output (collapsed when simplifying), pulled onto
  // the surface.
  timer.count(&ExtractTimings::vertex_count, placed.positions.size());
  timer.stage(&ExtractTimings::projection);
  begin_stage("projection", 3 * std::uint64_t{placed.positions.size()});
  // A collapsed cell's vertex is checked against the field by the merge test
  // and may move by up to the tolerance: it takes the full Newton steps,
  // whose reach its box bounds, rather than a secant along one slot's guide.
  if (options.lean_sampling && !simplify) {
    // Each box from its own vertex and cell: made on the pool.
    const auto boxes = [&](std::size_t first, std::span<VertexBox> out) {
      constexpr std::size_t kBoxBlock = 4096;
      const RunMonitor::Suspended quiet;
      parallel_for(pool, (out.size() + kBoxBlock - 1) / kBoxBlock, [&](std::size_t b) {
        const std::size_t begin = b * kBoxBlock;
        vertex_boxes(direct, signs, tree.origin, tree.size, first + begin,
                     out.subspan(begin, std::min(kBoxBlock, out.size() - begin)));
      }, 1);
    };
    if (sliced) {
      project_vertices_lean_in_slices(pool, field, placed.positions, boxes,
                                      std::move(direct.guides), tree);
    } else {
      placed.boxes.resize(placed.positions.size());
      boxes(0, placed.boxes);
      project_vertices_lean(pool, field, placed.positions, std::move(placed.boxes),
                            std::move(direct.guides), tree);
    }
    direct = CrossingVertices();
  } else if (!placed.simplified.projected) {
    // The checks of the collapse have projected the collapsed cells' vertices.
    project_vertices(pool, simplify ? sampled : field, placed.positions,
                     std::move(placed.boxes), tree);
  }

  // Quads round the sign-changing edges, split into triangles (on minimal
  // edges when cells have been collapsed); the largest connected piece is
  // kept, or every piece when asked.
  timer.stage(&ExtractTimings::faces);
  std::vector<Triangle> triangles;
  if (simplify) {
    // The checks of the collapse made these triangles already, at these
    // positions, unless a tile keeps only the edges it owns.
    triangles = placed.simplified.projected && !options.tile
                    ? std::move(placed.simplified.triangles)
                    : minimal_edge_faces(pool, placed.simplified, placed.positions,
                                         options.tile, tree.max_depth);
    // Counted in the single collapses' candidates (each edge both ways, three
    // per triangle of a closed mesh) as the collapse works through them.
    const std::uint64_t units = options.tile ? 1 : 3 * std::uint64_t{triangles.size()} + 1;
    begin_stage("faces", units);
    // Then single edges, in order of least quadric error, where cells could
    // not merge whole; not in a tile, whose seams must match its neighbours'.
    // Within half a finest cell at most: sheets and features the octree
    // resolves are a cell or more apart, and a single collapse checks only
    // its own triangles (the collapse of cells has guarded against pinching
    // them by its topology test).
    if (!options.tile) {
      collapse_edges(pool, sampled, iso, gradient_step(tree), placed.positions, triangles,
                     std::min(options.simplify, 0.5 * tree.spacing()),
                     tree.box ? &*tree.box : nullptr, 1e-6 * tree.spacing(),
                     std::sqrt(3.0) * tree.spacing());
    }
    recalling.forget();
    advance_stage(units);
  } else {
    begin_stage("faces", 2 * std::uint64_t{cell_count});
    // The faces (and a tile's keys) read only the cells' addresses and
    // masks: their geometry is freed before the triangles. In a large call
    // the cells' walk order lets the faces find neighbours without the index
    // (tens of megabytes at this stage's peak); a small call's faces search
    // the index, which is quicker, most of all on adaptive trees.
    if (signs.empty()) signs = cell_signs(pool, cells);
    cells = std::vector<SurfaceCell>();
    release_freed();
    if (large_call) {
      triangles = generate_faces(pool, signs, placed.cell_first_vertex, placed.positions,
                                 options.tile, tree.max_depth);
    } else {
      lookup = build_cell_lookup(pool, signs);
      triangles = generate_faces(pool, signs, lookup, placed.cell_first_vertex,
                                 placed.positions, options.tile, tree.max_depth);
    }
  }
  timer.count(&ExtractTimings::triangle_count, triangles.size());
  timer.stage(&ExtractTimings::cleanup);
  std::vector<Vec3> positions = std::move(placed.positions);
  // A tile's vertices carry their cells' keys, by which the tiles are
  // stitched; other runs do without them.
  std::vector<VertexKey> keys;
  if (options.tile) {
    keys = simplify ? std::move(placed.simplified.keys)
                    : leaf_vertex_keys(signs, placed.cell_first_vertex, positions.size());
  }
  // The cells and their index are done with: freed before the largest
  // piece is sought.
  cells = std::vector<SurfaceCell>();
  signs = UnfilledVector<CellSigns>();
  lookup = CellLookup();
  slots = VertexSlots();
  placed = PlacedVertices();
  release_freed();
  begin_stage("pieces", cleanup_units(options.keep_all, positions.size(), triangles.size()));
  Mesh mesh = options.keep_all
                  ? keep_all_components(std::move(positions), std::move(triangles), std::move(keys))
                  : keep_largest_component(std::move(positions), std::move(triangles),
                                           std::move(keys));
  end_stage();
  timer.stop();  // freeing the scratch arrays is no stage's work
  return mesh;
}

}  // namespace

Mesh extract_surface(const Octree& tree, Field& field, const MeshingOptions& options) {
  return contour(tree, nullptr, field, options);
}

Mesh extract_surface(Octree&& tree, Field& field, const MeshingOptions& options) {
  return contour(tree, &tree, field, options);
}

}  // namespace karvex
