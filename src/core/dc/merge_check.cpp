#include "dc/merge_check.h"

#include <algorithm>
#include <cmath>
#include <optional>

#include "dc/crossings.h"
#include "dc/fold_candidates.h"
#include "dc/merge_topology.h"
#include "dc/minimal_edge_faces.h"
#include "dc/passed_checks.h"
#include "dc/projection.h"
#include "dc/remembered_polygons.h"
#include "dc/remembered_star_faults.h"
#include "dc/tested_triangles.h"
#include "field/fd_gradients.h"
#include "validity/self_intersections.h"
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

constexpr std::size_t kKept = static_cast<std::size_t>(-1);

// Per vertex of `simplified`, its collapsed cell (index into `merged`), or
// kKept for a leaf's vertex.
std::vector<std::size_t> collapsed_owners(const SimplifiedCells& simplified) {
  std::vector<std::size_t> owner(simplified.positions.size(), kKept);
  for (std::size_t m = 0; m < simplified.merged.size(); ++m) {
    owner[checked_at(simplified.merged, m).vertex] = m;
  }
  return owner;
}

// Marks in `to` every vertex of each triangle with a vertex `from` accepts.
template <class From>
void mark_triangles_of(const std::vector<Triangle>& triangles, From from,
                       std::vector<std::uint8_t>& to) {
  for (const Triangle& t : triangles) {
    if (from(t[0]) || from(t[1]) || from(t[2])) {
      for (const std::uint64_t v : t) to[v] = 1;
    }
  }
}

// Refuses the collapsed cells at the places where the triangles the
// simplified cells make are not one fan round a vertex: the collapsed
// vertex itself, or the collapsed vertices next to a kept one. True when
// any was refused. A place with no collapsed vertex next to it is the
// unsimplified mesh's own and left to the validity pass. `faults` are the
// triangles' star faults (star_faults on every vertex, in any order).
bool refuse_nonmanifold(const SimplifiedCells& simplified,
                        const std::vector<Triangle>& triangles,
                        const std::vector<StarFault>& faults, MergeRefusals& refused) {
  const std::uint64_t count = simplified.positions.size();
  // As nonmanifold_vertices reports them: each faulty vertex and the far
  // end its fault names.
  std::vector<std::uint64_t> bad;
  for (const StarFault& fault : faults) {
    bad.push_back(fault.vertex);
    if (fault.far_end != kNoFarEnd) bad.push_back(fault.far_end);
  }
  if (bad.empty()) return false;
  std::sort(bad.begin(), bad.end());
  bad.erase(std::unique(bad.begin(), bad.end()), bad.end());
  const std::vector<std::size_t> owner = collapsed_owners(simplified);
  // Only the vertices that share a triangle with a collapsed one can refuse
  // a cell.
  std::vector<std::uint8_t> near(count, 0);
  mark_triangles_of(triangles, [&](std::uint64_t v) { return owner[v] != kKept; }, near);
  std::erase_if(bad, [&](std::uint64_t v) { return near[v] == 0; });
  if (bad.empty()) return false;
  std::vector<bool> kept_bad(count, false);
  bool any = false;
  for (const std::uint64_t v : bad) {
    if (owner[v] == kKept) {
      kept_bad[v] = true;
    } else {
      any = refused.insert(simplified.merged[owner[v]].address).second || any;
    }
  }
  for (const Triangle& t : triangles) {
    if (!kept_bad[t[0]] && !kept_bad[t[1]] && !kept_bad[t[2]]) continue;
    for (const std::uint64_t v : t) {
      if (owner[v] != kKept) any = refused.insert(simplified.merged[owner[v]].address).second || any;
    }
  }
  return any;
}

