// Zero-area triangles and improperly meeting pairs: the candidate grid and
// the exact pair tests (the cases are described in self_intersections.h).
#include "validity/self_intersections.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "pool/worker_pool.h"
#include "validity/predicates.h"

namespace karvex::validity {

namespace {

// Candidate entries are bounded by this many grid cells per triangle on
// average; a grid that would need more is made coarser.
constexpr double kEntriesPerFace = 16.0;
constexpr int kKept[3][2] = {{1, 2}, {0, 2}, {0, 1}};  // the axes kept when one is dropped

struct Geometry {
  const MeshView& mesh;
  const std::vector<std::int8_t>& axes;

  Point3 point(std::int64_t v) const {
    const double* p = mesh.vertices + 3 * v;
    return {p[0], p[1], p[2]};
  }
  std::array<std::int64_t, 3> face(std::int64_t f) const {
    const std::int64_t* p = mesh.faces + 3 * f;
    return {p[0], p[1], p[2]};
  }
};

Point2 project(const Point3& p, int axis) { return {p[kKept[axis][0]], p[kKept[axis][1]]}; }

bool lex_le(const Point2& u, const Point2& v) { return u[0] < v[0] || (u[0] == v[0] && u[1] <= v[1]); }

bool inside_triangle_2d(const Point2& x, const Point2& a, const Point2& b, const Point2& c) {
  const int s1 = orient2d(a, b, x), s2 = orient2d(b, c, x), s3 = orient2d(c, a, x);
  return (s1 >= 0 && s2 >= 0 && s3 >= 0) || (s1 <= 0 && s2 <= 0 && s3 <= 0);
}

// Closed segments pq and ab, p != q and a != b.
bool segments_meet_2d(const Point2& p, const Point2& q, const Point2& a, const Point2& b) {
  const int o1 = orient2d(p, q, a), o2 = orient2d(p, q, b);
  if (o1 == 0 && o2 == 0) {
    // Collinear: they overlap iff their intervals along the line do, in the
    // lexicographic order of the coordinates (exact comparisons).
    const Point2& pq_min = lex_le(p, q) ? p : q;
    const Point2& pq_max = lex_le(p, q) ? q : p;
    const Point2& ab_min = lex_le(a, b) ? a : b;
    const Point2& ab_max = lex_le(a, b) ? b : a;
    return lex_le(pq_min, ab_max) && lex_le(ab_min, pq_max);
  }
  const int o3 = orient2d(a, b, p), o4 = orient2d(a, b, q);
  return o1 * o2 <= 0 && o3 * o4 <= 0;
}

// Whether the closed segment pq meets the closed triangle abc of nonzero
// area (`axis` from plane_axes).
bool segment_meets_triangle(const Point3& p, const Point3& q, const Point3& a, const Point3& b,
                            const Point3& c, int axis) {
  const int op = orient3d(a, b, c, p);
  const int oq = orient3d(a, b, c, q);
  if (op == 0 && oq == 0) {
    const Point2 P = project(p, axis), Q = project(q, axis);
    const Point2 A = project(a, axis), B = project(b, axis), C = project(c, axis);
    return inside_triangle_2d(P, A, B, C) || inside_triangle_2d(Q, A, B, C) ||
           segments_meet_2d(P, Q, A, B) || segments_meet_2d(P, Q, B, C) || segments_meet_2d(P, Q, C, A);
  }
  if (op * oq > 0) return false;
  const int s1 = orient3d(p, q, a, b);
  const int s2 = orient3d(p, q, b, c);
  const int s3 = orient3d(p, q, c, a);
  return (s1 >= 0 && s2 >= 0 && s3 >= 0) || (s1 <= 0 && s2 <= 0 && s3 <= 0);
}

// The sides (orient3d signs) of `points` to the plane of abc.
template <std::size_t N>
std::array<int, N> sides_of(const Point3& a, const Point3& b, const Point3& c, const std::array<Point3, N>& points) {
  std::array<int, N> sides{};
  for (std::size_t k = 0; k < N; ++k) sides[k] = orient3d(a, b, c, points[k]);
  return sides;
}

// All strictly on one side: nothing of their hull meets the plane (but
// possibly a shared vertex on it).
template <std::size_t N>
bool strictly_aside(const std::array<int, N>& sides) {
  int positive = 0, negative = 0;
  for (int side : sides) {
    positive += side > 0;
    negative += side < 0;
  }
  return positive == static_cast<int>(N) || negative == static_cast<int>(N);
}

template <std::size_t N>
bool all_zero(const std::array<int, N>& sides) {
  for (int side : sides) {
    if (side != 0) return false;
  }
  return true;
}

// Two closed triangles of nonzero area in one plane, projected along `axis`
// (which keeps both nondegenerate): they meet iff no edge of either has the
// other's three corners strictly outside it (two disjoint convex polygons
// are strictly separated by a line along one of their edges).
bool coplanar_triangles_meet(const std::array<Point3, 3>& pi, const std::array<Point3, 3>& pj, int axis) {
  const std::array<Point2, 3> a{project(pi[0], axis), project(pi[1], axis), project(pi[2], axis)};
  const std::array<Point2, 3> b{project(pj[0], axis), project(pj[1], axis), project(pj[2], axis)};
  auto separates = [](const std::array<Point2, 3>& t, const std::array<Point2, 3>& other) {
    const int turn = orient2d(t[0], t[1], t[2]);
    for (int k = 0; k < 3; ++k) {
      const Point2& p = t[k];
      const Point2& q = t[(k + 1) % 3];
      if (orient2d(p, q, other[0]) * turn < 0 && orient2d(p, q, other[1]) * turn < 0 &&
          orient2d(p, q, other[2]) * turn < 0) {
        return true;
      }
    }
    return false;
  };
  return !separates(a, b) && !separates(b, a);
}

// Whether ray v->r lies in the closed wedge of v between rays v->p and v->q
// (an angle strictly between 0 and 180 degrees).
bool in_wedge(const Point2& v, const Point2& p, const Point2& q, const Point2& r) {
  const int turn = orient2d(v, p, q);
  return orient2d(v, p, r) * turn >= 0 && orient2d(v, r, q) * turn >= 0;
}

bool pair_meets(const Geometry& g, std::int64_t i, std::int64_t j) {
  const auto fi = g.face(i), fj = g.face(j);
  bool match[3][3];
  int shared = 0;
  for (int r = 0; r < 3; ++r) {
    for (int s = 0; s < 3; ++s) {
      match[r][s] = fi[r] == fj[s];
      shared += match[r][s];
    }
  }
  if (shared >= 3) return true;
  const std::array<Point3, 3> pi{g.point(fi[0]), g.point(fi[1]), g.point(fi[2])};
  const std::array<Point3, 3> pj{g.point(fj[0]), g.point(fj[1]), g.point(fj[2])};
  const int axis_i = g.axes[i], axis_j = g.axes[j];
  if (shared == 0) {
    const std::array<int, 3> sides_j = sides_of(pi[0], pi[1], pi[2], pj);
    if (strictly_aside(sides_j)) return false;
    // Coplanar (common on flat faces, where candidate pairs abound): one
    // test of the two projected triangles.
    if (all_zero(sides_j)) return coplanar_triangles_meet(pi, pj, axis_i);
    if (strictly_aside(sides_of(pj[0], pj[1], pj[2], pi))) return false;
    for (int k = 0; k < 3; ++k) {
      const int n = (k + 1) % 3;
      if (segment_meets_triangle(pi[k], pi[n], pj[0], pj[1], pj[2], axis_j)) return true;
      if (segment_meets_triangle(pj[k], pj[n], pi[0], pi[1], pi[2], axis_i)) return true;
    }
    return false;
  }
  auto row_matched = [&](int r) { return match[r][0] || match[r][1] || match[r][2]; };
  auto column_matched = [&](int s) { return match[0][s] || match[1][s] || match[2][s]; };
  if (shared == 1) {
    int ci = 0, cj = 0;
    while (!row_matched(ci)) ++ci;
    while (!column_matched(cj)) ++cj;
    const std::array<Point3, 2> opposite_i{pi[(ci + 1) % 3], pi[(ci + 2) % 3]};
    const std::array<Point3, 2> opposite_j{pj[(cj + 1) % 3], pj[(cj + 2) % 3]};
    const std::array<int, 2> sides_j = sides_of(pi[0], pi[1], pi[2], opposite_j);
    if (strictly_aside(sides_j)) return false;
    if (all_zero(sides_j)) {
      // Coplanar: near v the triangles are their wedges at v, and two such
      // wedges share more than v iff a bounding ray of one lies in the other.
      const Point2 v = project(pi[ci], axis_i);
      const Point2 a1 = project(opposite_i[0], axis_i), a2 = project(opposite_i[1], axis_i);
      const Point2 b1 = project(opposite_j[0], axis_i), b2 = project(opposite_j[1], axis_i);
      return in_wedge(v, a1, a2, b1) || in_wedge(v, a1, a2, b2) || in_wedge(v, b1, b2, a1) ||
             in_wedge(v, b1, b2, a2);
    }
    if (strictly_aside(sides_of(pj[0], pj[1], pj[2], opposite_i))) return false;
    return segment_meets_triangle(opposite_i[0], opposite_i[1], pj[0], pj[1], pj[2], axis_j) ||
           segment_meets_triangle(opposite_j[0], opposite_j[1], pi[0], pi[1], pi[2], axis_i);
  }
  // A shared edge: coplanar with the third corners on the same side.
  int ai = 0, aj = 0;
  while (row_matched(ai)) ++ai;
  while (column_matched(aj)) ++aj;
  const Point3& u = pi[(ai + 1) % 3];
  const Point3& w = pi[(ai + 2) % 3];
  const Point3& c = pi[ai];
  const Point3& d = pj[aj];
  const int side_c = orient2d(project(u, axis_i), project(w, axis_i), project(c, axis_i));
  const int side_d = orient2d(project(u, axis_i), project(w, axis_i), project(d, axis_i));
  return side_c * side_d >= 0 && orient3d(u, w, c, d) == 0;
}

struct Box {
  Point3 lo, hi;
};

Box box_of(const Geometry& g, std::int64_t f) {
  const auto face = g.face(f);
  Box box{g.point(face[0]), g.point(face[0])};
  for (int k = 1; k < 3; ++k) {
    const Point3 p = g.point(face[k]);
    for (int a = 0; a < 3; ++a) {
      box.lo[a] = std::min(box.lo[a], p[a]);
      box.hi[a] = std::max(box.hi[a], p[a]);
    }
  }
  return box;
}

// The uniform grid over the usable triangles' boxes.
struct Grid {
  Point3 origin{};
  double size = 1.0;
  std::array<std::uint64_t, 3> dims{1, 1, 1};

