#pragma once

// The triangles round each vertex (its star), and one vertex's star read as
// wedges chained across the edges they share: the common ground of the
// one-sheet test (sheets.h) and the certificate of embedded_stars.h.
//
// Triangle k of v's star, turned to start at v in its own winding, is the
// wedge (v, a[k], b[k]). Across the edge v-u two wedges join when one ends
// where the other starts (b[k] == a[m], the edge used once each way).

#include <cstddef>
#include <cstdint>
#include <vector>

#include "support/unfilled_allocator.h"
#include "validity/self_intersections.h"

namespace karvex {
class WorkerPool;
}

namespace karvex::validity {

// Per vertex, the triangles using it: items[starts[v], starts[v + 1]), each
// vertex's in increasing order (a counting sort over the corners). The
// starts and items are written once each by the sort, never filled
// beforehand.
struct VertexFaces {
  UnfilledVector<std::size_t> starts;
  UnfilledVector<std::uint32_t> items;
};

// Throws std::length_error beyond 2^32 - 1 triangles (the items are 32-bit).
// With a pool of several workers, a large mesh's rows are made by two, each
// sorting half of the corners (see vertex_stars.cpp); the rows are the same
// either way.
VertexFaces vertex_faces(const MeshView& mesh);
VertexFaces vertex_faces(const MeshView& mesh, WorkerPool& pool);

enum class StarShape {
  kBroken,  // a repeated index, an edge at v used twice the same way, or several fans
  kOpen,    // one fan with two free edges (or no triangle at all)
  kClosed,  // one fan going round v
};

// One slot of StarChain's table of wedge starts: wedge `index` starts at
// vertex `key`. A slot is in use only while `round` is the chain's current
// one, so a new star finds the table empty without clearing it.
struct StarSlot {
  std::uint64_t round = 0;
  std::int64_t key = 0;
  std::size_t index = 0;
};

// Scratch for star_shape; its arrays grow to the largest star seen.
struct StarChain {
  std::vector<std::int64_t> a, b;
  std::vector<std::size_t> next;  // the wedge starting where wedge k ends, or kNoNext
  std::vector<std::uint8_t> followed;
  // Open addressing on a[k], at most half full; a power of two long.
  std::vector<StarSlot> slots;
  std::uint64_t round = 0;  // the star being chained (slots of other rounds are empty)
  static constexpr std::size_t kNoNext = static_cast<std::size_t>(-1);
};

// The shape of v's star (`faces`, `count` as listed by vertex_faces); fills
// `chain` for the first `count` wedges (next[] only where the answer is not
// kBroken). A small star's wedges find their followers by comparing every
// start with every end; a larger star's in a small hash table of the
// wedges' starts, linear in its size.
StarShape star_shape(const MeshView& mesh, std::int64_t v, const std::uint32_t* faces, std::size_t count,
                     StarChain& chain);

}  // namespace karvex::validity
