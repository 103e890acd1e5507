#pragma once

// Plain forms of octree operations, and helpers for trees assembled by hand,
// for tests only. Production walks and gathers through faster routes (path
// cursors, the 3x3x3 sub-grid, PendingCorners); tests compare those against
// these.

#include <cstdint>
#include <vector>

#include "octree/corner_cache.h"
#include "octree/octree.h"

namespace karvex::testing {

// Appends a leaf record to the tree and returns a Leaf node naming it.
OctreeNode add_leaf(Octree& tree, const LeafData& data);

// The octants from the root down to the cell of depth d with minimum corner
// (X, Y, Z): E starts at 2^(max_depth-1); each step sets bit 0/1/2 when
// X/Y/Z >= E, subtracts E from those coordinates and halves E.
std::vector<std::uint8_t> cell_path(const CornerKey& min_corner, std::uint8_t d,
                                    std::uint8_t max_depth);

// The node reached by following `path` from the root; every node on the way
// must be Internal (else an invariant failure).
OctreeNode& node_at_path(Octree& tree, const std::vector<std::uint8_t>& path);

// Adds to `batch` the corners of the eight children of the cell with minimum
// corner `corner` at depth d, the 64-corner walk: for each child octant
// (bx, by, bz) = 0..7, each child corner (dx, dy, dz) = 0..7, the key
// (X + bx*q + dx*q, ...) with q = 2^(max_depth - d - 1), unless the cache or
// the batch holds it. PendingCorners::gather_split_corners gathers the same
// keys in the same order from the 27 points of the sub-grid.
void gather_split_corners(const Octree& tree, const CornerCache& cache, const CornerKey& corner,
                          std::uint8_t d, CornerBatch& batch);

}  // namespace karvex::testing
