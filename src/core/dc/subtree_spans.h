#pragma once

#include <cstdint>
#include <vector>

#include "dc/simplify.h"

namespace karvex {

// A collapse of the cells with more refusals than the last one differs from
// it only along the paths from the root to the cells refused since: any
// other subtree the last collapse kept whole (an internal node of its
// contouring tree) holds no new refusal and makes the same blocks, vertices
// and collapsed cells again, only numbered from where the new collapse has
// got to. These two steps let simplify_cells take such a subtree over
// instead of walking it.

// Appends to `out` the subtree of `last` whose own block is `block` (its
// blocks, vertices with their boxes and keys, and collapsed cells, in the
// same order), renumbered to follow what `out` holds, and to `out_spans`
// the spans of its blocks renumbered likewise. `spans` are `last`'s.
// Returns how many surface cells the subtree holds.
std::uint64_t append_kept_subtree(const SimplifiedCells& last,
                                  const std::vector<SubtreeSpan>& spans, std::uint64_t block,
                                  SimplifiedCells& out, std::vector<SubtreeSpan>& out_spans);

// Puts into `touched` every cell refused in `refused` but not in `seen`,
// with every cell above it. False when `seen` holds a cell that `refused`
// does not: refusals then did not only grow, and no subtree is taken over.
bool refused_since(const MergeRefusals& seen, const MergeRefusals& refused,
                   MergeRefusals& touched);

}  // namespace karvex
