#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "dc/cell_pass_changes.h"
#include "dc/mesh.h"
#include "dc/minimal_edge_faces.h"
#include "dc/simplify.h"

namespace karvex {

class WorkerPool;

// The face walk of the cell merges' passes, redone only where a pass
// changed the cells (cell_pass_changes.h). A piece of the walk
// (minimal_edge_polygons_by_piece) reads only its own cell's subtree, so a
// piece whose cell neither holds nor lies in a cell refused since the last
// walk is the same piece, and its polygons are the last ones with each
// vertex renumbered to its key's new place. A piece that cannot be
// renumbered (a vertex gone) is walked again: the result is always the
// walk's.
class RememberedPolygons {
 public:
  // minimal_edge_polygons(pool, cells) without a tile; `changes` advanced
  // to `cells` from the cells of the last call.
  std::vector<EdgePolygon> polygons(WorkerPool& pool, const SimplifiedCells& cells,
                                    const CellPassChanges& changes);

 private:
  // Pieces this many levels below the root: fine enough that a few refused
  // cells leave most of the walk as it was.
  static constexpr unsigned kLevels = 5;

  static std::uint64_t cell_key(unsigned depth, std::uint32_t x, std::uint32_t y,
                                std::uint32_t z);
  static std::uint64_t piece_key(const EdgePiece& piece);

  // The last call's cells and polygons.
  std::unordered_map<std::uint64_t, std::size_t> pieces_;  // piece_key -> its place
  std::vector<std::size_t> starts_;  // polygons of piece k: starts_[k] .. starts_[k + 1]
  std::vector<EdgePolygon> polygons_;
};

}  // namespace karvex
