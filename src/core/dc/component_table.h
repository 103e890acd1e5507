#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "dc/surface_cells.h"

namespace karvex {

// One row per sign mask: bytes 0..7 give, for corner i, the number of the
// connected group of set corners that i belongs to (0xFF when bit i is
// clear); byte 8 gives the number of groups k (0..4).
using ComponentRow = std::array<std::uint8_t, 9>;

inline constexpr std::uint8_t kNoGroup = 0xFF;

namespace detail {

// Groups are the connected components of the set corners under the twelve
// cube edges (corners one index bit apart), numbered in increasing order of
// their lowest corner. Masks 0 and 255 have no groups: a cell wholly on one
// side of the surface gets no vertex.
constexpr ComponentRow component_row(unsigned mask) {
  ComponentRow row{};
  for (auto& group : row) group = kNoGroup;
  row[8] = 0;
  if (mask == 0 || mask == 255) return row;
  std::uint8_t groups = 0;
  for (unsigned start = 0; start < 8; ++start) {
    if (!(mask & (1u << start)) || row[start] != kNoGroup) continue;
    // Flood fill from `start` over set neighbours.
    unsigned stack[8] = {};
    unsigned depth = 0;
    stack[depth++] = start;
    row[start] = groups;
    while (depth > 0) {
      const unsigned corner = stack[--depth];
      for (unsigned axis = 0; axis < 3; ++axis) {
        const unsigned next = corner ^ (1u << axis);
        if ((mask & (1u << next)) && row[next] == kNoGroup) {
          row[next] = groups;
          stack[depth++] = next;
        }
      }
    }
    ++groups;
  }
  row[8] = groups;
  return row;
}

constexpr std::array<ComponentRow, 256> make_component_table() {
  std::array<ComponentRow, 256> table{};
  for (unsigned mask = 0; mask < 256; ++mask) table[mask] = component_row(mask);
  return table;
}

}  // namespace detail

// Connected groups of below-iso corners for every sign mask.
inline constexpr std::array<ComponentRow, 256> COMPONENT_TABLE = detail::make_component_table();

// Vertex slots: group j of cell i owns slot vertex_base[i] + j.
struct VertexSlots {
  std::vector<ComponentRow> cell_components;  // the table row of each cell's mask
  std::vector<std::uint64_t> vertex_base;     // sum of k over the cells before
  std::uint64_t slot_count = 0;               // sum of k over all cells
};

// Gives every connected group of every surface cell a slot, in cell order.
VertexSlots assign_vertex_slots(const std::vector<SurfaceCell>& cells);

}  // namespace karvex
