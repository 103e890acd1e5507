// Certifying vertices round which the mesh is embedded (see embedded_stars.h).
#include "validity/embedded_stars.h"

#include <cmath>
#include <cstddef>

#include "pool/worker_pool.h"
#include "validity/predicates.h"
#include "validity/vertex_stars.h"

namespace karvex::validity {

namespace {

constexpr int kKept[3][2] = {{1, 2}, {0, 2}, {0, 1}};  // the axes kept when one is dropped

}  // namespace

bool closed_star_is_embedded(const MeshView& mesh, std::int64_t v, std::size_t count, const StarChain& chain) {
  if (count < 3 || count > kMaxEmbeddedStar) return false;
  // One closed fan: each wedge k followed by wedge next[k], round v.
  const std::int64_t* const a = chain.a.data();
  const std::size_t* const next = chain.next.data();
  // Each neighbour's offset from v, worked out once: wedge k's sides are
  // d[k] and d[next[k]].
  const double* const pv = mesh.vertices + 3 * v;
  double d[kMaxEmbeddedStar][3];
  for (std::size_t k = 0; k < count; ++k) {
    const double* p = mesh.vertices + 3 * a[k];
    d[k][0] = p[0] - pv[0];
    d[k][1] = p[1] - pv[1];
    d[k][2] = p[2] - pv[2];
  }
  // Projected along the largest component of the summed normals (any axis
  // would be sound; this one is likeliest to pass).
  double normal[3] = {0.0, 0.0, 0.0};
  for (std::size_t k = 0; k < count; ++k) {
    const double* u = d[k];
    const double* w = d[next[k]];
    normal[0] += u[1] * w[2] - u[2] * w[1];
    normal[1] += u[2] * w[0] - u[0] * w[2];
    normal[2] += u[0] * w[1] - u[1] * w[0];
  }
  int axis = 0;
  for (int c = 1; c < 3; ++c) {
    if (std::fabs(normal[c]) > std::fabs(normal[axis])) axis = c;
  }
  const int x = kKept[axis][0], y = kKept[axis][1];
  // Every wedge turning the same way by less than half a turn, and the fan
  // going once round v: the wedges cover disjoint angles. Rounds are
  // counted as the wedges that pass the ray from v along +x, from below it
  // (y < v's) to on or above it, in their turning sense. A rounded
  // difference has the sign of the exact one, so d[k][y] < 0 says exactly
  // that a[k] is below v.
  // The turns and passes of both senses are counted without branches; the
  // sense all the turns share, if any, picks its count.
  std::size_t left_turns = 0;
  int passes_left = 0, passes_right = 0;
  for (std::size_t k = 0; k < count; ++k) {
    const double* u = d[k];
    const double* w = d[next[k]];
    // orient2d of (a[k], b[k], v), whose sign is that of (v, a[k], b[k]):
    // the filter of orient2d_inline on the offsets already at hand, the
    // exact test where it cannot tell.
    const double left = u[x] * w[y];
    const double right = u[y] * w[x];
    const double det = left - right;
    const double permanent = std::fabs(left) + std::fabs(right);
    bool turns_left = det > 0.0;
    if (!(std::fabs(det) > kOrient2dBound * permanent && permanent >= kPredicateTiny)) {
      const double* p = mesh.vertices + 3 * a[k];
      const double* q = mesh.vertices + 3 * a[next[k]];
      const int t = orient2d({pv[x], pv[y]}, {p[x], p[y]}, {q[x], q[y]});
      if (t == 0) return false;
      turns_left = t > 0;
    }
    left_turns += turns_left;
    const bool a_below = u[y] < 0.0, b_below = w[y] < 0.0;
    passes_left += a_below && !b_below;
    passes_right += b_below && !a_below;
  }
  if (left_turns == count) return passes_left == 1;
  return left_turns == 0 && passes_right == 1;
}

std::vector<std::uint8_t> embedded_stars(const MeshView& mesh, WorkerPool& pool) {
  const VertexFaces rows = vertex_faces(mesh, pool);
  std::vector<std::uint8_t> embedded(mesh.vertex_count, 0);
  pool.run(mesh.vertex_count, kDefaultMinChunk, [&](LoopRange& range) {
    StarChain chain;  // one per range: no lookup of thread-local storage per vertex
    for (std::size_t v = range.begin(); range.keep_going(v); ++v) {
      const std::size_t begin = rows.starts[v];
      const std::size_t count = rows.starts[v + 1] - begin;
      // Stars the certificate refuses anyway are not chained at all.
      if (count < 3 || count > kMaxEmbeddedStar) continue;
      const auto vertex = static_cast<std::int64_t>(v);
      embedded[v] = static_cast<std::uint8_t>(star_shape(mesh, vertex, rows.items.data() + begin, count, chain) ==
                                                  StarShape::kClosed &&
                                              closed_star_is_embedded(mesh, vertex, count, chain));
    }
  });
  return embedded;
}

}  // namespace karvex::validity