  // Monotone rounding: boxes sharing a point share that point's cell.
  std::int64_t cell(double x, int axis) const {
    return static_cast<std::int64_t>(std::floor((x - origin[axis]) / size));
  }
  std::uint64_t key(const std::array<std::int64_t, 3>& c) const {
    return (static_cast<std::uint64_t>(c[0]) * dims[1] + static_cast<std::uint64_t>(c[1])) * dims[2] +
           static_cast<std::uint64_t>(c[2]);
  }
};

Grid choose_grid(const std::vector<Box>& boxes) {
  Grid grid;
  Point3 top = boxes[0].hi;
  grid.origin = boxes[0].lo;
  std::vector<double> sizes(boxes.size());
  for (std::size_t n = 0; n < boxes.size(); ++n) {
    double largest = 0.0;
    for (int a = 0; a < 3; ++a) {
      grid.origin[a] = std::min(grid.origin[a], boxes[n].lo[a]);
      top[a] = std::max(top[a], boxes[n].hi[a]);
      largest = std::max(largest, boxes[n].hi[a] - boxes[n].lo[a]);
    }
    sizes[n] = largest;
  }
  double extent = 0.0;
  for (int a = 0; a < 3; ++a) extent = std::max(extent, top[a] - grid.origin[a]);
  std::nth_element(sizes.begin(), sizes.begin() + sizes.size() / 2, sizes.end());
  grid.size = std::max({sizes[sizes.size() / 2], std::ldexp(extent, -20), std::numeric_limits<double>::min()});
  while (true) {
    double entries = 0.0;
    for (const Box& box : boxes) {
      double cells = 1.0;
      for (int a = 0; a < 3; ++a) {
        cells *= static_cast<double>(grid.cell(box.hi[a], a) - grid.cell(box.lo[a], a) + 1);
      }
      entries += cells;
    }
    if (entries <= kEntriesPerFace * static_cast<double>(boxes.size()) || grid.size >= extent) break;
    grid.size *= 2.0;
  }
  for (int a = 0; a < 3; ++a) grid.dims[a] = static_cast<std::uint64_t>(grid.cell(top[a], a)) + 1;
  return grid;
}

// Calls visit(key) for the grid cells from `first` to `last` (inclusive).
template <typename Visit>
void for_each_key(const Grid& grid, const std::array<std::int64_t, 3>& first, const std::array<std::int64_t, 3>& last,
                  Visit&& visit) {
  std::array<std::int64_t, 3> c;
  for (c[0] = first[0]; c[0] <= last[0]; ++c[0]) {
    for (c[1] = first[1]; c[1] <= last[1]; ++c[1]) {
      for (c[2] = first[2]; c[2] <= last[2]; ++c[2]) visit(grid.key(c));
    }
  }
}

// A set of grid cells: a flag per cell where the grid is not much larger than
// `entries` (then a flag per cell costs about as much as the entries), else
// sorted keys.
class CellSet {
 public:
  CellSet(const Grid& grid, std::size_t entries) {
    const double cells = static_cast<double>(grid.dims[0]) * static_cast<double>(grid.dims[1]) *
                         static_cast<double>(grid.dims[2]);
    if (cells <= 8.0 * static_cast<double>(entries) + 4096.0) flags_.assign(static_cast<std::size_t>(cells), 0);
  }
  void add(std::uint64_t key) {
    if (flags_.empty()) {
      keys_.push_back(key);
    } else {
      flags_[key] = 1;
    }
  }
  void seal() {
    std::sort(keys_.begin(), keys_.end());
    keys_.erase(std::unique(keys_.begin(), keys_.end()), keys_.end());
  }
  bool contains(std::uint64_t key) const {
    return flags_.empty() ? std::binary_search(keys_.begin(), keys_.end(), key) : flags_[key] != 0;
  }

