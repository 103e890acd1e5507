#include "dc/merge_check.h"

#include <cmath>

#include "dc/crossings.h"
#include "field/fd_gradients.h"
#include "support/panic.h"

namespace karvex {

namespace {

// Signed distance from a point to the level set, to first order:
// (f - iso) / |g|; NaN when that cannot be told (no usable gradient).
double signed_distance(double f, const Vec3& g, double iso) {
  const double q = (g.x * g.x + g.y * g.y) + g.z * g.z;
  if (!(q > 1e-20) || std::isinf(q)) return NAN;
  return (f - iso) / std::sqrt(q);
}

// A child's vertex and the midpoint between it and the collapsed vertex.
struct Chord {
  Vec3 end;
  Vec3 middle;
  double scale = 0.0;  // (side / length)^2; 0 for a child too near to tell curvature
};

// The chords of one collapsed cell, appended to `out`.
void chords_of(const MergedCell& cell, const Vec3& vertex, std::vector<Chord>& out) {
  const double near = 0.25 * cell.side;
  for (unsigned c = 0; c < cell.sample_count; ++c) {
    const Vec3& s = cell.samples[c];
    const Vec3 d{s.x - vertex.x, s.y - vertex.y, s.z - vertex.z};
    const double l = std::sqrt((d.x * d.x + d.y * d.y) + d.z * d.z);
    const double ratio = cell.side / l;
    out.push_back({s, {vertex.x + 0.5 * d.x, vertex.y + 0.5 * d.y, vertex.z + 0.5 * d.z},
                   l >= near ? ratio * ratio : 0.0});
  }
}

}  // namespace

SimplifiedCells simplify_within_tolerance(Field& field, const Octree& tree,
                                          const std::vector<SurfaceCell>& cells,
                                          const VertexSlots& slots, const std::vector<Qef>& qefs,
                                          const std::vector<VertexSolution>& solutions,
                                          double tolerance) {
  MergeRefusals refused;
  // Each pass refuses only collapsed cells, which exposes their children:
  // one more pass per depth at most; the bound is a guard, not a limit.
  for (unsigned pass = 0; pass <= 2u * 64u; ++pass) {
    SimplifiedCells simplified = simplify_cells(tree, cells, slots, qefs, solutions, tolerance,
                                                &refused);
    if (simplified.merged.empty()) return simplified;
    // Points: every collapsed vertex, then per chord its end and middle.
    const std::size_t merged = simplified.merged.size();
    std::vector<Chord> chords;
    std::vector<std::size_t> first;  // chords of collapsed cell m: first[m] .. first[m + 1]
    first.reserve(merged + 1);
    std::vector<Vec3> points;
    points.reserve(merged);
    for (const MergedCell& cell : simplified.merged) {
      first.push_back(chords.size());
      points.push_back(checked_at(simplified.positions, cell.vertex));
      chords_of(cell, points.back(), chords);
    }
    first.push_back(chords.size());
    for (const Chord& chord : chords) {
      points.push_back(chord.end);
      points.push_back(chord.middle);
    }

    EvalResult result = evaluate_batch(field, points);
    std::vector<Vec3> gradients;
    if (result.gradients) {
      gradients = std::move(*result.gradients);
    } else {
      gradients = estimate_gradients(field, points, gradient_step(tree));
    }
    const auto distance = [&](std::size_t i) {
      return signed_distance(checked_at(result.values, i), checked_at(gradients, i),
                             tree.iso_value);
    };
    bool any = false;
    for (std::size_t m = 0; m < merged; ++m) {
      const double at_vertex = distance(m);
      // The children's vertices are off the surface by what locating the
      // crossings left (projection takes that out): the collapsed vertex
      // may be off by as much, plus the tolerance.
      double children_off = 0.0;
      bool within = !std::isnan(at_vertex);
      for (std::size_t c = first[m]; c < first[m + 1] && within; ++c) {
        const std::size_t at = merged + 2 * c;
        const double at_end = distance(at);
        children_off = std::fmax(children_off, std::fabs(at_end));
        // How far the middle lies off the straight line between the two
        // ends' distances: the chord's sag, which curvature alone makes.
        const double sag = distance(at + 1) - 0.5 * (at_vertex + at_end);
        within = !std::isnan(sag) && std::fabs(sag) * chords[c].scale <= tolerance;
      }
      const double reach = tolerance + children_off;
      within = within && std::fabs(at_vertex) <= reach;
      if (within) {
        // Projection may move the vertex as far as a child's: enough to
        // take it onto the surface along the gradient, and no further.
        const Vec3& x = points[m];
        simplified.boxes[simplified.merged[m].vertex] = {
            {x.x - reach, x.y - reach, x.z - reach}, {x.x + reach, x.y + reach, x.z + reach}};
      }
      if (!within) {
        refused.insert(simplified.merged[m].address);
        any = true;
      }
    }
    if (!any) return simplified;
  }
  fail("checked simplification did not settle");
}

}  // namespace karvex
