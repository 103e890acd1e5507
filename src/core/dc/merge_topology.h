#pragma once

#include <cstdint>
#include <vector>

#include "dc/mesh.h"

namespace karvex {

// The topology checks of simplification on the triangles a contouring tree
// makes, for collapses the signs alone cannot vouch for.
//
// A straight feature crossing a cell obliquely (a box's edge or corner) puts
// corners below the level that touch only across a face diagonal, or crosses
// one of the cell's edges twice: Ju's sign test (manifold_mask and
// midpoints_agree) refuses such a cell and, through it, every cell above,
// and a leaf it leaves with two vertex groups stops every cell above it
// too. Sampled at the corners of the children, a thin wedge of a box's edge
// is not even connected on the grid, so no test of the signs tells these
// cells from unsafe ones. They are collapsed on trust instead, and the
// result is checked: a collapsed vertex must be one fan of triangles
// (nonmanifold_vertices) and the surface must keep its Euler
// characteristic and pieces (surface_topology).

// Vertices below `vertex_count` whose triangles round them are not one fan:
// their link (for triangle (v, a, b) the edge a -> b) is not a single cycle
// or path, or holds a vertex twice in one direction; and the far ends of
// every such doubled link edge (an edge more than two triangles share, or
// two use in the same direction). Sorted, each once.
std::vector<std::uint64_t> nonmanifold_vertices(const std::vector<Triangle>& triangles,
                                                std::uint64_t vertex_count);

// A vertex whose triangles round it are not one fan, as
// nonmanifold_vertices tells it: `far_end` the far end of the doubled link
// edge at fault, kNoFarEnd when the fault names none.
inline constexpr std::uint64_t kNoFarEnd = ~std::uint64_t{0};
struct StarFault {
  std::uint64_t vertex = 0;
  std::uint64_t far_end = kNoFarEnd;
  bool operator==(const StarFault&) const = default;
};

// The faults of the stars of the vertices `only` marks (every vertex the
// triangles use when null; else indexed by vertex), each told from all of
// its triangles in `triangles`, in vertex order. A star's fault depends on
// its corners alone, and on their vertices' order, not their numbers.
std::vector<StarFault> star_faults(const std::vector<Triangle>& triangles,
                                   const std::vector<std::uint8_t>* only = nullptr);

// Euler characteristic (vertices used, less edges, plus triangles) and
// connected pieces of a set of triangles over `vertex_count` vertices.
struct SurfaceTopology {
  std::int64_t euler = 0;
  std::uint64_t pieces = 0;
  bool operator==(const SurfaceTopology&) const = default;
};
SurfaceTopology surface_topology(const std::vector<Triangle>& triangles,
                                 std::uint64_t vertex_count);

}  // namespace karvex
