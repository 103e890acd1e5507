#pragma once

// Splitting the cells of one refinement pass on the worker pool.
//
// A pass splits a list of cells whose sub-grid samples are cached. Done one
// cell at a time, each split builds the cell's eight children (make_children),
// appends their leaf records and their block, and turns the cell's node
// Internal; construction then also hands a split Leaf's record to the newest
// record of its children. The numbers this gives to blocks and records depend
// only on the list order and on how many children of each cell are leaves,
// so they are worked out in one cheap serial pass between two parallel ones:
//
//   1. per cell, in parallel: check the sample entries and the node's place,
//      and classify the eight children (kind and sign mask) from the samples;
//   2. serially, in list order: number the blocks and the leaf records
//      exactly as the one-at-a-time splits would;
//   3. per cell, in parallel: write the leaf records, the block and the
//      cell's node, each to a place no other cell writes.
//
// The tree is identical to that of the one-at-a-time splits for any number
// of workers, and unchanged when step 1 fails. Step 3 advances the open
// progress stage by one per cell.

#include <cstdint>
#include <span>

#include "octree/corner_cache.h"
#include "octree/octree.h"
#include "pool/worker_pool.h"

namespace karvex {

// Where a cell's node sits: entry `octant` of block `block`, or the root.
struct NodePlace {
  std::uint32_t block = 0;
  std::uint8_t octant = 0;
  bool root = false;
};

struct SplitPass {
  // The cells' node places and the cache entries of their 3x3x3 sub-grids,
  // one each, in list order. The places are distinct.
  std::span<const NodePlace> places;
  std::span<const SubgridSlots> slots;
  // true: a split Leaf's record is taken over by the newest record among its
  // children (if any), so that the record array holds live leaves only.
  bool recycle_records = false;
  // An entry beyond the cache fails with this message.
  const char* missing_message = "corner not in cache";
};

// Splits every cell of `pass` whose node is not Internal already (a cell
// whose node is Internal is left alone, its entries still checked). Returns
// the number of blocks appended (one per split, in list order). Failures (an
// entry beyond the cache, a place outside the tree) are those of the lowest
// failing cell and leave the tree as it was.
std::size_t split_cells(Octree& tree, const CornerCache& cache, const SplitPass& pass,
                        WorkerPool& pool);

}  // namespace karvex
