#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "dc/mesh.h"
#include "support/flat_hash.h"

namespace karvex {

// The triangles the fold test of the cell merges last searched, by their
// corners' vertex keys, so that a later pass searches only the pairs with a
// triangle it has not seen.
//
// Within one set of refusals that only grows, a vertex key always stands at
// one point: a leaf's vertex is its solved one, a collapsed cell's is what
// the collapse memo keeps for it, and keys are unique within a pass. A
// triangle whose three keys, in order, were searched before is therefore
// the same triangle (the same corners, sharing a vertex with another
// exactly when it did), and whether two such triangles meet, and whether
// either has a collapsed corner (a key names a leaf or an internal cell),
// is what it was. Every pair the test found then had a collapsed corner of
// the largest side refused, and a refused cell never collapses again: no
// pair of two remembered triangles with a collapsed corner can meet. Only
// pairs with a triangle not remembered need the test.
class TestedTriangles {
 public:
  // Per triangle (its corners numbered into `keys`), 1 when it was not
  // searched before; every triangle when nothing was searched yet.
  std::vector<std::uint8_t> unseen(const std::vector<VertexKey>& keys,
                                   const std::vector<Triangle>& triangles);

  // Whether a search was remembered.
  bool any() const { return any_; }

  // Remembers `triangles` as the ones last searched, forgetting the earlier.
  void remember(const std::vector<VertexKey>& keys, const std::vector<Triangle>& triangles);

 private:
  using Corners = std::array<std::uint64_t, 6>;
  struct CornersHash {
    std::uint64_t operator()(const Corners& c) const;
  };
  static Corners corners_of(const std::vector<VertexKey>& keys, const Triangle& t);
  void file_pending();

  bool any_ = false;
  // The triangles remembered, filed into the set only when asked about:
  // the last search of a run is never asked about.
  std::vector<Corners> pending_;
  bool filed_ = false;  // whether the set holds the last remembered
  FlatHashSet<Corners, CornersHash> searched_;
};

}  // namespace karvex
