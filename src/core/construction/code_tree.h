#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "octree/cell_codes.h"
#include "octree/octree.h"
#include "pool/worker_pool.h"

namespace karvex {

// The nodes above the finest cells `codes` (sorted, distinct, each a
// surface leaf whose sign mask is masks[n] for codes[n]; its Leaf node's
// index is n): a leaf per code, Empty or Full for every region without one, as shallow as it can
// be, its side told by `below` at a lattice point in it, and Internal
// nodes between, their blocks appended to tree.blocks in post-order (each
// after the blocks beneath it). Returns the root. The subtrees of the 64
// cells at depth 2 are assembled on `pool`; the result does not depend on
// the number of workers. A finest cell without a code takes its side from a
// leaf sibling's sign mask (all of a block's children share its centre),
// so the leaves' masks must agree with `below`.
OctreeNode assemble_code_tree(Octree& tree, const std::vector<std::uint64_t>& codes,
                              const std::vector<std::uint8_t>& masks,
                              const std::function<bool(const CornerKey&)>& below,
                              WorkerPool& pool);

}  // namespace karvex
