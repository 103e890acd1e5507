// Zero-area triangles and improperly meeting pairs: the candidate columns
// and the exact pair tests (the cases are described in self_intersections.h).
#include "validity/self_intersections.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>

#include "pool/range_parts.h"
#include "pool/worker_pool.h"
#include "validity/column_lanes.h"
#include "validity/embedded_stars.h"
#include "validity/high_half_sort.h"
#include "validity/predicates.h"

namespace karvex::validity {

namespace {

// Each usable triangle's box spans at most this many columns on average;
// columns that would need more are made wider.
constexpr double kEntriesPerFace = 6.0;
// Columns start this many times the median triangle's width: a triangle
// then lies in fewer columns (its pairs with its neighbours are passed over
// in fewer of them), while a column holds few enough triangles that those
// starting below one's top in z stay few. (The scan passes over four
// triangles a step, which favours wider columns than a scan of one at a
// time: on a smooth mesh of 2.7 million triangles, 2.5 took 3% fewer
// instructions than 2 and than 3.) The median is taken over every
// triangle whose number is a multiple of a stride, about kSampledWidths of
// them: it only sizes the columns, never decides a pair.
constexpr double kColumnWidths = 2.5;
constexpr std::size_t kSampledWidths = 65536;
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
  // With kAxisLater in `axes`: the same table, written as the axes are
  // worked out, so that each is worked out about once.
  std::int8_t* later = nullptr;

