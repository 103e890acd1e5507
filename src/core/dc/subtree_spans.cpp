#include "dc/subtree_spans.h"

#include "support/panic.h"

namespace karvex {

std::uint64_t append_kept_subtree(const SimplifiedCells& last,
                                  const std::vector<SubtreeSpan>& spans, std::uint64_t block,
                                  SimplifiedCells& out, std::vector<SubtreeSpan>& out_spans) {
  const SubtreeSpan& span = checked_at(spans, block);
  if (span.first_block > block || span.end_vertex > last.positions.size() ||
      span.end_merged > last.merged.size()) {
    fail("a kept subtree's span lies outside its collapse");
  }
  // Each number moves by what lies before it now less what lay before it
  // then (unsigned: the sums wrap back into range).
  const std::uint64_t block_shift = out.blocks.size() - span.first_block;
  const std::uint64_t vertex_shift = out.positions.size() - span.first_vertex;
  const std::uint64_t merged_shift = out.merged.size() - span.first_merged;
  for (std::uint64_t b = span.first_block; b <= block; ++b) {
    ContourBlock copy = last.blocks[b];
    for (ContourNode& node : copy) {
      if (node.kind == ContourKind::Internal) node.index += block_shift;
      if (node.kind == ContourKind::Cell) node.index += vertex_shift;
    }
    out.blocks.push_back(copy);
    SubtreeSpan moved = checked_at(spans, b);
    moved.first_block += block_shift;
    moved.first_vertex += vertex_shift;
    moved.end_vertex += vertex_shift;
    moved.first_merged += merged_shift;
    moved.end_merged += merged_shift;
    out_spans.push_back(moved);
  }
  const auto from = static_cast<std::ptrdiff_t>(span.first_vertex);
  const auto to = static_cast<std::ptrdiff_t>(span.end_vertex);
  out.positions.insert(out.positions.end(), last.positions.begin() + from,
                       last.positions.begin() + to);
  out.boxes.insert(out.boxes.end(), last.boxes.begin() + from, last.boxes.begin() + to);
  out.keys.insert(out.keys.end(), last.keys.begin() + from, last.keys.begin() + to);
  for (std::uint64_t m = span.first_merged; m < span.end_merged; ++m) {
    MergedCell cell = last.merged[m];
    cell.vertex += vertex_shift;
    out.merged.push_back(cell);
  }
  out.collapsed_count += span.end_merged - span.first_merged;
  return span.cells;
}

bool refused_since(const MergeRefusals& seen, const MergeRefusals& refused,
                   MergeRefusals& touched) {
  std::size_t kept = 0;
  for (const CellAddress& address : refused) {
    if (seen.contains(address)) {
      ++kept;
      continue;
    }
    // The cell and its ancestors, up to one already marked (its own
    // ancestors are then marked too).
    for (CellAddress at = address;; at = {at.x >> 1, at.y >> 1, at.z >> 1,
                                          static_cast<std::uint8_t>(at.d - 1)}) {
      if (!touched.insert(at).second || at.d == 0) break;
    }
  }
  return kept == seen.size();
}

}  // namespace karvex
