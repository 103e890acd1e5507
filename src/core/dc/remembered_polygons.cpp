#include "dc/remembered_polygons.h"

#include <algorithm>
#include <unordered_set>

#include "pool/worker_pool.h"

namespace karvex {

std::uint64_t RememberedPolygons::cell_key(unsigned depth, std::uint32_t x, std::uint32_t y,
                                           std::uint32_t z) {
  // Coordinates below 2^kLevels: 16 bits each are plenty.
  static_assert(kLevels <= 16);
  return std::uint64_t{depth} | (std::uint64_t{x} << 8) | (std::uint64_t{y} << 24) |
         (std::uint64_t{z} << 40);
}

std::uint64_t RememberedPolygons::piece_key(const EdgePiece& piece) {
  return cell_key(piece.depth, piece.at[0], piece.at[1], piece.at[2]) |
         (std::uint64_t{piece.inner} << 56);
}

std::vector<EdgePolygon> RememberedPolygons::polygons(WorkerPool& pool,
                                                      const SimplifiedCells& cells,
                                                      const CellPassChanges& changes) {
  // The pieces holding a cell refused since (at its own depth or above).
  // Pieces inside one are new ones, in no earlier list.
  std::unordered_set<std::uint64_t> changed;
  for (const CellAddress& a : changes.refused_cells()) {
    for (unsigned depth = 0; depth <= std::min<unsigned>(a.d, kLevels); ++depth) {
      const unsigned shift = a.d - depth;
      changed.insert(cell_key(depth, a.x >> shift, a.y >> shift, a.z >> shift));
    }
  }
  const bool known = changes.known() && !pieces_.empty();
  const std::vector<std::uint64_t>& place = changes.place();
  const auto reuse = [&](const EdgePiece& piece, std::vector<EdgePolygon>& out) {
    if (!known || changed.contains(cell_key(piece.depth, piece.at[0], piece.at[1], piece.at[2]))) {
      return false;
    }
    const auto found = pieces_.find(piece_key(piece));
    if (found == pieces_.end()) return false;
    const std::size_t k = found->second;
    out.reserve(starts_[k + 1] - starts_[k]);
    for (std::size_t p = starts_[k]; p < starts_[k + 1]; ++p) {
      EdgePolygon polygon = polygons_[p];
      const unsigned corners = polygon.quad ? 4 : 3;
      for (unsigned c = 0; c < corners; ++c) {
        const std::uint64_t v = place[polygon.vertices[c]];
        if (v == CellPassChanges::kGone) return false;
        polygon.vertices[c] = v;
      }
      out.push_back(polygon);
    }
    return true;
  };
  std::vector<EdgePiece> pieces;
  std::vector<std::size_t> starts;
  std::vector<EdgePolygon> out =
      minimal_edge_polygons_by_piece(pool, cells, kLevels, reuse, pieces, starts);
  pieces_.clear();
  for (std::size_t k = 0; k < pieces.size(); ++k) pieces_.emplace(piece_key(pieces[k]), k);
  starts_ = std::move(starts);
  polygons_ = out;
  return out;
}

}  // namespace karvex