  int axis(std::int64_t f) const;
};

// In a search's axes: a triangle of nonzero area whose axis is worked out
// only if a pair test asks for it (see search).
constexpr std::int8_t kAxisLater = 3;

Point2 project(const Point3& p, int axis) { return {p[kKept[axis][0]], p[kKept[axis][1]]}; }

bool lex_le(const Point2& u, const Point2& v) { return u[0] < v[0] || (u[0] == v[0] && u[1] <= v[1]); }

bool inside_triangle_2d(const Point2& x, const Point2& a, const Point2& b, const Point2& c) {
  const int s1 = orient2d_inline(a, b, x), s2 = orient2d_inline(b, c, x), s3 = orient2d_inline(c, a, x);
  return (s1 >= 0 && s2 >= 0 && s3 >= 0) || (s1 <= 0 && s2 <= 0 && s3 <= 0);
}

// Closed segments pq and ab, p != q and a != b.
bool segments_meet_2d(const Point2& p, const Point2& q, const Point2& a, const Point2& b) {
  const int o1 = orient2d_inline(p, q, a), o2 = orient2d_inline(p, q, b);
  if (o1 == 0 && o2 == 0) {
    // Collinear: they overlap iff their intervals along the line do, in the
    // lexicographic order of the coordinates (exact comparisons).
    const Point2& pq_min = lex_le(p, q) ? p : q;
    const Point2& pq_max = lex_le(p, q) ? q : p;
    const Point2& ab_min = lex_le(a, b) ? a : b;
    const Point2& ab_max = lex_le(a, b) ? b : a;
    return lex_le(pq_min, ab_max) && lex_le(ab_min, pq_max);
  }
  const int o3 = orient2d_inline(a, b, p), o4 = orient2d_inline(a, b, q);
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

// The same from the floating-point filter alone: false where it cannot tell.
template <std::size_t N>
bool certainly_aside(const Point3& a, const Point3& b, const Point3& c, const std::array<Point3, N>& points) {
  int positive = 0, negative = 0;
  for (const Point3& p : points) {
    int side = 0;
    if (!orient3d_filtered(a, b, c, p, side)) return false;
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

// Whether the projections along `axis` of two closed triangles meet, `axis`
// keeping the first nondegenerate: iff no edge of either has the other's
// three corners strictly outside it (two disjoint convex polygons are
// strictly separated by a line along one of their edges; a degenerate second
// projection separates nothing, which only errs towards "meet"). For two
// triangles in one plane that `axis` keeps nondegenerate this decides
// whether they meet; for any two, projections apart mean triangles apart.
bool projections_meet(const std::array<Point3, 3>& pi, const std::array<Point3, 3>& pj, int axis) {
  const std::array<Point2, 3> a{project(pi[0], axis), project(pi[1], axis), project(pi[2], axis)};
  const std::array<Point2, 3> b{project(pj[0], axis), project(pj[1], axis), project(pj[2], axis)};
  auto separates = [](const std::array<Point2, 3>& t, const std::array<Point2, 3>& other) {
    const int turn = orient2d_inline(t[0], t[1], t[2]);
    for (int k = 0; k < 3; ++k) {
      const Point2& p = t[k];
      const Point2& q = t[(k + 1) % 3];
      if (orient2d_inline(p, q, other[0]) * turn < 0 && orient2d_inline(p, q, other[1]) * turn < 0 &&
          orient2d_inline(p, q, other[2]) * turn < 0) {
        return true;
      }
    }
    return false;
  };
  return !separates(a, b) && !separates(b, a);
}

// Whether the wedges at v of triangles (v, a1, a2) and (v, b1, b2), projected
// along `axis`, share more than v: iff a bounding ray of one lies in the
// other, closed wedge (each an angle strictly between 0 and 180 degrees; a
// degenerate wedge holds every ray). For coplanar triangles that `axis`
// keeps nondegenerate this decides whether they meet beyond v; for any two
// whose first `axis` keeps
// nondegenerate, wedges meeting only at v mean triangles meeting only at v
// (the projection is one-to-one on the first triangle, so a common point
// beyond v would project to a common point beyond v's image).
bool wedges_meet(const Point3& v3, const std::array<Point3, 2>& a, const std::array<Point3, 2>& b, int axis) {
  const Point2 v = project(v3, axis);
  const Point2 a1 = project(a[0], axis), a2 = project(a[1], axis);
  const Point2 b1 = project(b[0], axis), b2 = project(b[1], axis);
  const int turn_a = orient2d_inline(v, a1, a2), turn_b = orient2d_inline(v, b1, b2);
  if (turn_a == 0 || turn_b == 0) return true;  // a degenerate wedge holds every ray
  auto holds = [&](const Point2& p, const Point2& q, int turn, const Point2& r) {
    return orient2d_inline(v, p, r) * turn >= 0 && orient2d_inline(v, r, q) * turn >= 0;
  };
  return holds(a1, a2, turn_a, b1) || holds(a1, a2, turn_a, b2) || holds(b1, b2, turn_b, a1) ||
         holds(b1, b2, turn_b, a2);
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
  if (shared == 0) {
    // Cheap verdicts first, which settle most neighbours: j certainly on one
    // side of i's plane by the filter alone, or the two apart in projection.
    // Nearly coplanar pairs (flat faces) would otherwise take the exact path.
    // The axes are asked for only past the first, which settles most pairs
    // without them (a certified triangle's is worked out on first use).
    if (certainly_aside(pi[0], pi[1], pi[2], pj)) return false;
    const int axis_i = g.axis(i);
    if (!projections_meet(pi, pj, axis_i)) return false;
    const std::array<int, 3> sides_j = sides_of(pi[0], pi[1], pi[2], pj);
    if (strictly_aside(sides_j)) return false;
    // Coplanar (common on flat faces, where candidate pairs abound): one
    // test of the two projected triangles.
    if (all_zero(sides_j)) return projections_meet(pi, pj, axis_i);
    if (strictly_aside(sides_of(pj[0], pj[1], pj[2], pi))) return false;
    const int axis_j = g.axis(j);
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
    // Cheap verdicts first, as above.
    if (certainly_aside(pi[0], pi[1], pi[2], opposite_j)) return false;
    const int axis_i = g.axis(i);
    if (!wedges_meet(pi[ci], opposite_i, opposite_j, axis_i)) return false;
    const std::array<int, 2> sides_j = sides_of(pi[0], pi[1], pi[2], opposite_j);
    if (strictly_aside(sides_j)) return false;
    // Coplanar: near v the triangles are their wedges at v, which meet
    // beyond v (wedges_meet above said so).
    if (all_zero(sides_j)) return true;
    if (strictly_aside(sides_of(pj[0], pj[1], pj[2], opposite_i))) return false;
    const int axis_j = g.axis(j);
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
  const int axis_i = g.axis(i);
  const int side_c = orient2d(project(u, axis_i), project(w, axis_i), project(c, axis_i));
  const int side_d = orient2d(project(u, axis_i), project(w, axis_i), project(d, axis_i));
  return side_c * side_d >= 0 && orient3d(u, w, c, d) == 0;
}

// A triangle's bounding box in single precision, relative to a centre (the
// middle of the mesh's vertices' box, for precision): each bound is
// float(x - centre), clamped to the finite floats. That map is monotone
// (rounding to nearest never reverses an order), so boxes that overlap keep
// overlapping, and everything the sweep decides from boxes (slices, columns,
// order in z, overlap, which column sees a pair) is decided on these boxes
// alone, consistently: candidates can only grow, and the exact tests decide.
// Half the bytes of double boxes for the sweep to move.
struct Box {
  std::array<float, 3> lo, hi;
};
static_assert(sizeof(Box) == 24);

float single(double x) {
  constexpr double kLargest = std::numeric_limits<float>::max();
  return static_cast<float>(std::clamp(x, -kLargest, kLargest));
}

// Every triangle's box, computed where it is read rather than kept: a table
// of them would be 24 bytes a triangle, as much as the mesh's faces, for
// the whole test. What is kept is each vertex mapped as above (12 bytes a
// vertex, about half that a triangle): since the map is monotone, the least
// and largest of a triangle's mapped corners are the mapped least and
// largest coordinates: the same values as mapping the box of the exact
// corners (a zero's sign aside, which no comparison sees), at a fraction of
// the reads and arithmetic.
struct Boxes {
  const MeshView& mesh;
  std::vector<std::array<float, 3>> points;

  Boxes(const MeshView& mesh, const Point3& centre, WorkerPool& pool)
      : mesh(mesh), points(parallel_map<std::array<float, 3>>(pool, mesh.vertex_count, [&](std::size_t v) {
          const double* p = mesh.vertices + 3 * v;
          return std::array<float, 3>{single(p[0] - centre[0]), single(p[1] - centre[1]), single(p[2] - centre[2])};
        })) {}

  std::size_t size() const { return mesh.face_count; }
  // Asks for the mapped corners of a triangle with these corners early.
  void prefetch(const std::array<std::int64_t, 3>& corners) const {
    for (const std::int64_t v : corners) __builtin_prefetch(points.data() + v);
  }
  Box operator[](std::size_t f) const {
    const std::int64_t* corners = mesh.faces + 3 * f;
    const auto& a = points[static_cast<std::size_t>(corners[0])];
    const auto& b = points[static_cast<std::size_t>(corners[1])];
    const auto& c = points[static_cast<std::size_t>(corners[2])];
    Box box;
    for (int k = 0; k < 3; ++k) {
      box.lo[k] = std::min(std::min(a[k], b[k]), c[k]);
      box.hi[k] = std::max(std::max(a[k], b[k]), c[k]);
    }
    return box;
  }
  // The box's bounds along one axis alone, the same bits as in the box:
  // for the passes that read no other.
  std::array<float, 2> along(std::size_t f, int axis) const {
    const std::int64_t* corners = mesh.faces + 3 * f;
    const float a = points[static_cast<std::size_t>(corners[0])][axis];
    const float b = points[static_cast<std::size_t>(corners[1])][axis];
    const float c = points[static_cast<std::size_t>(corners[2])][axis];
    return {std::min(std::min(a, b), c), std::max(std::max(a, b), c)};
  }
};

// The vertices' bounding box (of every vertex, used or not).
struct VertexBox {
  Point3 lo{0.0, 0.0, 0.0}, hi{0.0, 0.0, 0.0};

  // The middle (halves summed, which cannot overflow).
  Point3 centre() const { return {0.5 * lo[0] + 0.5 * hi[0], 0.5 * lo[1] + 0.5 * hi[1], 0.5 * lo[2] + 0.5 * hi[2]}; }
};

VertexBox vertex_box(const MeshView& mesh) {
  VertexBox box;
  if (mesh.vertex_count > 0) {
    for (int a = 0; a < 3; ++a) box.lo[a] = box.hi[a] = mesh.vertices[a];
  }
  for (std::size_t v = 0; v < mesh.vertex_count; ++v) {
    for (int a = 0; a < 3; ++a) {
      box.lo[a] = std::min(box.lo[a], mesh.vertices[3 * v + a]);
      box.hi[a] = std::max(box.hi[a], mesh.vertices[3 * v + a]);
    }
  }
  return box;
}

// Square columns over x and y: cells of `size` from `origin`, `dims` per axis
// up to `top`, the boxes' highest bounds; `extent` is the larger side.
struct Columns {
  std::array<double, 2> origin{};
  double size = 1.0;
  double per_size = 1.0;  // 1 / size, rounded: what cell() multiplies by
  std::array<std::int64_t, 2> dims{1, 1};
  std::array<double, 2> top{};
  double extent = 0.0;

  // Cells of `width` (at least the smallest normal double, so that its
  // reciprocal is finite).
  void set_size(double width) {
    size = width;
    per_size = 1.0 / width;
    for (int a = 0; a < 2; ++a) dims[a] = cell(top[a], a) + 1;
  }
  // Twice as wide, while narrower than the extent; whether they changed.
  bool coarsen() {
    if (size >= extent) return false;
    set_size(2.0 * size);
    return true;
  }

  // Monotone rounding: boxes sharing a point share that point's column.
  // The offset times the rounded reciprocal of the width (a product by a
  // positive constant, rounded, is monotone, as the quotient is, and costs
  // a fraction of a division: the set-up rounds every box and the sweep two
  // points for every pair it keeps). Which column is whose only needs to be
  // the same wherever a point is rounded, never the exact quotient. Then
  // the floor, rounded towards zero and stepped down where that went up
  // (the same value as std::floor for every finite product below 2^63,
  // without a call into the maths library). The products stay below about
  // 2^20: columns are at least 2^-20 of the extent.
  std::int64_t cell(double x, int axis) const {
    const double q = (x - origin[axis]) * per_size;
    const auto towards_zero = static_cast<std::int64_t>(q);
    return towards_zero - static_cast<std::int64_t>(q < static_cast<double>(towards_zero));
  }
  std::int64_t first(const Box& box, int axis) const { return cell(box.lo[axis], axis); }
  std::int64_t last(const Box& box, int axis) const { return cell(box.hi[axis], axis); }
};

// The triangles cut into contiguous chunks for the set-up's loops on the
// pool: at least kMinChunk triangles each (waking a worker costs more than
// less work) and at most kMaxChunks of them (so that tables per chunk and
// slice stay small).
struct FaceChunks {
  static constexpr std::size_t kMinChunk = 16384;
  static constexpr std::size_t kMaxChunks = 64;
  std::size_t size = kMinChunk;
  std::size_t count = 0;
  std::size_t faces = 0;

  explicit FaceChunks(std::size_t face_count) : faces(face_count) {
    size = std::max(kMinChunk, (face_count + kMaxChunks - 1) / kMaxChunks);
    count = (face_count + size - 1) / size;
  }
  std::size_t begin(std::size_t c) const { return c * size; }
  std::size_t end(std::size_t c) const { return std::min(faces, (c + 1) * size); }
};

// Columns kColumnWidths times the median usable triangle's width in x and y
// (over a strided sample), over the box of every vertex (`lo` and `hi`, as
// the boxes map them): it holds every triangle's box, and costs no pass over
// the triangles. The usable triangles are those with axes[f] >= 0, at least
// one; slice_boxes makes the columns coarser where they would be too many.
Columns choose_columns(const Boxes& boxes, const std::vector<std::int8_t>& axes, const std::array<float, 3>& lo,
                       const std::array<float, 3>& hi) {
  Columns columns;
  for (int a = 0; a < 2; ++a) columns.origin[a] = lo[a];
  const double extent =
      std::max(static_cast<double>(hi[0]) - columns.origin[0], static_cast<double>(hi[1]) - columns.origin[1]);
  // The widths in single precision: the median only sizes the columns. No
  // usable triangle among the sampled ones (a mesh of mostly unusable
  // ones): every usable one.
  const std::size_t stride = std::max<std::size_t>(1, boxes.size() / kSampledWidths);
  std::vector<float> widths;
  auto sample = [&](std::size_t step) {
    for (std::size_t f = 0; f < boxes.size(); f += step) {
      if (axes[f] < 0) continue;
      const Box box = boxes[f];
      widths.push_back(static_cast<float>(
          std::max(static_cast<double>(box.hi[0]) - box.lo[0], static_cast<double>(box.hi[1]) - box.lo[1])));
    }
  };
  sample(stride);
  if (widths.empty()) sample(1);
  std::nth_element(widths.begin(), widths.begin() + static_cast<std::ptrdiff_t>(widths.size() / 2), widths.end());
  columns.extent = extent;
  for (int a = 0; a < 2; ++a) columns.top[a] = hi[a];
  columns.set_size(std::max({kColumnWidths * static_cast<double>(widths[widths.size() / 2]), std::ldexp(extent, -20),
                             std::numeric_limits<double>::min()}));
  return columns;
}

// The usable triangles of each slice of columns at one x: slice x holds
// items[starts[x], starts[x + 1]), in increasing number.
struct Slices {
  std::vector<std::size_t> starts;
  std::unique_ptr<std::uint32_t[]> items;  // written in full before it is read
};

// A box's lowest z as an unsigned key in the same order (the float's bits
// made monotone; -0 taken as +0, so equal values stay ties).
std::uint32_t z_key(float z) {
  z += 0.0f;
  std::uint32_t bits = 0;
  std::memcpy(&bits, &z, sizeof bits);
  return (bits & 0x80000000u) != 0 ? ~bits : bits | 0x80000000u;
}

// The usable triangles (axes[f] >= 0) dealt into their slices by a counting
// sort over the boxes in triangle order, chunk by chunk; the sweep orders
// each slice by (lowest z, number) on its own. This needs only the slices'
// list (4 bytes per entry): no list of the whole mesh is sorted, and a
// slice's sort stays in cache. The columns are made coarser first where
// the boxes would span more than kEntriesPerFace of them each on average.
Slices slice_boxes(Columns& columns, const Boxes& boxes, const std::vector<std::int8_t>& axes, std::size_t usable,
                   WorkerPool& pool) {
  Slices slices;
  const FaceChunks chunks(boxes.size());
  // cursor[c * dims + x]: first the entries that chunk c deals into slice x,
  // then where the first of them goes: after the slices before x and the
  // chunks before c in x, so each slice lists its triangles in increasing
  // number, as one pass over the triangles in order would.
  std::vector<std::size_t> cursor;
  // The counting pass also sums the columns each box spans (whole numbers
  // summed per chunk, then the chunks: exact, so the same total on any
  // number of workers); while they pass kEntriesPerFace per usable
  // triangle, the columns are made twice as wide and counted again.
  while (true) {
    const auto dims = static_cast<std::size_t>(columns.dims[0]);
    cursor.assign(chunks.count * dims, 0);
    const std::vector<double> spans = parallel_map<double>(
        pool, chunks.count,
        [&](std::size_t c) {
          std::size_t* count = cursor.data() + c * dims;
          double sum = 0.0;
          for (std::size_t f = chunks.begin(c); f < chunks.end(c); ++f) {
            if (axes[f] < 0) continue;
            const auto [x_lo, x_hi] = boxes.along(f, 0);
            const auto [y_lo, y_hi] = boxes.along(f, 1);
            const std::int64_t first = columns.cell(x_lo, 0), last = columns.cell(x_hi, 0);
            for (std::int64_t x = first; x <= last; ++x) ++count[static_cast<std::size_t>(x)];
            sum += static_cast<double>(last - first + 1) *
                   static_cast<double>(columns.cell(y_hi, 1) - columns.cell(y_lo, 1) + 1);
          }
          return sum;
        },
        1);
    double entries = 0.0;
    for (double span : spans) entries += span;
    if (entries <= kEntriesPerFace * static_cast<double>(usable) || !columns.coarsen()) break;
  }
  const auto dims = static_cast<std::size_t>(columns.dims[0]);
  slices.starts.assign(dims + 1, 0);
  std::size_t offset = 0;
  for (std::size_t x = 0; x < dims; ++x) {
    slices.starts[x] = offset;
    for (std::size_t c = 0; c < chunks.count; ++c) offset += std::exchange(cursor[c * dims + x], offset);
  }
  slices.starts[dims] = offset;
  slices.items = std::make_unique_for_overwrite<std::uint32_t[]>(offset);
  parallel_for(
      pool, chunks.count,
      [&](std::size_t c) {
        std::size_t* next = cursor.data() + c * dims;
        for (std::size_t f = chunks.begin(c); f < chunks.end(c); ++f) {
          if (axes[f] < 0) continue;
          const auto [lo, hi] = boxes.along(f, 0);
          const std::int64_t last = columns.cell(hi, 0);
          for (std::int64_t x = columns.cell(lo, 0); x <= last; ++x) {
            slices.items[next[static_cast<std::size_t>(x)]++] = static_cast<std::uint32_t>(f);
          }
        }
      },
      1);
  cursor = {};
  return slices;
}

// A triangle of a slice, with what the sweep reads of it, so that the sweep
// walks memory in order: its box, its number and its corners, each with
// kUncertified set unless embedded_stars certified it (then a pair sharing
// that corner needs no test).
constexpr std::uint32_t kUncertified = ColumnLanes::kUnshared;
struct Entry {
  Box box;
  std::uint32_t f;
  std::array<std::uint32_t, 3> corners;
};
static_assert(sizeof(Entry) == 40);

// Each vertex's code in Entry::corners: its number when certified, else
// kUncertified (for every vertex of a mesh too large for the code).
struct CornerCodes {
  const std::vector<std::uint8_t>& stars;
  bool usable;

  std::uint32_t code(std::int64_t v) const {
    return usable && stars[static_cast<std::size_t>(v)] ? static_cast<std::uint32_t>(v) : kUncertified;
  }
  void prefetch(const std::array<std::int64_t, 3>& corners) const {
    if (!usable) return;
    for (const std::int64_t v : corners) __builtin_prefetch(stars.data() + v);
  }
};

// How far ahead a slice's entries ask for what they read: its triangles are
// spread over the whole mesh, each reading its row of faces, then its
// corners' mapped points and certificates, all cache misses, which
// hardware cannot foresee. A row is asked for kRowsAhead triangles on, and
// its corners (the row at hand by then) kCornersAhead on.
constexpr std::size_t kRowsAhead = 16;
constexpr std::size_t kCornersAhead = 8;

// Space for one slice's entries that only grows: a range of slices reuses
// it, written before it is read, so it is neither cleared nor copied.
template <typename T>
class Scratch {
 public:
  T* at_least(std::size_t n) {
    if (n > size_) {
      data_ = std::make_unique_for_overwrite<T[]>(n);
      size_ = n;
    }
    return data_.get();
  }

 private:
  std::unique_ptr<T[]> data_;
  std::size_t size_ = 0;
};

struct SliceScratch {
  Scratch<Entry> unordered;                    // the slice's triangles in number order
  Scratch<std::uint64_t> keys;                 // their keys for the order in z
  std::vector<std::uint64_t> sort_space;       // for sort_by_high_half
  Scratch<std::array<std::int32_t, 2>> spans;  // their first and last y columns, in number order
  ColumnLanes lanes;                           // the triangles of each column in turn
  Scratch<std::size_t> kept;                   // one triangle's pairs to test, as places in its column
};

// Calls visit(a, b) once for every pair of triangles of slice x whose boxes
// overlap, whose overlap's lowest corner lies in this slice and who share no
// certified vertex: per column of the slice its triangles in order of their
// boxes' lowest z, each against those that start before it
// ends in z, kept when the overlap's lowest corner is in this column. Every
// such pair is thus seen in exactly one column of one slice.
template <typename Visit>
void for_each_pair_in_slice(const Columns& columns, const Geometry& g, const Boxes& boxes,
                            const CornerCodes& codes, const Slices& slices, std::int64_t x,
                            SliceScratch& scratch, Visit&& visit) {
  const std::size_t begin = slices.starts[static_cast<std::size_t>(x)];
  const std::size_t end = slices.starts[static_cast<std::size_t>(x) + 1];
  if (end - begin < 2) return;
  const std::size_t count = end - begin;
  // The slice's triangles read in increasing number (the mesh's arrays
  // walked forwards), then ordered by their boxes' lowest z and, among
  // equal ones, by number: each key holds the lowest z above the place in
  // the slice, which increases with the number.
  Entry* const unordered = scratch.unordered.at_least(count);
  std::uint64_t* const keys = scratch.keys.at_least(count);
  for (std::size_t n = 0; n < count; ++n) {
    if (n + kRowsAhead < count) __builtin_prefetch(g.mesh.faces + 3 * std::size_t{slices.items[begin + n + kRowsAhead]});
    if (n + kCornersAhead < count) {
      const auto ahead = g.face(slices.items[begin + n + kCornersAhead]);
      boxes.prefetch(ahead);
      codes.prefetch(ahead);
    }
    const std::uint32_t f = slices.items[begin + n];
    const auto face = g.face(f);
    unordered[n] = {boxes[f], f, {codes.code(face[0]), codes.code(face[1]), codes.code(face[2])}};
    keys[n] = std::uint64_t{z_key(unordered[n].box.lo[2])} << 32 | n;
  }
  sort_by_high_half(keys, count, scratch.sort_space);
  // Each triangle's y columns (by its place in the slice). Column numbers
  // are below 2^21 (the columns are at least 2^-20 of the extent).
  std::int64_t low = std::numeric_limits<std::int64_t>::max(), high = std::numeric_limits<std::int64_t>::min();
  std::array<std::int32_t, 2>* const spans = scratch.spans.at_least(count);
  for (std::size_t n = 0; n < count; ++n) {
    const Box& box = unordered[n].box;
    spans[n] = {static_cast<std::int32_t>(columns.first(box, 1)), static_cast<std::int32_t>(columns.last(box, 1))};
    low = std::min<std::int64_t>(low, spans[n][0]);
    high = std::max<std::int64_t>(high, spans[n][1]);
  }
  // A stable counting sort by column keeps each column's triangles in z
  // order; column k's places start at start[k] + k * kPad, after the
  // columns before it and their sentinels.
  constexpr std::size_t kPad = ColumnLanes::kPad;
  std::vector<std::size_t> start(static_cast<std::size_t>(high - low) + 2, 0);
  for (std::size_t n = 0; n < count; ++n) {
    for (std::int64_t y = spans[n][0]; y <= spans[n][1]; ++y) ++start[static_cast<std::size_t>(y - low) + 1];
  }
  for (std::size_t k = 0; k + 1 < start.size(); ++k) start[k + 1] += start[k];
  const std::size_t column_count = start.size() - 1;
  ColumnLanes& lanes = scratch.lanes;
  lanes.reserve(start.back() + column_count * kPad);
  {
    std::vector<std::size_t> fill(column_count);
    for (std::size_t k = 0; k < column_count; ++k) fill[k] = start[k] + k * kPad;
    for (std::size_t n = 0; n < count; ++n) {  // in z order
      // The entries are read in another order than they were written in.
      if (n + kCornersAhead < count) {
        const auto ahead = static_cast<std::uint32_t>(keys[n + kCornersAhead]);
        __builtin_prefetch(unordered + ahead);
        __builtin_prefetch(spans + ahead);
      }
      const auto place = static_cast<std::uint32_t>(keys[n]);
      const Entry& e = unordered[place];
      for (std::int64_t y = spans[place][0]; y <= spans[place][1]; ++y) {
        lanes.put(fill[static_cast<std::size_t>(y - low)]++, e.box.lo, e.box.hi, e.f, e.corners);
      }
    }
    for (std::size_t k = 0; k < column_count; ++k) lanes.end_column(fill[k]);
  }
  // The longest column bounds how many triangles one can keep.
  std::size_t longest = 0;
  for (std::size_t k = 0; k < column_count; ++k) longest = std::max(longest, start[k + 1] - start[k]);
  std::size_t* const kept = scratch.kept.at_least(longest);
  for (std::size_t k = 0; k < column_count; ++k) {
    const std::int64_t y = low + static_cast<std::int64_t>(k);
    const std::size_t first = start[k] + k * kPad;
    const std::size_t stop = start[k + 1] + k * kPad;
    for (std::size_t l = first; l + 1 < stop; ++l) {
      // Nearly every overlapping pair is two neighbours round a certified
      // vertex, dropped in the scan; the rest are handled after it.
      const std::size_t count_kept = lanes.overlapping_after(l, kept);
      for (std::size_t n = 0; n < count_kept; ++n) {
        const std::size_t q = kept[n];
        // Rounding to columns is monotone, so the overlap's lowest corner is
        // in the column of the larger lower bounds.
        if (columns.cell(std::max(lanes.lo(0, l), lanes.lo(0, q)), 0) != x ||
            columns.cell(std::max(lanes.lo(1, l), lanes.lo(1, q)), 1) != y) {
          continue;
        }
        visit(lanes.face(l), lanes.face(q));
      }
    }
  }
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
  auto larger = [&](int x, int y) { return normal[x] > normal[y]; };
  if (std::isnan(normal[0]) || std::isnan(normal[1]) || std::isnan(normal[2])) {
    std::stable_sort(order, order + 3, larger);  // no strict order: keep the library's exact choice
  } else {
    // The stable order of three, without the library's buffer for it.
    if (larger(order[1], order[0])) std::swap(order[0], order[1]);
    if (larger(order[2], order[1])) {
      std::swap(order[1], order[2]);
      if (larger(order[1], order[0])) std::swap(order[0], order[1]);
    }
  }
  for (int axis : order) {
    if (orient2d_inline(project(a, axis), project(b, axis), project(c, axis)) != 0) return static_cast<std::int8_t>(axis);
  }
  return -1;
}

std::vector<std::int8_t> plane_axes(const MeshView& mesh, WorkerPool& pool) {
  return parallel_map<std::int8_t>(pool, mesh.face_count, [&](std::size_t f) { return plane_axis(mesh, f); });
}

int Geometry::axis(std::int64_t f) const {
  if (later == nullptr) return axes[static_cast<std::size_t>(f)];
  // Read and written by several workers at once; whichever works an axis
  // out writes the same value.
  std::atomic_ref<std::int8_t> slot(later[f]);
  std::int8_t known = slot.load(std::memory_order_relaxed);
  if (known == kAxisLater) {
    known = plane_axis(mesh, static_cast<std::size_t>(f));
    slot.store(known, std::memory_order_relaxed);
  }
  return known;
}

bool triangles_meet(const MeshView& mesh, const std::vector<std::int8_t>& axes, std::int64_t i, std::int64_t j) {
  const Geometry g{mesh, axes};
  return pair_meets(g, i, j);
}

namespace {

// find_self_intersections; with `first_bad`, only until one bad triangle is
// known (a zero-area one, or one pair: slices not yet started are skipped).
SelfIntersections search(const MeshView& mesh, const std::uint8_t* subset, WorkerPool& pool,
                         const std::vector<std::uint8_t>* certified, bool first_bad) {
  SelfIntersections result;
  // A triangle at a certified vertex has nonzero area and no repeated index
  // (the star's wedges turn one way in projection, embedded_stars.h), and
  // nearly every pair it is in is dropped unseen: its axis waits until a
  // pair test needs it.
  auto certified_corner = [&](std::size_t f) {
    const std::int64_t* corners = mesh.faces + 3 * f;
    return (*certified)[static_cast<std::size_t>(corners[0])] | (*certified)[static_cast<std::size_t>(corners[1])] |
           (*certified)[static_cast<std::size_t>(corners[2])];
  };
  auto axis_or_later = [&](std::size_t f) { return certified_corner(f) != 0 ? kAxisLater : plane_axis(mesh, f); };
  std::vector<std::int8_t> axes = certified == nullptr
                                      ? plane_axes(mesh, pool)
                                      : parallel_map<std::int8_t>(pool, mesh.face_count, axis_or_later);
  // The zero-area flags and the counts that decide whether to sweep, on the
  // pool (whole counts and flags: the same on any number of workers).
  result.zero_area.resize(mesh.face_count);
  std::atomic<std::size_t> usable_count{0};
  std::atomic<bool> any_marked{subset == nullptr}, any_zero{false};
  pool.run(mesh.face_count, FaceChunks::kMinChunk, [&](LoopRange& range) {
    std::size_t usable = 0;
    bool marked = false, zero = false;
    for (std::size_t f = range.begin(); f < range.end(); ++f) {
      const bool unusable = axes[f] < 0;
      const bool flat = unusable && !has_repeated_index(mesh, f);
      result.zero_area[f] = flat;
      zero |= flat;
      usable += !unusable;
      marked |= !unusable && subset != nullptr && subset[f] != 0;
    }
    usable_count.fetch_add(usable, std::memory_order_relaxed);
    if (marked) any_marked.store(true, std::memory_order_relaxed);
    if (zero) any_zero.store(true, std::memory_order_relaxed);
  });
  const std::size_t usable = usable_count.load();
  if (usable < 2 || !any_marked.load()) return result;
  if (first_bad && any_zero.load()) return result;
  Geometry g{mesh, axes};
  if (certified != nullptr) g.later = axes.data();
  // Most candidate pairs are neighbours round a vertex; where the triangles
  // round it are certified embedded, they need no test of their own. (Made
  // before the slices, so that its rows by vertex are gone by then.)
  const std::vector<std::uint8_t> own =
      certified == nullptr ? embedded_stars(mesh, pool) : std::vector<std::uint8_t>{};
  const CornerCodes codes{certified == nullptr ? own : *certified, mesh.vertex_count < kUncertified};
  const VertexBox extent = vertex_box(mesh);
  const Point3 centre = extent.centre();
  const Boxes boxes(mesh, centre, pool);
  // The vertices' box as the boxes map it (the map is monotone, so these
  // are the least and largest mapped coordinates).
  std::array<float, 3> lo{}, hi{};
  for (int a = 0; a < 3; ++a) {
    lo[a] = single(extent.lo[a] - centre[a]);
    hi[a] = single(extent.hi[a] - centre[a]);
  }
  Columns columns = choose_columns(boxes, axes, lo, hi);
  const Slices slices = slice_boxes(columns, boxes, axes, usable, pool);
  auto marked = [&](std::uint32_t f) { return subset == nullptr || subset[f] != 0; };

  // One slice per index; the pairs are sorted at the end, so the result is
  // the same for every worker count (with `first_bad`, only whether it is
  // empty is).
  std::atomic<bool> found{false};
  RangeParts<FacePair> parts;
  pool.run(static_cast<std::size_t>(columns.dims[0]), 1, [&](LoopRange& range) {
    std::vector<FacePair> out;
    SliceScratch scratch;  // shared by the range's slices
    for (std::size_t x = range.begin(); range.keep_going(x); ++x) {
      if (first_bad && found.load(std::memory_order_relaxed)) break;
      if (subset != nullptr) {
        bool any = false;
        for (std::size_t n = slices.starts[x]; n < slices.starts[x + 1] && !any; ++n) any = marked(slices.items[n]);
        if (!any) continue;
      }
      for_each_pair_in_slice(columns, g, boxes, codes, slices, static_cast<std::int64_t>(x), scratch,
                             [&](std::uint32_t a, std::uint32_t b) {
                               if (!marked(a) && !marked(b)) return;
                               const std::int64_t i = std::min(a, b), j = std::max(a, b);
                               if (pair_meets(g, i, j)) {
                                 out.push_back({i, j});
                                 found.store(true, std::memory_order_relaxed);
                               }
                             });
    }
    parts.add(range.index(), std::move(out));
  });
  result.pairs = parts.join();
  std::sort(result.pairs.begin(), result.pairs.end());
  return result;
}

}  // namespace

SelfIntersections find_self_intersections(const MeshView& mesh, const std::uint8_t* subset, WorkerPool& pool,
                                          const std::vector<std::uint8_t>* certified) {
  return search(mesh, subset, pool, certified, false);
}

std::vector<std::int64_t> bad_faces_of(const SelfIntersections& found) {
  std::vector<std::int64_t> bad;
  for (std::size_t f = 0; f < found.zero_area.size(); ++f) {
    if (found.zero_area[f]) bad.push_back(static_cast<std::int64_t>(f));
  }
  for (const FacePair& pair : found.pairs) bad.insert(bad.end(), pair.begin(), pair.end());
  std::sort(bad.begin(), bad.end());
  bad.erase(std::unique(bad.begin(), bad.end()), bad.end());
  return bad;
}

bool has_bad_triangles(const MeshView& mesh, WorkerPool& pool, const std::vector<std::uint8_t>* certified) {
  const SelfIntersections found = search(mesh, nullptr, pool, certified, true);
  return !found.pairs.empty() ||
         std::find(found.zero_area.begin(), found.zero_area.end(), 1) != found.zero_area.end();
}

}  // namespace karvex::validity