 private:
  std::vector<std::uint8_t> flags_;
  std::vector<std::uint64_t> keys_;
};

// The triangles of each occupied grid cell: `keys` of the occupied cells in
// increasing order, their triangles (positions in ids, increasing)
// items[starts[c], starts[c + 1]).
struct Buckets {
  std::vector<std::uint64_t> keys;
  std::vector<std::size_t> starts;
  std::vector<std::uint32_t> items;
};

// Boxes spanning cells firsts[n] to lasts[n] (inclusive), `entry_count`
// cells in all. A counting sort over the grid's cells when the grid is not
// much larger than the entries (the usual case: its cell is about a
// triangle's size), else a sort of (key, triangle) pairs; both give the same
// buckets. With `only`, the cells outside it are left out.
Buckets bucket_boxes(const Grid& grid, const std::vector<std::array<std::int64_t, 3>>& firsts,
                     const std::vector<std::array<std::int64_t, 3>>& lasts, std::size_t entry_count,
                     const CellSet* only) {
  Buckets buckets;
  auto for_each_cell = [&](std::size_t n, auto&& visit) { for_each_key(grid, firsts[n], lasts[n], visit); };
  const double cell_count = static_cast<double>(grid.dims[0]) * static_cast<double>(grid.dims[1]) *
                            static_cast<double>(grid.dims[2]);
  if (only == nullptr && cell_count <= 4.0 * static_cast<double>(entry_count) + 1024.0) {
    buckets.items.resize(entry_count);
    std::vector<std::size_t> offset(static_cast<std::size_t>(cell_count) + 1, 0);
    for (std::size_t n = 0; n < firsts.size(); ++n) for_each_cell(n, [&](std::uint64_t key) { ++offset[key + 1]; });
    for (std::size_t k = 0; k + 1 < offset.size(); ++k) {
      if (offset[k + 1] != 0) {
        buckets.keys.push_back(k);
        buckets.starts.push_back(offset[k]);
      }
      offset[k + 1] += offset[k];
    }
    buckets.starts.push_back(entry_count);
    for (std::size_t n = 0; n < firsts.size(); ++n) {
      for_each_cell(n, [&](std::uint64_t key) { buckets.items[offset[key]++] = static_cast<std::uint32_t>(n); });
    }
    return buckets;
  }
  std::vector<std::pair<std::uint64_t, std::uint32_t>> entries;
  if (only == nullptr) entries.reserve(entry_count);
  for (std::size_t n = 0; n < firsts.size(); ++n) {
    for_each_cell(n, [&](std::uint64_t key) {
      if (only == nullptr || only->contains(key)) {
        entries.emplace_back(key, static_cast<std::uint32_t>(n));
      }
    });
  }
  std::sort(entries.begin(), entries.end());
  buckets.items.resize(entries.size());
  for (std::size_t e = 0; e < entries.size(); ++e) {
    if (e == 0 || entries[e].first != entries[e - 1].first) {
      buckets.keys.push_back(entries[e].first);
      buckets.starts.push_back(e);
    }
    buckets.items[e] = entries[e].second;
  }
  buckets.starts.push_back(entries.size());
  return buckets;
}

}  // namespace

bool has_repeated_index(const MeshView& mesh, std::size_t face) {
  const std::int64_t* f = mesh.faces + 3 * face;
  return f[0] == f[1] || f[1] == f[2] || f[2] == f[0];
}

std::int8_t plane_axis(const MeshView& mesh, std::size_t f) {
  if (has_repeated_index(mesh, f)) return -1;
  const std::vector<std::int8_t> none;
  const Geometry g{mesh, none};
  const auto face = g.face(static_cast<std::int64_t>(f));
  const Point3 a = g.point(face[0]), b = g.point(face[1]), c = g.point(face[2]);
  const double u[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]};
  const double v[3] = {c[0] - a[0], c[1] - a[1], c[2] - a[2]};
  const double normal[3] = {std::fabs(u[1] * v[2] - u[2] * v[1]), std::fabs(u[2] * v[0] - u[0] * v[2]),
                            std::fabs(u[0] * v[1] - u[1] * v[0])};
  int order[3] = {0, 1, 2};
  std::stable_sort(order, order + 3, [&](int x, int y) { return normal[x] > normal[y]; });
  for (int axis : order) {
    if (orient2d(project(a, axis), project(b, axis), project(c, axis)) != 0) return static_cast<std::int8_t>(axis);
  }
  return -1;
}

