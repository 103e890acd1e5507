#include "dc/hermite.h"

#include <algorithm>
#include <array>
#include <span>
#include <utility>

#include "dc/edge_normals.h"
#include "field/fd_gradients.h"
#include "pool/run_monitor.h"
#include "support/panic.h"

namespace karvex {

namespace {

// Cells whose crossings are gathered between two reports of progress (and
// polls of the run).
constexpr std::size_t kCellsPerReport = 16 * kPollBlock;

// The crossings [begin, begin + count) of one cell, with their normals, into
// the Qefs of its slots, in crossing order, and its slots' sharp flags.
// With out.gradient_sums sized, each slot also sums its crossings' raw
// gradients there.
template <class Point>
void gather_cell(std::size_t begin, std::size_t count, const CrossingRefs& crossings,
                 const SharedCrossings& shared, const GradientRows& gradients,
                 const VertexSlots& slots, double cos_threshold, const Point& point,
                 SlotQefs& out) {
  if (count > 12) fail("a surface cell with more than twelve crossings");
  const std::uint32_t cell = crossings[begin].cell;
  const ComponentRow& row = checked_at(slots.cell_components, cell);
  const std::uint64_t base = checked_at(slots.vertex_base, cell);
  std::array<Vec3, 12> normals;
  std::array<std::uint64_t, 12> slot_of;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t k = begin + i;
    // Distinct crossings are numbered in order of first use, so the first
    // row missing is met at its own number.
    const std::size_t d = shared.distinct_of[k];
    if (d >= gradients.size()) fail_index(gradients.size(), d);
    normals[i] = normal_from_gradient(gradients[d]);
    const std::uint8_t component = crossings[k].component;
    if (component >= row[8]) fail_index(row[8], component);
    slot_of[i] = base + component;
    if (out.plane_qefs.empty()) {
      add_crossing(out.qefs[slot_of[i]], point(k), normals[i]);
    } else {
      add_crossing(out.plane_qefs[slot_of[i]], point(k), normals[i]);
    }
    if (!out.gradient_sums.empty()) {
      const Vec3 g = gradients[d];
      Vec3& sum = out.gradient_sums[slot_of[i]];
      sum = {sum.x + g.x, sum.y + g.y, sum.z + g.z};
    }
  }
  // A slot is sharp when two of its normals disagree.
  for (std::size_t i = 0; i < count; ++i) {
    if (out.sharp[slot_of[i]]) continue;
    for (std::size_t j = i + 1; j < count; ++j) {
      if (crossings[begin + j].component != crossings[begin + i].component) continue;
      if (normals_disagree(normals[i], normals[j], cos_threshold)) {
        out.sharp[slot_of[i]] = 1;
        break;
      }
    }
  }
}

// Every cell's crossings into `out`, cells on `pool` in blocks between
// reports of progress; each cell's slots in crossing order, so the Qefs do
// not depend on the worker count, and the pool rethrows the failure of the
// lowest cell, that is of the first failing crossing.
template <class Point>
void gather_cells(WorkerPool& pool, const CrossingRefs& crossings,
                  const SharedCrossings& shared, const GradientRows& gradients,
                  const VertexSlots& slots, double cos_threshold, const Point& point,
                  SlotQefs& out) {
  const std::size_t n = crossings.size();
  // Where each cell's crossings begin (they are listed cell by cell, at most
  // twelve each), and the end.
  std::vector<std::size_t> cell_begin;
  cell_begin.reserve(n / 3 + 1);
  for (std::size_t k = 0; k < n; ++k) {
    if (k == 0 || crossings[k].cell != crossings[k - 1].cell) cell_begin.push_back(k);
  }
  cell_begin.push_back(n);
  const std::size_t cell_count = cell_begin.size() - 1;
  for (std::size_t first = 0; first < cell_count; first += kCellsPerReport) {
    const std::size_t last = std::min(cell_count, first + kCellsPerReport);
    {
      const RunMonitor::Suspended quiet;
      parallel_for(pool, last - first, [&](std::size_t i) {
        const std::size_t begin = cell_begin[first + i];
        gather_cell(begin, cell_begin[first + i + 1] - begin, crossings, shared, gradients, slots,
                    cos_threshold, point, out);
      });
    }
    advance_stage(cell_begin[last] - cell_begin[first]);
  }
}

}  // namespace

