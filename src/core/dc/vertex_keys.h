#pragma once

// Each vertex's identity in a tile run: the cell that made it and its group
// (sheet) within that cell. Tiles are runs over the same cube and lattice, and
// the cells along a seam are the same in the tiles on both sides, so a vertex
// two tiles both make has the same key in both, while two vertices of one
// tile never share a key, even where two sheets put them at one point.

#include <cstdint>
#include <span>
#include <vector>

#include "dc/component_table.h"
#include "dc/mesh.h"
#include "dc/surface_cells.h"
#include "dc/vertex_placement.h"
#include "octree/octree.h"

namespace karvex {

// Word 0: x | y << 32, the cell's lattice coordinates at its own depth;
// word 1: z | depth << 32 | group << 40. Coordinates are below 2^31 and a
// cell has at most 4 groups, so the fields never overlap.
inline VertexKey vertex_key(const CellAddress& cell, std::uint64_t group) {
  return {std::uint64_t{cell.x} | (std::uint64_t{cell.y} << 32),
          std::uint64_t{cell.z} | (std::uint64_t{cell.d} << 32) | (group << 40)};
}

// The cell that made the vertex of `key` (vertex_key undone).
inline CellAddress key_cell(const VertexKey& key) {
  return {static_cast<std::uint32_t>(key[0]), static_cast<std::uint32_t>(key[0] >> 32),
          static_cast<std::uint32_t>(key[1]), static_cast<std::uint8_t>(key[1] >> 32)};
}

// The keys of the leaves' vertices as solve_slot_vertices numbers them: a
// cell's vertices are its groups in order, from its first vertex on.
inline std::vector<VertexKey> leaf_vertex_keys(const UnfilledVector<CellSigns>& cells,
                                               std::span<const std::uint64_t> cell_first_vertex,
                                               std::size_t vertex_count) {
  std::vector<VertexKey> keys(vertex_count);
  for (std::size_t c = 0; c < cells.size(); ++c) {
    const std::uint64_t first = cell_first_vertex[c];
    if (first == kNoVertex) continue;
    const unsigned groups = COMPONENT_TABLE[cells[c].sign_mask][8];
    for (unsigned j = 0; j < groups; ++j) keys[first + j] = vertex_key(cells[c].address, j);
  }
  return keys;
}

}  // namespace karvex