std::vector<std::int8_t> plane_axes(const MeshView& mesh, WorkerPool& pool) {
  return parallel_map<std::int8_t>(pool, mesh.face_count, [&](std::size_t f) { return plane_axis(mesh, f); });
}

bool triangles_meet(const MeshView& mesh, const std::vector<std::int8_t>& axes, std::int64_t i, std::int64_t j) {
  const Geometry g{mesh, axes};
  return pair_meets(g, i, j);
}

SelfIntersections find_self_intersections(const MeshView& mesh, const std::uint8_t* subset, WorkerPool& pool) {
  SelfIntersections result;
  const std::vector<std::int8_t> axes = plane_axes(mesh, pool);
  result.zero_area.resize(mesh.face_count);
  std::vector<std::int64_t> ids;
  for (std::size_t f = 0; f < mesh.face_count; ++f) {
    result.zero_area[f] = axes[f] < 0 && !has_repeated_index(mesh, f);
    if (axes[f] >= 0) ids.push_back(static_cast<std::int64_t>(f));
  }
  if (ids.size() < 2) return result;
  const Geometry g{mesh, axes};
  std::vector<Box> boxes(ids.size());
  for (std::size_t n = 0; n < ids.size(); ++n) boxes[n] = box_of(g, ids[n]);
  const Grid grid = choose_grid(boxes);

  std::vector<std::array<std::int64_t, 3>> firsts(ids.size()), lasts(ids.size());
  std::size_t entry_count = 0;
  for (std::size_t n = 0; n < ids.size(); ++n) {
    std::size_t cells = 1;
    for (int a = 0; a < 3; ++a) {
      firsts[n][a] = grid.cell(boxes[n].lo[a], a);
      lasts[n][a] = grid.cell(boxes[n].hi[a], a);
      cells *= static_cast<std::size_t>(lasts[n][a] - firsts[n][a] + 1);
    }
    entry_count += cells;
  }
  auto marked = [&](std::uint32_t n) { return subset == nullptr || subset[ids[n]] != 0; };
  // With a subset, only the cells its triangles touch can hold a pair to
  // test (a pair is tested in a cell both boxes touch).
  CellSet subset_cells(grid, entry_count);
  if (subset != nullptr) {
    for (std::size_t n = 0; n < ids.size(); ++n) {
      if (!marked(static_cast<std::uint32_t>(n))) continue;
      for_each_key(grid, firsts[n], lasts[n], [&](std::uint64_t key) { subset_cells.add(key); });
    }
    subset_cells.seal();
  }
  const Buckets buckets =
      bucket_boxes(grid, firsts, lasts, entry_count, subset == nullptr ? nullptr : &subset_cells);
  const std::vector<std::uint32_t>& items = buckets.items;
  const std::vector<std::size_t>& starts = buckets.starts;

  result.pairs = parallel_concat<FacePair>(
      pool, starts.size() - 1,
      [&](std::size_t cell, std::vector<FacePair>& out) {
        const std::size_t begin = starts[cell], end = starts[cell + 1];
        const std::uint64_t key = buckets.keys[cell];
        for (std::size_t l = begin; l < end; ++l) {
          const std::uint32_t a = items[l];
          for (std::size_t r = l + 1; r < end; ++r) {
            const std::uint32_t b = items[r];
            if (!marked(a) && !marked(b)) continue;
            const Box& x = boxes[a];
            const Box& y = boxes[b];
            if (!(x.lo[0] <= y.hi[0] && y.lo[0] <= x.hi[0] && x.lo[1] <= y.hi[1] && y.lo[1] <= x.hi[1] &&
                  x.lo[2] <= y.hi[2] && y.lo[2] <= x.hi[2])) {
              continue;
            }
            // Overlapping boxes share the lowest corner of their
            // intersection; the pair is tested in that corner's cell only.
            // (Rounding to cells is monotone, so that corner's cell is the
            // larger of the two boxes' first cells on each axis.)
            const std::array<std::int64_t, 3> corner{std::max(firsts[a][0], firsts[b][0]),
                                                     std::max(firsts[a][1], firsts[b][1]),
                                                     std::max(firsts[a][2], firsts[b][2])};
            if (grid.key(corner) != key) continue;
            const std::int64_t i = std::min(ids[a], ids[b]), j = std::max(ids[a], ids[b]);
            if (pair_meets(g, i, j)) out.push_back({i, j});
          }
        }
      });
  std::sort(result.pairs.begin(), result.pairs.end());
  return result;
}

}  // namespace karvex::validity
