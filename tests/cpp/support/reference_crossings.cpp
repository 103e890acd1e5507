#include "reference_crossings.h"

#include "field/fd_gradients.h"
#include "support/panic.h"

namespace karvex::testing {

namespace {

// The slot of crossing c, checking its group against the cell's groups.
std::uint64_t slot_of(const EdgeCrossing& c, const VertexSlots& slots) {
  const ComponentRow& row = checked_at(slots.cell_components, c.cell);
  if (c.component >= row[8]) fail_index(row[8], c.component);
  return checked_at(slots.vertex_base, c.cell) + c.component;
}

}  // namespace

std::vector<EdgeCrossing> find_crossings(WorkerPool& pool, const std::vector<SurfaceCell>& cells,
                                         const std::vector<CornerValues>& values,
                                         double iso_value) {
  const CrossingRefs refs = find_crossing_refs(pool, cells);
  std::vector<EdgeCrossing> crossings;
  crossings.reserve(refs.size());
  for (const CrossingRef& r : refs) {
    const SurfaceCell& cell = cells[r.cell];
    const CubeEdge& e = CUBE_EDGES[r.edge];
    crossings.push_back({cell.corner(e.u), cell.corner(e.v), values[r.cell][e.u] - iso_value,
                         r.cell, r.edge, r.component});
  }
  return crossings;
}

std::vector<Vec3> locate_crossings(Field& field, const std::vector<EdgeCrossing>& crossings,
                                   double iso_value) {
  const std::size_t n = crossings.size();
  std::vector<double> lo(n, 0.0);
  std::vector<double> hi(n, 1.0);
  std::vector<Vec3> mid(n);
  for (int step = 0; step < 8; ++step) {
    for (std::size_t k = 0; k < n; ++k) {
      mid[k] = edge_point(crossings[k].p_u, crossings[k].p_v, (lo[k] + hi[k]) * 0.5);
    }
    const EvalResult result = field.evaluate(mid);
    // Reading value k for every k fails first at the end of a short array.
    if (result.values.size() < n) fail_index(result.values.size(), result.values.size());
    for (std::size_t k = 0; k < n; ++k) {
      const double t = (lo[k] + hi[k]) * 0.5;
      const double f = result.values[k] - iso_value;
      // lo keeps the sign of f_u: it moves while f has that sign.
      if ((f < 0) == (crossings[k].f_u < 0)) {
        lo[k] = t;
      } else {
        hi[k] = t;
      }
    }
  }
  std::vector<Vec3> points(n);
  for (std::size_t k = 0; k < n; ++k) {
    points[k] = edge_point(crossings[k].p_u, crossings[k].p_v, (lo[k] + hi[k]) * 0.5);
  }
  return points;
}

std::vector<Vec3> crossing_normals(Field& field, const std::vector<Vec3>& points,
                                   const Octree& tree) {
  const EvalResult result = field.evaluate(points);
  const std::vector<Vec3> gradients =
      result.gradients ? *result.gradients : estimate_gradients(field, points, gradient_step(tree));
  std::vector<Vec3> normals(points.size());
  for (std::size_t k = 0; k < points.size(); ++k) {
    normals[k] = normal_from_gradient(checked_at(gradients, k));
  }
  return normals;
}

std::vector<Qef> accumulate_qefs(const std::vector<EdgeCrossing>& crossings,
                                 const std::vector<Vec3>& points, const std::vector<Vec3>& normals,
                                 const VertexSlots& slots) {
  std::vector<Qef> qefs(slots.slot_count);
  for (std::size_t k = 0; k < crossings.size(); ++k) {
    const Vec3& p = checked_at(points, k);
    const Vec3& n = checked_at(normals, k);
    add_crossing(qefs[slot_of(crossings[k], slots)], p, n);
  }
  return qefs;
}

std::vector<std::uint8_t> mark_sharp_slots(const std::vector<EdgeCrossing>& crossings,
                                           const std::vector<Vec3>& normals,
                                           const VertexSlots& slots, double cos_threshold) {
  std::vector<std::uint8_t> sharp(slots.slot_count, 0);
  // A cell has at most twelve crossings, so comparing every pair within the
  // cell's run of crossings is cheap; pairs of different groups are skipped.
  std::size_t begin = 0;
  while (begin < crossings.size()) {
    std::size_t end = begin + 1;
    while (end < crossings.size() && crossings[end].cell == crossings[begin].cell) ++end;
    for (std::size_t i = begin; i < end; ++i) {
      const std::uint64_t slot = slot_of(crossings[i], slots);
      if (sharp[slot]) continue;
      const Vec3& a = checked_at(normals, i);
      for (std::size_t j = i + 1; j < end; ++j) {
        if (crossings[j].component != crossings[i].component) continue;
        const Vec3& b = checked_at(normals, j);
        if (normals_disagree(a, b, cos_threshold)) {
          sharp[slot] = 1;
          break;
        }
      }
    }
    begin = end;
  }
  return sharp;
}

}  // namespace karvex::testing