SlotQefs accumulate_hermite_data(WorkerPool& pool, Field& field, CrossingRefs crossings,
                                 std::vector<std::uint8_t> located, SharedCrossings shared,
                                 const std::vector<SurfaceCell>& cells, const VertexSlots& slots,
                                 const Octree& tree, double cos_threshold) {
  const std::size_t n = crossings.size();
  const std::size_t distinct = shared.distinct_count();
  if (shared.distinct_of.size() != n) fail_index(shared.distinct_of.size(), n);
  if (located.size() != distinct) fail_index(located.size(), distinct);
  // The located point of crossing k, placed from its own cell: the same
  // doubles as that of its distinct crossing's first crossing.
  const auto point = [&](std::size_t k) {
    const CrossingRef& c = crossings[k];
    return crossing_point(cells[c.cell], c, located_parameter(located[shared.distinct_of[k]]));
  };
  const auto write_distinct_points = [&](std::span<Vec3> to) {
    const RunMonitor::Suspended quiet;
    parallel_for(pool, distinct, [&](std::size_t d) { to[d] = point(shared.first[d]); });
  };
  SlotQefs out;
  out.qefs.resize(slots.slot_count);
  out.sharp.assign(slots.slot_count, 0);
  evaluate_written_batch(field, distinct, write_distinct_points, [&](const EvalView& result) {
    // The values of this call are not used.
    std::vector<Vec3> estimated;
    GradientRows gradients;
    if (result.gradients) {
      gradients = *result.gradients;
    } else {
      std::vector<Vec3> points(distinct);
      write_distinct_points(points);
      estimated = estimate_gradients(field, points, gradient_step(tree));
      gradients = GradientRows::of(estimated);
    }
    gather_cells(pool, crossings, shared, gradients, slots, cos_threshold, point, out);
  });
  return out;
}

void complete_edge_normals(WorkerPool& pool, Field& field, const CrossingRefs& crossings,
                           const SharedCrossings& shared, const std::vector<SurfaceCell>& cells,
                           const Octree& tree, EdgeRoots& roots) {
  const std::size_t distinct = shared.distinct_count();
  if (roots.has_gradient.size() != distinct) fail_index(roots.has_gradient.size(), distinct);
  // The distinct crossings whose last root-finding sample brought no
  // gradient take one from two points across the edge (with the slope
  // along it from the final bracket), or from the tetrahedral stencil.
  std::vector<std::uint32_t> missing;
  for (std::size_t d = 0; d < distinct; ++d) {
    if (!roots.has_gradient[d]) missing.push_back(static_cast<std::uint32_t>(d));
  }
  if (missing.empty()) return;
  std::vector<EdgeNormalQuery> queries(missing.size());
  {
    const RunMonitor::Suspended quiet;
    parallel_for(pool, missing.size(), [&](std::size_t i) {
      const std::size_t d = missing[i];
      const CrossingRef& c = crossings[shared.first[d]];
      queries[i] = edge_normal_query(cells[c.cell], c, roots.t[d], roots.slope[d], roots.value[d]);
    });
  }
  std::uint64_t samples = 0;
  const std::vector<Vec3> estimated =
      estimate_edge_normals(field, queries, gradient_step(tree), tree.iso_value, samples);
  for (std::size_t i = 0; i < missing.size(); ++i) {
    roots.gradients[missing[i]] = estimated[i];
    roots.has_gradient[missing[i]] = 1;
  }
}

SlotQefs accumulate_hermite_roots(WorkerPool& pool, Field& field,
                                  CrossingRefs crossings, EdgeRoots roots,
                                  SharedCrossings shared, const std::vector<SurfaceCell>& cells,
                                  const VertexSlots& slots, const Octree& tree,
                                  double cos_threshold, bool planes_only) {
  const std::size_t n = crossings.size();
  const std::size_t distinct = shared.distinct_count();
  if (shared.distinct_of.size() != n) fail_index(shared.distinct_of.size(), n);
  if (roots.t.size() != distinct) fail_index(roots.t.size(), distinct);
  const auto point = [&](std::size_t k) {
    const CrossingRef& c = crossings[k];
    return crossing_point(cells[c.cell], c, roots.t[shared.distinct_of[k]]);
  };
  complete_edge_normals(pool, field, crossings, shared, cells, tree, roots);
  // Only the points' parameters and the gradients are read from here on:
  // the rest is freed before the slots' Qefs are made.
  roots.slope = std::vector<double>();
  roots.value = std::vector<double>();
  roots.has_gradient = std::vector<std::uint8_t>();
  SlotQefs out;
  if (planes_only) {
    out.plane_qefs.resize(slots.slot_count);
  } else {
    out.qefs.resize(slots.slot_count);
  }
  out.sharp.assign(slots.slot_count, 0);
  out.gradient_sums.resize(slots.slot_count);
  gather_cells(pool, crossings, shared, GradientRows::of(roots.gradients), slots, cos_threshold,
               point, out);
  return out;
}

SlotQefs accumulate_hermite_data(Field& field, CrossingRefs crossings,
                                 std::vector<std::uint8_t> located,
                                 const std::vector<SurfaceCell>& cells, const VertexSlots& slots,
                                 const Octree& tree, double cos_threshold) {
  SharedCrossings shared = unshared_crossings(crossings.size());
  return accumulate_hermite_data(global_pool(), field, std::move(crossings), std::move(located),
                                 std::move(shared), cells, slots, tree, cos_threshold);
}

}  // namespace karvex
