#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "support/vec3.h"

namespace karvex {

// The caller's axis-aligned box. Nothing here checks that min < max; the
// module's entry points validate boxes before building anything.
struct BBox {
  Vec3 min;
  Vec3 max;
};

// The cube the octree partitions: centred on the box, side = the largest box
// extent (a NaN extent loses to any number), shorter axes padded equally.
struct Cube {
  Vec3 origin;
  double size = 0.0;
};

Cube cube_from_box(const BBox& box);

// One of the twelve cube edges, as the corner pair (u, v); u is the endpoint
// at the lower coordinate. Corner numbering: i = dx + 2*dy + 4*dz.
struct CubeEdge {
  std::uint8_t u;
  std::uint8_t v;
};

// Edges 4a .. 4a+3 run along axis a (0 = x, 1 = y, 2 = z); edge 4a starts at
// the cell's minimum corner.
inline constexpr std::array<CubeEdge, 12> CUBE_EDGES = {{
    {0, 1},
    {2, 3},
    {4, 5},
    {6, 7},  // x
    {0, 2},
    {1, 3},
    {4, 6},
    {5, 7},  // y
    {0, 4},
    {1, 5},
    {2, 6},
    {3, 7},  // z
}};

// CUBE_EDGES[edge], failing as an invariant failure for an edge beyond 11.
const CubeEdge& cube_edge(std::size_t edge);

}  // namespace karvex
