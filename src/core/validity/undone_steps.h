#pragma once

// After the vertices the repair moved take a step back onto the surface, the
// steps that fold the mesh again are undone: every stepped vertex of a bad
// triangle (zero area, or meeting another improperly) goes back to where the
// repair left it, and the triangles round the vertices still stepped are
// tested again, until none of them is bad. Each round only undoes steps, so
// the rounds end.
//
// Every round tests within the same part of the mesh: the triangles whose
// boxes touch cells marked round the stepped triangles' boxes at both of
// their corners' places (fold_region.h), found by one scan of the mesh for
// all the rounds. A triangle with no stepped corner never moves, so any
// triangle a stepped one may meet in any round is in that part. After the
// first round only the triangles that moved are tested again.

#include <cstdint>
#include <span>
#include <vector>

#include "validity/self_intersections.h"

namespace karvex {
class WorkerPool;
}

namespace karvex::validity {

// `mesh` holds the positions after the steps, `stepped` the vertices that
// took a step (increasing) and `repaired` their places before it, 3 per
// vertex of `stepped` in the same order (the other vertices are at their
// repaired places in `mesh`). Returns the vertices whose steps are undone,
// in increasing order: the same as rounds of bad_faces_near (fold_region.h)
// over the triangles with a stepped corner, undoing the stepped corners of
// the bad ones after each, until a round undoes nothing. Throws
// std::length_error as FoldRegion does.
std::vector<std::int64_t> undone_steps(const MeshView& mesh, std::span<const std::int64_t> stepped,
                                       const double* repaired, WorkerPool& pool);

}  // namespace karvex::validity
