#pragma once

#include <cstdint>
#include <vector>

#include "octree/octree.h"

namespace karvex {

// The distinct cells of `cells` (disjoint or nested cells of a tree with
// lattice depth max_depth) in the order a depth-first walk from the root,
// children in octant order, meets them.
//
// That order is the Morton order of the cells' minimum corners on the finest
// lattice (each level's octant read as the bits z, y, x, most significant
// level first), with nested cells of one minimum corner coarser first.
// Balancing sorts its lists of leaves to look at again into it several
// times per pass.
std::vector<CellAddress> in_depth_first_order(const std::vector<CellAddress>& cells,
                                              std::uint8_t max_depth);

}  // namespace karvex
