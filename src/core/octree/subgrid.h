#pragma once

#include <array>
#include <cstdint>

#include "octree/octree.h"

namespace karvex {

// The 3x3x3 sub-grid of a cell being split. Point (a, b, c), each 0..2, is
// the lattice point (X + a*q, Y + b*q, Z + c*q) of the cell with minimum
// corner (X, Y, Z) and child side q, and has index a + 3*b + 9*c. Corner i
// (dx, dy, dz) of child o (bx, by, bz) is sub-grid point (bx+dx, by+dy, bz+dz).
constexpr unsigned subgrid_index(unsigned child, unsigned corner) {
  return ((child & 1u) + (corner & 1u)) + 3u * (((child >> 1) & 1u) + ((corner >> 1) & 1u)) +
         9u * (((child >> 2) & 1u) + ((corner >> 2) & 1u));
}

struct SubgridTables {
  // child_corner[o][i]: sub-grid index of corner i of child o.
  std::array<std::array<std::uint8_t, 8>, 8> child_corner{};
  // The 27 points in the order in which the walk "child 0..7 outer, corner
  // 0..7 inner" first meets them. Visiting them in this order gathers the
  // same keys in the same order as the 64-corner walk, with 27 probes.
  std::array<std::uint8_t, 27> first_seen{};
  // parent_corner[i]: sub-grid index of corner i of the cell itself.
  std::array<std::uint8_t, 8> parent_corner{};
  // first_seen without the cell's own eight corners: the points a split can
  // add to the cache (the corners are sampled before a cell exists).
  std::array<std::uint8_t, 19> first_seen_inner{};
};

constexpr SubgridTables make_subgrid_tables() {
  SubgridTables t;
  std::array<bool, 27> seen{};
  unsigned n = 0;
  for (unsigned o = 0; o < 8; ++o) {
    for (unsigned i = 0; i < 8; ++i) {
      const unsigned s = subgrid_index(o, i);
      t.child_corner[o][i] = static_cast<std::uint8_t>(s);
      if (!seen[s]) {
        seen[s] = true;
        t.first_seen[n++] = static_cast<std::uint8_t>(s);
      }
    }
  }
  std::array<bool, 27> is_corner{};
  for (unsigned i = 0; i < 8; ++i) {
    // Corner i of the cell is corner i of its child i.
    t.parent_corner[i] = static_cast<std::uint8_t>(subgrid_index(i, i));
    is_corner[t.parent_corner[i]] = true;
  }
  unsigned m = 0;
  for (std::uint8_t s : t.first_seen) {
    if (!is_corner[s]) t.first_seen_inner[m++] = s;
  }
  return t;
}

inline constexpr SubgridTables kSubgrid = make_subgrid_tables();

// The 27 lattice points of the sub-grid of the cell with minimum corner
// `corner` at depth d, by sub-grid index. Unsigned arithmetic wraps exactly
// as the per-child sums X + bx*q + dx*q would.
inline std::array<CornerKey, 27> subgrid_keys(const CornerKey& corner, std::uint8_t d,
                                              std::uint8_t max_depth) {
  const std::uint32_t q = pow2(static_cast<unsigned>(max_depth) - d - 1u);
  std::array<CornerKey, 27> keys;
  for (std::uint32_t c = 0; c < 3; ++c) {
    for (std::uint32_t b = 0; b < 3; ++b) {
      for (std::uint32_t a = 0; a < 3; ++a) {
        keys[a + 3 * b + 9 * c] = {corner.x + a * q, corner.y + b * q, corner.z + c * q};
      }
    }
  }
  return keys;
}

}  // namespace karvex