// Refuses the collapsed cells whose triangles stray from the surface: a
// triangle between two collapsed vertices can cut across an edge of the
// solid that each vertex and each chord to its children keeps. Each triangle
// with a collapsed vertex is sampled at its edges' midpoints and centroid;
// each sample's distance less the mean of its ends' (the vertices are off
// the surface before projection, which takes that out) must be within
// `tolerance`, or the largest collapsed cell of the triangle is refused.
// A triangle that passed in an earlier pass (`passed`) is not sampled
// again; those that pass now are added to it. True when any was refused.
bool refuse_stray_triangles(Field& field, const Octree& tree, const SimplifiedCells& simplified,
                            const std::vector<Triangle>& triangles, double tolerance,
                            MergeRefusals& refused, PassedChecks& passed) {
  const std::vector<std::size_t> owner = collapsed_owners(simplified);
  std::vector<std::size_t> checked;  // triangles with a collapsed vertex, not passed before
  for (std::size_t t = 0; t < triangles.size(); ++t) {
    const Triangle& tri = triangles[t];
    if ((owner[tri[0]] != kKept || owner[tri[1]] != kKept || owner[tri[2]] != kKept) &&
        !passed.triangles.contains(PassedChecks::triangle_key(simplified.keys, tri))) {
      checked.push_back(t);
    }
  }
  if (checked.empty()) return false;
  // Per triangle: its corners, the midpoints of its edges, its centroid.
  constexpr std::size_t kPer = 7;
  std::vector<Vec3> points;
  points.reserve(kPer * checked.size());
  for (const std::size_t t : checked) {
    const Vec3& a = simplified.positions[triangles[t][0]];
    const Vec3& b = simplified.positions[triangles[t][1]];
    const Vec3& c = simplified.positions[triangles[t][2]];
    points.insert(points.end(),
                  {a, b, c, {0.5 * (a.x + b.x), 0.5 * (a.y + b.y), 0.5 * (a.z + b.z)},
                   {0.5 * (b.x + c.x), 0.5 * (b.y + c.y), 0.5 * (b.z + c.z)},
                   {0.5 * (c.x + a.x), 0.5 * (c.y + a.y), 0.5 * (c.z + a.z)},
                   {(a.x + b.x + c.x) / 3.0, (a.y + b.y + c.y) / 3.0, (a.z + b.z + c.z) / 3.0}});
  }
  EvalResult result = evaluate_batch(field, points);
  std::vector<Vec3> gradients = result.gradients
                                    ? std::move(*result.gradients)
                                    : estimate_gradients(field, points, gradient_step(tree));
  bool any = false;
  for (std::size_t i = 0; i < checked.size(); ++i) {
    double d[kPer];
    bool known = true;
    for (std::size_t k = 0; k < kPer; ++k) {
      const std::size_t at = kPer * i + k;
      d[k] = signed_distance(checked_at(result.values, at), checked_at(gradients, at),
                             tree.iso_value);
      known = known && !std::isnan(d[k]);
    }
    const double mid_ab = d[3] - 0.5 * (d[0] + d[1]);
    const double mid_bc = d[4] - 0.5 * (d[1] + d[2]);
    const double mid_ca = d[5] - 0.5 * (d[2] + d[0]);
    const double centre = d[6] - (d[0] + d[1] + d[2]) / 3.0;
    const bool within = known && std::fabs(mid_ab) <= tolerance &&
                        std::fabs(mid_bc) <= tolerance && std::fabs(mid_ca) <= tolerance &&
                        std::fabs(centre) <= tolerance;
    if (within) {
      passed.triangles.insert(PassedChecks::triangle_key(simplified.keys, triangles[checked[i]]));
      continue;
    }
    std::size_t largest = kKept;
    for (const std::uint64_t v : triangles[checked[i]]) {
      const std::size_t m = owner[v];
      if (m == kKept) continue;
      if (largest == kKept || simplified.merged[m].side > simplified.merged[largest].side) {
        largest = m;
      }
    }
    any = refused.insert(simplified.merged[largest].address).second || any;
  }
  return any;
}

