// Vertex stars: the rows by vertex and the chaining of one star's wedges.
#include "validity/vertex_stars.h"

#include <stdexcept>

namespace karvex::validity {

VertexFaces vertex_faces(const MeshView& mesh) {
  if (mesh.face_count > UINT32_MAX) {
    throw std::length_error("the validity pass handles meshes of at most 4294967295 triangles");
  }
  VertexFaces rows;
  rows.starts.assign(mesh.vertex_count + 1, 0);
  const std::size_t corners = 3 * mesh.face_count;
  for (std::size_t c = 0; c < corners; ++c) ++rows.starts[static_cast<std::size_t>(mesh.faces[c]) + 1];
  // starts[v + 1] becomes the start of v's row and serves as its cursor
  // while the rows fill (no cursor array of its own, 8 bytes a vertex),
  // ending at the row's end: the start of the next row.
  std::size_t start = 0;
  for (std::size_t v = 0; v < mesh.vertex_count; ++v) {
    const std::size_t count = rows.starts[v + 1];
    rows.starts[v + 1] = start;
    start += count;
  }
  rows.items.resize(corners);
  for (std::size_t c = 0; c < corners; ++c) {
    rows.items[rows.starts[static_cast<std::size_t>(mesh.faces[c]) + 1]++] = static_cast<std::uint32_t>(c / 3);
  }
  return rows;
}

StarShape star_shape(const MeshView& mesh, std::int64_t v, const std::uint32_t* faces, std::size_t count,
                     StarChain& chain) {
  if (chain.a.size() < count) {
    chain.a.resize(count);
    chain.b.resize(count);
    chain.next.resize(count);
    chain.followed.resize(count);
  }
  std::int64_t* const a = chain.a.data();
  std::int64_t* const b = chain.b.data();
  std::size_t* const next = chain.next.data();
  std::uint8_t* const followed = chain.followed.data();  // some wedge ends where wedge k starts
  for (std::size_t k = 0; k < count; ++k) {
    const std::int64_t* f = mesh.faces + 3 * static_cast<std::size_t>(faces[k]);
    const std::int64_t f0 = f[0], f1 = f[1], f2 = f[2];
    // The corners after v in the triangle's winding, chosen without branches.
    a[k] = f0 == v ? f1 : f1 == v ? f2 : f0;
    b[k] = f0 == v ? f2 : f1 == v ? f0 : f1;
    // Cleared here rather than in loops of their own, which the compiler
    // would make calls to memset (dearer than the few bytes of a star).
    next[k] = StarChain::kNoNext;
    followed[k] = 0;
    if (a[k] == v || b[k] == v || a[k] == b[k]) return StarShape::kBroken;  // a repeated index
  }
  // Each directed edge v -> u at most once (the a's distinct) and u -> v at
  // most once (the b's distinct); then every edge at v is in at most two
  // triangles, wound opposite ways when two, and the wedges form chains and
  // cycles. Each pair of wedges is looked at once, both ways round; no
  // wedge follows itself (a[k] != b[k] above). Where the a's are distinct,
  // a wedge has at most one follower, so the order of the matches does not
  // matter; where they are not, the star is broken whatever the chain says.
  // Without branches inside (the loops are short, their outcomes mixed).
  unsigned repeated = 0;
  for (std::size_t k = 0; k < count; ++k) {
    // Wedge k's entries in locals: the inner loop writes only those of
    // wedges after it.
    const std::int64_t a_k = a[k], b_k = b[k];
    std::size_t next_k = next[k];
    std::uint8_t followed_k = followed[k];
    for (std::size_t m = k + 1; m < count; ++m) {
      const std::int64_t a_m = a[m], b_m = b[m];
      repeated |= static_cast<unsigned>(a_m == a_k) | static_cast<unsigned>(b_m == b_k);
      const bool m_after_k = a_m == b_k, k_after_m = a_k == b_m;
      next_k = m_after_k ? m : next_k;
      followed[m] |= static_cast<std::uint8_t>(m_after_k);
      next[m] = k_after_m ? k : next[m];
      followed_k |= static_cast<std::uint8_t>(k_after_m);
    }
    next[k] = next_k;
    followed[k] = followed_k;
  }
  std::size_t heads = 0;  // wedges no other wedge ends at: the starts of open fans
  std::size_t head = 0;
  for (std::size_t k = 0; k < count; ++k) {
    heads += followed[k] == 0;
    head = followed[k] == 0 ? k : head;
  }
  if (repeated != 0) return StarShape::kBroken;
  if (count == 0) return StarShape::kOpen;
  if (heads > 1) return StarShape::kBroken;
  // One fan iff the walk from the head (or from any wedge of a cycle) meets
  // every wedge.
  std::size_t steps = 1;
  for (std::size_t k = next[head]; k != StarChain::kNoNext && k != head; k = next[k]) ++steps;
  if (steps != count) return StarShape::kBroken;
  return heads == 1 ? StarShape::kOpen : StarShape::kClosed;
}

}  // namespace karvex::validity
