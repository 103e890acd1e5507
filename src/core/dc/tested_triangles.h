#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "dc/mesh.h"
#include "dc/simplify.h"

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
  // `refused`, when given, holds every refusal since the search remembered:
  // it only speeds the matching of the two passes' keys, which is exact
  // either way.
  std::vector<std::uint8_t> unseen(const std::vector<VertexKey>& keys,
                                   const std::vector<Triangle>& triangles,
                                   const MergeRefusals* refused = nullptr) const;

  // Whether a search was remembered.
  bool any() const { return any_; }

  // Remembers `triangles` as the ones last searched, forgetting the earlier.
  void remember(const std::vector<VertexKey>& keys, const std::vector<Triangle>& triangles);

 private:
  static constexpr std::uint64_t kGone = ~std::uint64_t{0};

  // Per remembered vertex, the number `keys` gives its key, or kGone.
  std::vector<std::uint64_t> places(const std::vector<VertexKey>& keys,
                                    const MergeRefusals* refused) const;

  bool any_ = false;
  std::vector<VertexKey> keys_;     // the remembered search's vertices
  std::vector<Triangle> triangles_;  // and its triangles
};

}  // namespace karvex
