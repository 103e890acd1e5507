#pragma once

#include <vector>

#include "dc/extract.h"
#include "dc/faces.h"
#include "support/vec3.h"

namespace karvex {

// Keeps the largest connected piece of a triangle set. Triangles are joined
// through shared vertex numbers (union-find with path halving, no rank); a
// piece's size is its number of triangles. Among equally large pieces the
// one whose earliest triangle comes first is kept, so the result never
// depends on hashing or scheduling. When every triangle is kept, vertices
// and triangles are returned unchanged (unused vertices included);
// otherwise only vertices used by a kept triangle remain, renumbered in
// their old order. A vertex number beyond `vertices` is the
// index-out-of-bounds invariant failure.
Mesh keep_largest_component(std::vector<Vec3> vertices, std::vector<Triangle> triangles);

}  // namespace karvex
