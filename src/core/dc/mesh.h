#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "support/vec3.h"

namespace karvex {

// Three vertex numbers in winding order.
using Triangle = std::array<std::uint64_t, 3>;

// A vertex's identity within a tile run: its cell and group (dc/vertex_keys.h).
using VertexKey = std::array<std::uint64_t, 2>;

// The extracted mesh: vertices in output order and triangles of three vertex
// numbers (below vertices.size()) in winding order; each triangle's normal
// (q - p) x (r - p) points to where the field is at or above the level.
struct Mesh {
  std::vector<Vec3> vertices;
  std::vector<Triangle> faces;
  // Per vertex, its key; filled by tile runs only (empty otherwise).
  std::vector<VertexKey> vertex_keys = {};
};

}  // namespace karvex
