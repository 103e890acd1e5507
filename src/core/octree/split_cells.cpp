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

// A cell of the pass after step 1: its children with kinds and masks (leaf
// record numbers still to come), the node it replaces, and whether it is
// split at all.
struct Planned {
  ChildBlock children{};
  OctreeNode old;
  bool split = false;
};

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

// The kinds and masks of the eight children, as make_node decides them.
ChildBlock classify_children(const std::array<const CornerSample*, 27>& found, double iso) {
  std::uint32_t below = 0;  // bit s: sub-grid point s is below the level
  for (unsigned s = 0; s < 27; ++s) {
    // A NaN value compares false and so counts as not below the level.
    if (found[s]->value < iso) below |= 1u << s;
  }
  ChildBlock children;
  for (unsigned o = 0; o < 8; ++o) {
    std::uint8_t mask = 0;
    for (unsigned i = 0; i < 8; ++i) {
      if ((below >> kSubgrid.child_corner[o][i]) & 1u) mask |= static_cast<std::uint8_t>(1u << i);
    }
    children[o] = mask == 0     ? OctreeNode::empty()
                  : mask == 255 ? OctreeNode::full()
                                : OctreeNode::leaf(0, mask);
  }
  return children;
}

// The record of child o, as make_node fills it.
void write_record(LeafData& leaf, const std::array<const CornerSample*, 27>& found, unsigned o,
                  std::uint8_t mask) {
  leaf = LeafData{};
  leaf.sign_mask = mask;
  bool all_gradients = true;
  for (unsigned i = 0; i < 8; ++i) {
    const CornerSample& sample = *found[kSubgrid.child_corner[o][i]];
    leaf.values[i] = sample.value;
    all_gradients = all_gradients && sample.has_gradient;
  }
  leaf.has_gradients = all_gradients;
  if (all_gradients) {
    for (unsigned i = 0; i < 8; ++i) leaf.gradients[i] = found[kSubgrid.child_corner[o][i]]->gradient;
  }
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
    p.old = node_at(tree, pass.places[i]);
    const auto found = subgrid_samples(cache, pass.slots[i], pass.missing_message);
    p.split = !p.old.is_internal();
    if (p.split) p.children = classify_children(found, tree.iso_value);
    return p;
  });

  // 2. Numbers, in list order: the splits' blocks follow the tree's blocks;
  // each split's leaf children take the next record numbers in octant order,
  // and with recycling a split Leaf's record goes to the newest of them.
  std::size_t blocks = tree.blocks.size();
  std::size_t records = tree.leaves.size();
  for (Planned& p : planned) {
    if (!p.split) continue;
    ++blocks;
    OctreeNode* newest = nullptr;
    for (OctreeNode& child : p.children) {
      if (child.kind != NodeKind::Leaf) continue;
      child.index = static_cast<std::uint32_t>(records++);
      newest = &child;
    }
    if (pass.recycle_records && p.old.kind == NodeKind::Leaf && newest != nullptr) {
      newest->index = p.old.index;
      --records;
    }
  }
  if (blocks > CornerCache::kAbsent || records > CornerCache::kAbsent) {
    fail("octree too large for 32-bit node indices");
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
  std::vector<std::uint32_t> block_of(n);
  std::size_t next = first_block;
  for (std::size_t i = 0; i < n; ++i) {
    if (planned[i].split) block_of[i] = static_cast<std::uint32_t>(next++);
  }
  pool.run(n, kDefaultMinChunk, [&](LoopRange& range) {
    for (std::size_t i = range.begin(); range.keep_going(i); ++i) {
      const Planned& p = planned[i];
      if (!p.split) continue;
      const auto found = subgrid_samples(cache, pass.slots[i], pass.missing_message);
      for (unsigned o = 0; o < 8; ++o) {
        const OctreeNode& child = p.children[o];
        if (child.kind == NodeKind::Leaf) write_record(tree.leaves[child.index], found, o, child.sign_mask);
      }
      tree.blocks[block_of[i]] = p.children;
      const NodePlace& place = pass.places[i];
      (place.root ? tree.root : tree.blocks[place.block][place.octant]) =
          OctreeNode::internal(block_of[i]);
    }
  });
  return added;
}

}  // namespace karvex