// Refuses the collapsed cells whose triangles pass through others (a coarse
// fan folded over a neighbouring one), as the exact self-intersection test
// finds them with the vertices at `positions` (before projection, or where
// it puts them). Pairs of the leaves' own triangles are the unsimplified
// mesh's and left to the validity pass. With `tested` (vertices before
// projection only), the pairs of two triangles it remembers are passed
// over, and it then remembers these. True when any was refused.
bool refuse_folds(WorkerPool& pool, const SimplifiedCells& simplified,
                  const std::vector<Vec3>& positions, const std::vector<Triangle>& triangles,
                  MergeRefusals& refused, TestedTriangles* tested) {
  const std::vector<std::size_t> owner = collapsed_owners(simplified);
  std::vector<double> coordinates;
  coordinates.reserve(3 * positions.size());
  for (const Vec3& p : positions) {
    coordinates.insert(coordinates.end(), {p.x, p.y, p.z});
  }
  std::vector<std::uint8_t> touches(triangles.size(), 0);
  for (std::size_t t = 0; t < triangles.size(); ++t) {
    for (const std::uint64_t v : triangles[t]) {
      if (owner[v] != kKept) touches[t] = 1;
    }
  }
  // Only pairs with a triangle that touches a collapsed vertex count: the
  // search is given the triangles marked and the others that may reach them.
  // Marked are those touching one, or, once `tested` remembers a search, the
  // triangles it has not seen: every pair of two seen ones was searched then
  // (tested_triangles.h). A pair found then without a collapsed corner
  // refuses nothing below.
  std::vector<std::uint8_t> marks;
  const bool seen_before = tested != nullptr && tested->any();
  if (seen_before) marks = tested->unseen(simplified.keys, triangles, &refused);
  const std::vector<std::uint8_t>& marked = seen_before ? marks : touches;
  const std::vector<std::uint64_t> searched = fold_candidates(positions, triangles, marked);
  std::vector<std::int64_t> corners;
  corners.reserve(3 * searched.size());
  std::vector<std::uint8_t> searched_marked;
  searched_marked.reserve(searched.size());
  for (const std::uint64_t t : searched) {
    for (const std::uint64_t v : triangles[t]) corners.push_back(static_cast<std::int64_t>(v));
    searched_marked.push_back(marked[t]);
  }
  const validity::MeshView view{coordinates.data(), positions.size(), corners.data(),
                                searched.size()};
  validity::SelfIntersections found =
      validity::find_self_intersections(view, searched_marked.data(), pool);
  if (tested != nullptr) tested->remember(simplified.keys, triangles);
  for (validity::FacePair& pair : found.pairs) {
    for (std::int64_t& t : pair) t = static_cast<std::int64_t>(searched[static_cast<std::size_t>(t)]);
  }
  bool any = false;
  for (const validity::FacePair& pair : found.pairs) {
    // The largest collapsed cells of the pair: their children's smaller
    // fans are the likeliest to clear each other.
    double largest = 0.0;
    for (const std::int64_t t : pair) {
      for (const std::uint64_t v : triangles[static_cast<std::size_t>(t)]) {
        if (owner[v] != kKept) largest = std::fmax(largest, simplified.merged[owner[v]].side);
      }
    }
    for (const std::int64_t t : pair) {
      for (const std::uint64_t v : triangles[static_cast<std::size_t>(t)]) {
        if (owner[v] != kKept && simplified.merged[owner[v]].side == largest) {
          any = refused.insert(simplified.merged[owner[v]].address).second || any;
        }
      }
    }
  }
  return any;
}

// refuse_folds on the mesh as projection leaves it: the vertices where
// project_vertices puts them (within their boxes) and the triangles the
// face stage makes there. Before projection, the vertices a crease or corner
// pins down are off it by what solving left; several of them on one edge of
// a solid are then nearly collinear, and a triangle folded back over its
// neighbour in the face beside the edge clears it by only that much.
// Projection puts them on the edge exactly, and the fold passes through.
// When nothing is refused, `simplified` takes the projected vertices (the
// face stage's input, bit for bit) and is marked projected. `polygons` are
// those of its cells (minimal_edge_polygons).
bool refuse_projected_folds(WorkerPool& pool, Field& field, const Octree& tree,
                            SimplifiedCells& simplified, const std::vector<EdgePolygon>& polygons,
                            MergeRefusals& refused) {
  std::vector<Vec3> projected = simplified.positions;
  project_vertices(pool, field, projected, simplified.boxes, tree);
  std::vector<Triangle> triangles = split_polygons(polygons, projected);
  if (refuse_folds(pool, simplified, projected, triangles, refused, nullptr)) return true;
  simplified.positions = std::move(projected);
  simplified.projected = true;
  simplified.triangles = std::move(triangles);
  return false;
}

