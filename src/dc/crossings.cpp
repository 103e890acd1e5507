#include "dc/crossings.h"

#include <bit>
#include <cmath>

#include "bbox.h"
#include "dc/component_table.h"
#include "eval/fd_gradients.h"
#include "panic.h"

namespace karvex {

namespace {

// Bit j set when edge j of the cell changes sign. `<` is false for NaN, the
// rule that built sign_mask.
std::uint16_t crossing_edges(const SurfaceCell& cell, double iso_value) {
  std::uint16_t edges = 0;
  for (unsigned j = 0; j < CUBE_EDGES.size(); ++j) {
    const CubeEdge& e = CUBE_EDGES[j];
    if ((cell.values[e.u] < iso_value) != (cell.values[e.v] < iso_value)) {
      edges = static_cast<std::uint16_t>(edges | (1u << j));
    }
  }
  return edges;
}

}  // namespace

std::vector<EdgeCrossing> find_crossings(WorkerPool& pool, const std::vector<SurfaceCell>& cells,
                                         double iso_value) {
  // Two passes: count per cell, then write each cell's crossings straight to
  // its place in the result. Cheaper than growing and joining per-task lists,
  // since the test is a dozen comparisons and the list is the large part.
  const std::vector<std::uint16_t> edges = parallel_map<std::uint16_t>(
      pool, cells.size(), [&](std::size_t i) { return crossing_edges(cells[i], iso_value); });
  std::vector<std::size_t> first(cells.size() + 1, 0);
  for (std::size_t i = 0; i < cells.size(); ++i) {
    first[i + 1] = first[i] + static_cast<std::size_t>(std::popcount(edges[i]));
  }
  std::vector<EdgeCrossing> crossings(first.back());
  pool.run(cells.size(), kDefaultMinChunk, [&](LoopRange& range) {
    for (std::size_t i = range.begin(); range.keep_going(i); ++i) {
      const SurfaceCell& cell = cells[i];
      const ComponentRow& row = COMPONENT_TABLE[cell.sign_mask];
      EdgeCrossing* out = crossings.data() + first[i];
      for (std::uint8_t j = 0; j < CUBE_EDGES.size(); ++j) {
        if (!((edges[i] >> j) & 1u)) continue;
        const CubeEdge& e = CUBE_EDGES[j];
        EdgeCrossing& c = *out++;
        c.p_u = cell.corner(e.u);
        c.p_v = cell.corner(e.v);
        c.f_u = cell.values[e.u] - iso_value;
        c.cell = i;
        c.edge = j;
        // The group of the endpoint that is below iso_value.
        c.component = row[((cell.sign_mask >> e.u) & 1u) ? e.u : e.v];
      }
    }
  });
  return crossings;
}

std::vector<Vec3> locate_crossings(Field& field, const std::vector<EdgeCrossing>& crossings,
                                   double iso_value) {
  const std::size_t n = crossings.size();
  // Per crossing: the bracket [lo, hi] in edge parameter and the value at lo.
  struct Bracket {
    double lo;
    double hi;
    double f_lo;
  };
  std::vector<Bracket> brackets(n);
  std::vector<Vec3> points(n);
  // The point at t = (lo + hi) * 0.5, as (p_v - p_u) * t + p_u per axis.
  const auto place = [&](std::size_t k) {
    const EdgeCrossing& c = crossings[k];
    const double t = (brackets[k].lo + brackets[k].hi) * 0.5;
    points[k] = {(c.p_v.x - c.p_u.x) * t + c.p_u.x, (c.p_v.y - c.p_u.y) * t + c.p_u.y,
                 (c.p_v.z - c.p_u.z) * t + c.p_u.z};
  };
  for (std::size_t k = 0; k < n; ++k) {
    brackets[k] = {0.0, 1.0, crossings[k].f_u};
    place(k);
  }

  for (int step = 0; step < 8; ++step) {
    const EvalResult result = evaluate_batch(field, points);
    // Reading value k for every k fails first at the end of a short array.
    if (result.values.size() < n) fail_index(result.values.size(), result.values.size());
    // One pass per step: narrow each bracket and place the next point (after
    // the last step, the located point), so the large arrays are walked once.
    for (std::size_t k = 0; k < n; ++k) {
      Bracket& b = brackets[k];
      const double t = (b.lo + b.hi) * 0.5;  // the parameter of the point just evaluated
      const double f = result.values[k] - iso_value;
      // Keep the half whose ends differ in sign: lo moves while f has the
      // sign of f_lo (NaN counts as not negative, like every sign test here).
      // Written as selects: the outcome is a coin toss, and a branch would
      // mispredict half the time.
      const bool move_lo = (f < 0) == (b.f_lo < 0);
      b.lo = move_lo ? t : b.lo;
      b.f_lo = move_lo ? f : b.f_lo;
      b.hi = move_lo ? b.hi : t;
      place(k);
    }
  }
  return points;
}

double gradient_step(const Octree& tree) {
  return (tree.size / static_cast<double>(pow2(tree.max_depth))) * 0.01;
}

std::vector<Vec3> crossing_normals(Field& field, const std::vector<Vec3>& points,
                                   const Octree& tree) {
  EvalResult result = evaluate_batch(field, points);
  std::vector<Vec3> gradients = result.gradients
                                    ? std::move(*result.gradients)
                                    : estimate_gradients(field, points, gradient_step(tree));
  std::vector<Vec3> normals(points.size());
  for (std::size_t k = 0; k < points.size(); ++k) {
    const Vec3& g = checked_at(gradients, k);
    const double length = std::sqrt(g.x * g.x + g.y * g.y + g.z * g.z);
    normals[k] =
        length > 1e-12 ? Vec3{g.x / length, g.y / length, g.z / length} : Vec3{0.0, 0.0, 1.0};
  }
  return normals;
}

}  // namespace karvex
