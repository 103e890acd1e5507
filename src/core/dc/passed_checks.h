#pragma once

#include <array>
#include <cstdint>
#include <unordered_map>
#include <unordered_set>

#include "dc/mesh.h"
#include "octree/octree.h"
#include "support/flat_hash.h"

namespace karvex {

// What the field checks of the cell merges' passes found within the
// tolerance, so that a later pass asks the field only about what is new.
//
// Within one set of refusals that only grows (one collapse memo), a
// collapsed cell always has the same vertex and the same children's
// vertices (both depend only on its subtree), and a vertex key always
// stands at one point (tested_triangles.h): a collapsed cell that passed
// its chords' check, or a triangle whose three keys in order passed the
// stray check, passes again with the same samples, the same bits. What
// failed was refused and never comes back.
struct PassedChecks {
  struct TriangleHash {
    std::size_t operator()(const std::array<std::uint64_t, 6>& k) const {
      std::uint64_t h = 0;
      for (const std::uint64_t word : k) h = mix64(h ^ word);
      return h;
    }
  };
  // Per collapsed cell that passed: how far projection may move its vertex.
  std::unordered_map<CellAddress, double, CellAddressHash> cells;
  // The triangles that passed, by their corners' keys in order.
  std::unordered_set<std::array<std::uint64_t, 6>, TriangleHash> triangles;

  static std::array<std::uint64_t, 6> triangle_key(const std::vector<VertexKey>& keys,
                                                   const Triangle& t) {
    return {keys[t[0]][0], keys[t[0]][1], keys[t[1]][0],
            keys[t[1]][1], keys[t[2]][0], keys[t[2]][1]};
  }
};

}  // namespace karvex
