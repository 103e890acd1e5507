#pragma once

#include <cstdint>
#include <vector>

#include "dc/mesh.h"
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
//
// `keys` (empty, or one per vertex) travel with their vertices into the
// mesh's vertex_keys, compacted alike.
Mesh keep_largest_component(std::vector<Vec3> vertices, std::vector<Triangle> triangles,
                            std::vector<VertexKey> keys = {});

// Keeps every triangle, in order, and only the vertices some triangle uses,
// renumbered in their old order. A vertex number beyond `vertices` is the
// index-out-of-bounds invariant failure. `keys` as for
// keep_largest_component.
Mesh keep_all_components(std::vector<Vec3> vertices, std::vector<Triangle> triangles,
                         std::vector<VertexKey> keys = {});

// The units either function advances the open stage of the thread's
// RunMonitor by (one per triangle or vertex of each pass it makes), for a
// stage opened with this total just before the call.
std::uint64_t cleanup_units(bool keep_all, std::size_t vertices, std::size_t triangles);

}  // namespace karvex
