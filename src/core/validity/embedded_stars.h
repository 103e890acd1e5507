#pragma once

// Vertices whose triangles plainly meet only where they share: along one
// axis, the triangles at v project to wedges at v that all turn the same way
// and go exactly once round v.
//
// Then two of them that share only v meet only at v: their projected wedges
// share only v's image, and the projection is one-to-one on each triangle
// (its image has nonzero area), so a second common point would project to a
// second common image. Two that share an edge at v (neighbours round v) have
// their third corners' images strictly on opposite sides of the edge's image,
// so they are not coplanar with their third corners on one side, which is
// the only way triangles sharing an edge meet improperly. Either way the
// exact pair test of self_intersections.h would say "apart"; a pair sharing
// such a vertex need not be tested.
//
// Every decision is made with exact predicates (orient2d on the projections
// and exact coordinate comparisons), so a vertex is certified only when the
// claim holds exactly. Vertices with a triangle of zero area or a repeated
// index, open or several fans, or folds are simply not certified.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "validity/self_intersections.h"
#include "validity/vertex_stars.h"

namespace karvex {
class WorkerPool;
}

namespace karvex::validity {

// Larger stars are left to the pair tests (rare on contoured meshes; the
// certificate keeps each neighbour's offset on the stack).
inline constexpr std::size_t kMaxEmbeddedStar = 64;

// Whether v's star, of `count` triangles, is certified as above, given
// `chain` as star_shape filled it when it answered StarShape::kClosed.
bool closed_star_is_embedded(const MeshView& mesh, std::int64_t v, std::size_t count, const StarChain& chain);

// One flag per vertex: 1 where the triangles at it are certified as above.
// Linear in the mesh's size; runs on the pool, the result independent of
// the number of workers.
std::vector<std::uint8_t> embedded_stars(const MeshView& mesh, WorkerPool& pool);

}  // namespace karvex::validity
