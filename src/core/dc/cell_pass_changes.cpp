#include "dc/cell_pass_changes.h"

namespace karvex {

void CellPassChanges::advance(const SimplifiedCells& cells, const MergeRefusals& refused) {
  known_ = any_;
  refused_cells_.clear();
  place_.assign(keys_.size(), kGone);
  appeared_.assign(cells.keys.size(), 1);
  if (known_) {
    std::vector<std::uint8_t> gone(keys_.size(), 0);
    for (std::size_t m = 0; m < merged_addresses_.size(); ++m) {
      if (!refused.contains(merged_addresses_[m])) continue;
      refused_cells_.push_back(merged_addresses_[m]);
      gone[merged_vertices_[m]] = 1;
    }
    // Keys are unique within a pass: a key found is that vertex.
    for (std::size_t i = 0, j = 0; i < keys_.size(); ++i) {
      if (gone[i]) continue;
      while (j < cells.keys.size() && cells.keys[j] != keys_[i]) ++j;
      if (j == cells.keys.size()) break;
      appeared_[j] = 0;
      place_[i] = j++;
    }
  }
  any_ = true;
  keys_ = cells.keys;
  merged_vertices_.clear();
  merged_addresses_.clear();
  for (const MergedCell& cell : cells.merged) {
    merged_vertices_.push_back(cell.vertex);
    merged_addresses_.push_back(cell.address);
  }
}

}  // namespace karvex