// The collapse and its checks (but for the fold test on the projected
// vertices), repeated until no collapsed cell is refused, the refusals
// added to `refused`; `triangles` the triangles the result's cells make (at
// the vertices before projection), as its last check made them, and
// `polygons` those they were split from, or both empty when nothing
// collapsed. `tested` is the fold test's memory for these refusals,
// `walked` the face walk's and `stars` the star faults' (both told what
// changed by `changes`).
SimplifiedCells collapse_checked(WorkerPool& pool, Field& field, const Octree& tree,
                                 const std::vector<SurfaceCell>& cells, const VertexSlots& slots,
                                 const std::vector<Qef>& qefs,
                                 const std::vector<VertexSolution>& solutions, double tolerance,
                                 bool oblique, MergeRefusals& refused, CollapseMemo& memo,
                                 TestedTriangles& tested, CellPassChanges& changes,
                                 RememberedPolygons& walked, RememberedStarFaults& stars,
                                 PassedChecks& passed, std::vector<Triangle>& triangles,
                                 std::vector<EdgePolygon>& polygons) {
  triangles.clear();
  polygons.clear();
  // Each pass refuses only collapsed cells, which exposes their children:
  // one more pass per depth at most; the bound is a guard, not a limit.
  for (unsigned pass = 0; pass <= 2u * 64u; ++pass) {
    SimplifiedCells simplified = simplify_cells(tree, cells, slots, qefs, solutions, tolerance,
                                                &refused, oblique, &memo);
    if (simplified.merged.empty()) return simplified;
    // The collapsed cells that passed before keep their reach; the others
    // are sampled.
    std::vector<std::size_t> asked;  // indices into simplified.merged
    for (std::size_t m = 0; m < simplified.merged.size(); ++m) {
      const MergedCell& cell = simplified.merged[m];
      const auto known = passed.cells.find(cell.address);
      if (known == passed.cells.end()) {
        asked.push_back(m);
        continue;
      }
      const double reach = known->second;
      const Vec3& x = checked_at(simplified.positions, cell.vertex);
      simplified.boxes[cell.vertex] = {{x.x - reach, x.y - reach, x.z - reach},
                                       {x.x + reach, x.y + reach, x.z + reach}};
    }
    // Points: every collapsed vertex asked about, then per chord its end and
    // middle.
    const std::size_t merged = asked.size();
    std::vector<Chord> chords;
    std::vector<std::size_t> first;  // chords of asked cell i: first[i] .. first[i + 1]
    first.reserve(merged + 1);
    std::vector<Vec3> points;
    points.reserve(merged);
    for (const std::size_t m : asked) {
      const MergedCell& cell = simplified.merged[m];
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
      const MergedCell& cell = simplified.merged[asked[m]];
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
        simplified.boxes[cell.vertex] = {{x.x - reach, x.y - reach, x.z - reach},
                                         {x.x + reach, x.y + reach, x.z + reach}};
        passed.cells.emplace(cell.address, reach);
      }
      if (!within) {
        refused.insert(cell.address);
        any = true;
      }
    }
    if (!any) {
      changes.advance(simplified, refused);
      polygons = walked.polygons(pool, simplified, changes);
      triangles = split_polygons(polygons, simplified.positions);
      const std::vector<StarFault> faults = stars.faults(polygons, triangles, changes);
      any = refuse_nonmanifold(simplified, triangles, faults, refused);
      any = any ||
            refuse_folds(pool, simplified, simplified.positions, triangles, refused, &tested);
      any = any ||
            refuse_stray_triangles(field, tree, simplified, triangles, tolerance, refused, passed);
    }
    if (!any) return simplified;
    triangles.clear();
    polygons.clear();
  }
  fail("checked simplification did not settle");
}

}  // namespace

SimplifiedCells simplify_within_tolerance(WorkerPool& pool, Field& field, const Octree& tree,
                                          const std::vector<SurfaceCell>& cells,
                                          const VertexSlots& slots, const std::vector<Qef>& qefs,
                                          const std::vector<VertexSolution>& solutions,
                                          double tolerance) {
  std::vector<Triangle> triangles;
  std::vector<EdgePolygon> polygons;
  // The surface's topology before, made when first needed: the leaves as
  // they are give the unsimplified triangles.
  std::optional<SurfaceTopology> before;
  for (const bool oblique : {true, false}) {
    MergeRefusals refused;
    CollapseMemo memo;  // each collapse walks the tree again; what it solves stays the same
    TestedTriangles tested;  // valid while `refused` only grows
    CellPassChanges changes;  // likewise, and what it tells
    RememberedPolygons walked;
    RememberedStarFaults stars;
    PassedChecks passed;  // likewise
    // The fold test on the projected vertices comes last, on a collapse
    // that passes every other check and keeps the topology: it projects
    // every vertex, and the collapse without `oblique` may take its place.
    for (;;) {
      SimplifiedCells simplified = collapse_checked(pool, field, tree, cells, slots, qefs,
                                                    solutions, tolerance, oblique, refused, memo,
                                                    tested, changes, walked, stars, passed,
                                                    triangles, polygons);
      if (simplified.merged.empty()) return simplified;
      if (oblique) {
        if (!before) {
          const SimplifiedCells leaves = simplify_cells(tree, cells, slots, qefs, solutions, 0.0);
          before = surface_topology(minimal_edge_faces(pool, leaves, leaves.positions),
                                    leaves.positions.size());
        }
        if (!(surface_topology(triangles, simplified.positions.size()) == *before)) break;
      }
      if (!refuse_projected_folds(pool, field, tree, simplified, polygons, refused)) {
        return simplified;
      }
    }
  }
  fail("checked simplification did not settle");
}

}  // namespace karvex
