#pragma once

#include <cstdint>
#include <vector>

#include "dc/mesh.h"
#include "dc/simplify.h"
#include "octree/octree.h"

namespace karvex {

// What changed between two passes of the cell merges with one set of
// refusals that only grows.
//
// A pass differs from the one before only inside the cells collapsed then
// and refused since: a cell collapsed at the top of its subtree stays so
// unless refused (its merge is remembered, its parent stayed blocked or out
// of tolerance, and what blocks a merge only grows), and a refused cell
// gives way to its children. Every other cell of the contouring tree is the
// same cell, with the same vertex keys at the same points. Keys keep their
// order from pass to pass (the vertices are made in the same walk; a refused
// cell's vertex leaves it and its children's enter it), so the earlier
// vertices are found again by one merge of the two key lists. Should a key
// not be found in order, it and those after it count as gone: users then
// redo more, never less.
class CellPassChanges {
 public:
  static constexpr std::uint64_t kGone = ~std::uint64_t{0};

  // Compares `cells` with the pass last advanced to (`refused` holding
  // every refusal since), then remembers `cells`.
  void advance(const SimplifiedCells& cells, const MergeRefusals& refused);

  // Whether the last advance had an earlier pass to compare with.
  bool known() const { return known_; }

  // Per vertex of the earlier pass, its index in the last advanced one, or
  // kGone (its cell was refused). Indices found keep their order.
  const std::vector<std::uint64_t>& place() const { return place_; }

  // The earlier pass's collapsed cells refused since.
  const std::vector<CellAddress>& refused_cells() const { return refused_cells_; }

  // Per vertex of the last advanced pass, 1 when it is no earlier vertex's
  // place (a refused cell's child, or a key not found in order).
  const std::vector<std::uint8_t>& appeared() const { return appeared_; }

 private:
  bool any_ = false;
  bool known_ = false;
  std::vector<VertexKey> keys_;
  std::vector<std::uint64_t> merged_vertices_;  // per collapsed cell, its vertex
  std::vector<CellAddress> merged_addresses_;   // and its address
  std::vector<std::uint64_t> place_;
  std::vector<CellAddress> refused_cells_;
  std::vector<std::uint8_t> appeared_;
};

}  // namespace karvex
