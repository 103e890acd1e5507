#include "octree/split_cells.h"

#include <algorithm>
#include <array>
#include <optional>
#include <vector>

#include "octree/subgrid.h"
#include "pool/run_monitor.h"
#include "support/panic.h"

namespace karvex {

namespace {

// A cell of the pass, 24 bytes (a pass can hold millions): the sign masks
// of its children (step 1), the record its node frees for recycling
// (step 1), and its block and first record number (step 2).
struct Planned {
  std::array<std::uint8_t, 8> masks{};
  std::uint32_t freed = CornerCache::kAbsent;  // the split Leaf's record, if recycled
  std::uint32_t block = 0;
  std::uint32_t first_record = 0;
  bool split = false;
};

bool is_leaf_mask(std::uint8_t mask) { return mask != 0 && mask != 255; }

// The children of a planned split: kinds by mask; leaf children numbered
// from first_record in octant order, the newest taking the freed record
// when there is one.
ChildBlock children_of(const Planned& p) {
  ChildBlock children;
  std::uint32_t next = p.first_record;
  int newest = -1;
  for (unsigned o = 0; o < 8; ++o) {
    const std::uint8_t mask = p.masks[o];
    children[o] = mask == 0     ? OctreeNode::empty()
                  : mask == 255 ? OctreeNode::full()
                                : OctreeNode::leaf(next++, mask);
    if (is_leaf_mask(mask)) newest = static_cast<int>(o);
  }
  if (newest >= 0 && p.freed != CornerCache::kAbsent) children[newest].index = p.freed;
  return children;
}

// The node at `place`; a place outside the tree fails as Octree::block does.
const OctreeNode& node_at(const Octree& tree, const NodePlace& place) {
  return place.root ? tree.root : tree.block(place.block)[place.octant];
}

// The sub-grid samples of a cell, checked against the cache.
std::array<const CornerSample*, 27> subgrid_samples(const CornerCache& cache,
                                                    const SubgridSlots& slots,
                                                    const char* missing_message) {
  std::array<const CornerSample*, 27> found;
  for (unsigned s = 0; s < 27; ++s) {
    if (slots[s] >= cache.size()) fail(missing_message);
    found[s] = &cache.sample(slots[s]);
  }
  return found;
}

// The sign masks of the eight children, as make_node computes them.
std::array<std::uint8_t, 8> child_masks(const std::array<const CornerSample*, 27>& found,
                                        double iso) {
  std::uint32_t below = 0;  // bit s: sub-grid point s is below the level
  for (unsigned s = 0; s < 27; ++s) {
    // A NaN value compares false and so counts as not below the level.
    if (found[s]->value < iso) below |= 1u << s;
  }
  std::array<std::uint8_t, 8> masks{};
  for (unsigned o = 0; o < 8; ++o) {
    for (unsigned i = 0; i < 8; ++i) {
      if ((below >> kSubgrid.child_corner[o][i]) & 1u) masks[o] |= static_cast<std::uint8_t>(1u << i);
    }
  }
  return masks;
}

// The record of child o, as make_node fills it.
void write_record(LeafData& leaf, const std::array<const CornerSample*, 27>& found, unsigned o,
                  std::uint8_t mask) {
  leaf = LeafData{};
  leaf.sign_mask = mask;
  for (unsigned i = 0; i < 8; ++i) leaf.values[i] = found[kSubgrid.child_corner[o][i]]->value;
}

}  // namespace

std::size_t split_cells(Octree& tree, const CornerCache& cache, const SplitPass& pass,
                        WorkerPool& pool) {
  const std::size_t n = pass.places.size();
  if (pass.slots.size() != n) fail("split pass: one sub-grid per cell expected");

  // 1. Checks and classification; nothing is written to the tree. Only
  // step 3 counts towards the progress of the open stage (one per cell).
  std::optional<RunMonitor::Suspended> quiet(std::in_place);
  std::vector<Planned> planned = parallel_map<Planned>(pool, n, [&](std::size_t i) {
    Planned p;
    const OctreeNode old = node_at(tree, pass.places[i]);
    const auto found = subgrid_samples(cache, pass.slots[i], pass.missing_message);
    p.split = !old.is_internal();
    if (p.split) p.masks = child_masks(found, tree.iso_value);
    if (pass.recycle_records && old.kind == NodeKind::Leaf) p.freed = old.index;
    return p;
  });

  // 2. Numbers, in list order: the splits' blocks follow the tree's blocks;
  // each split's leaf children take the next record numbers in octant order,
  // and with recycling a split Leaf's record goes to the newest of them.
  std::size_t blocks = tree.blocks.size();
  std::size_t records = tree.leaves.size();
  for (Planned& p : planned) {
    if (!p.split) continue;
    if (blocks >= CornerCache::kAbsent || records >= CornerCache::kAbsent - 8) {
      fail("octree too large for 32-bit node indices");
    }
    p.block = static_cast<std::uint32_t>(blocks++);
    p.first_record = static_cast<std::uint32_t>(records);
    unsigned leaves = 0;
    for (std::uint8_t mask : p.masks) leaves += is_leaf_mask(mask) ? 1u : 0u;
    records += leaves;
    if (leaves == 0) {
      p.freed = CornerCache::kAbsent;
    } else if (p.freed != CornerCache::kAbsent) {
      --records;  // the newest child takes the freed record
    }
  }
  quiet.reset();
  const std::size_t first_block = tree.blocks.size();
  const std::size_t added = blocks - first_block;
  // Room first (these may throw), then the sizes: the tree changes only once
  // nothing can fail any more.
  tree.leaves.reserve(records);
  // Geometric growth, as appending block by block had: an exact reserve
  // would copy every block again on every pass.
  if (tree.blocks.capacity() < blocks) {
    tree.blocks.reserve(std::max(blocks, 2 * tree.blocks.capacity()));
  }
  tree.leaves.extend_to(records);
  tree.blocks.resize(blocks);

  // 3. Records, blocks and nodes; every cell writes its own.
  pool.run(n, kDefaultMinChunk, [&](LoopRange& range) {
    for (std::size_t i = range.begin(); range.keep_going(i); ++i) {
      const Planned& p = planned[i];
      if (!p.split) continue;
      const auto found = subgrid_samples(cache, pass.slots[i], pass.missing_message);
      const ChildBlock children = children_of(p);
      for (unsigned o = 0; o < 8; ++o) {
        const OctreeNode& child = children[o];
        if (child.kind == NodeKind::Leaf) {
          write_record(tree.leaves[child.index], found, o, child.sign_mask);
        }
      }
      tree.blocks[p.block] = children;
      const NodePlace& place = pass.places[i];
      (place.root ? tree.root : tree.blocks[place.block][place.octant]) =
          OctreeNode::internal(p.block);
    }
  });
  return added;
}

}  // namespace karvex
