// Certifying vertices round which the mesh is embedded (see embedded_stars.h).
#include "validity/embedded_stars.h"

#include <array>
#include <cmath>
#include <cstddef>

#include "pool/worker_pool.h"
#include "validity/predicates.h"

namespace karvex::validity {

namespace {

// Larger fans are left to the pair tests (the check is quadratic in the fan).
constexpr std::size_t kMaxFan = 32;  // at most 64 (a bit mask per fan)
constexpr int kKept[3][2] = {{1, 2}, {0, 2}, {0, 1}};  // the axes kept when one is dropped

// Per vertex, the triangles using it: items[starts[v], starts[v + 1]), by a
// counting sort over the corners.
struct VertexFaces {
  std::vector<std::size_t> starts;
  std::vector<std::uint32_t> items;
};

VertexFaces vertex_faces(const MeshView& mesh) {
  VertexFaces rows;
  rows.starts.assign(mesh.vertex_count + 1, 0);
  const std::size_t corners = 3 * mesh.face_count;
  for (std::size_t c = 0; c < corners; ++c) ++rows.starts[static_cast<std::size_t>(mesh.faces[c]) + 1];
  for (std::size_t v = 0; v < mesh.vertex_count; ++v) rows.starts[v + 1] += rows.starts[v];
  rows.items.resize(corners);
  std::vector<std::size_t> fill(rows.starts.begin(), rows.starts.end() - 1);
  for (std::size_t c = 0; c < corners; ++c) {
    rows.items[fill[static_cast<std::size_t>(mesh.faces[c])]++] = static_cast<std::uint32_t>(c / 3);
  }
  return rows;
}

// The check for one vertex v with the triangles `faces` (as listed by
// vertex_faces).
bool star_is_embedded(const MeshView& mesh, std::int64_t v, const std::uint32_t* faces, std::size_t count) {
  if (count < 3 || count > kMaxFan) return false;
  // Each triangle as (v, a, b) in its own winding.
  std::array<std::int64_t, kMaxFan> a, b;  // only the first `count` are used
  for (std::size_t k = 0; k < count; ++k) {
    const std::int64_t* f = mesh.faces + 3 * static_cast<std::size_t>(faces[k]);
    const int at = f[0] == v ? 0 : f[1] == v ? 1 : 2;
    a[k] = f[(at + 1) % 3];
    b[k] = f[(at + 2) % 3];
    if (a[k] == v || b[k] == v) return false;  // a repeated index
  }
  // The wedges chain into cycles: every b is exactly one triangle's a
  // (next[k] is that triangle) and no a follows two triangles. Then the a's
  // are distinct, and so are the b's.
  std::array<std::size_t, kMaxFan> next;
  std::uint64_t followed = 0;
  for (std::size_t k = 0; k < count; ++k) {
    std::size_t matches = 0;
    for (std::size_t m = 0; m < count; ++m) {
      if (a[m] == b[k]) {
        next[k] = m;
        ++matches;
      }
    }
    if (matches != 1 || (followed >> next[k] & 1) != 0) return false;
    followed |= std::uint64_t{1} << next[k];
  }
  // Each neighbour's point, read once: b[k]'s is a[next[k]]'s.
  const double* const pv = mesh.vertices + 3 * v;
  std::array<const double*, kMaxFan> pa;
  for (std::size_t k = 0; k < count; ++k) pa[k] = mesh.vertices + 3 * a[k];
  // Projected along the largest component of the summed normals (any axis
  // would be sound; this one is likeliest to pass).
  double normal[3] = {0.0, 0.0, 0.0};
  for (std::size_t k = 0; k < count; ++k) {
    const double* p = pa[k];
    const double* q = pa[next[k]];
    const double u[3] = {p[0] - pv[0], p[1] - pv[1], p[2] - pv[2]};
    const double w[3] = {q[0] - pv[0], q[1] - pv[1], q[2] - pv[2]};
    normal[0] += u[1] * w[2] - u[2] * w[1];
    normal[1] += u[2] * w[0] - u[0] * w[2];
    normal[2] += u[0] * w[1] - u[1] * w[0];
  }
  int axis = 0;
  for (int c = 1; c < 3; ++c) {
    if (std::fabs(normal[c]) > std::fabs(normal[axis])) axis = c;
  }
  const int x = kKept[axis][0], y = kKept[axis][1];
  const Point2 qv{pv[x], pv[y]};
  // Every wedge turning the same way by less than half a turn, and the
  // cycles going once round v in all: each cycle of such wedges goes round
  // at least once, so there is one cycle, round once, and the wedges cover
  // disjoint angles. Counted as the wedges that pass the ray from v along
  // +x, from below it (y < v's) to on or above it, in their turning sense;
  // comparisons of coordinates are exact.
  int turn = 0, passes = 0;
  for (std::size_t k = 0; k < count; ++k) {
    const double* p = pa[k];
    const double* q = pa[next[k]];
    const int t = orient2d(qv, {p[x], p[y]}, {q[x], q[y]});
    if (t == 0 || (turn != 0 && t != turn)) return false;
    turn = t;
    const bool a_below = p[y] < qv[1], b_below = q[y] < qv[1];
    passes += turn > 0 ? (a_below && !b_below) : (b_below && !a_below);
  }
  return passes == 1;
}

}  // namespace

std::vector<std::uint8_t> embedded_stars(const MeshView& mesh, WorkerPool& pool) {
  const VertexFaces rows = vertex_faces(mesh);
  return parallel_map<std::uint8_t>(pool, mesh.vertex_count, [&](std::size_t v) {
    const std::size_t begin = rows.starts[v];
    return static_cast<std::uint8_t>(
        star_is_embedded(mesh, static_cast<std::int64_t>(v), rows.items.data() + begin, rows.starts[v + 1] - begin));
  });
}

}  // namespace karvex::validity
