// The octree model: node access, addresses and traversals (see octree.h).
#include "octree/octree.h"

#include <algorithm>

#include "support/panic.h"

namespace karvex {

void Octree::fail_block_index(std::uint32_t index) const { fail_index(blocks.size(), index); }

const LeafData& Octree::leaf(const OctreeNode& node) const {
  if (node.index >= leaves.size()) fail_index(leaves.size(), node.index);
  return leaves[node.index];
}

const OctreeNode& Octree::child(const OctreeNode& node, unsigned octant) const {
  // Only an Internal node's index names a block; a Leaf's names a record.
  if (!node.is_internal()) fail("octree node has no children: it is not internal");
  if (octant >= 8) fail_index(8, octant);
  return block(node.index)[octant];
}

std::uint32_t Octree::append_block(const ChildBlock& children) {
  blocks.push_back(children);
  return static_cast<std::uint32_t>(blocks.size() - 1);
}

Octree make_octree(const BBox& box, std::uint8_t min_depth, std::uint8_t max_depth,
                   double iso_value) {
  Octree tree;
  const Cube cube = cube_from_box(box);
  tree.origin = cube.origin;
  tree.size = cube.size;
  tree.box = box;
  tree.iso_value = iso_value;
  tree.min_depth = min_depth;
  tree.max_depth = max_depth;
  return tree;
}

namespace {

void count_from(const Octree& tree, const OctreeNode& node, std::uint8_t depth,
                OctreeStats& stats) {
  switch (node.kind) {
    case NodeKind::Internal: {
      ++stats.internal_count;
      const ChildBlock& children = tree.block(node.index);
      for (const OctreeNode& child : children) count_from(tree, child, depth + 1, stats);
      break;
    }
    case NodeKind::Empty:
      ++stats.empty_count;
      break;
    case NodeKind::Full:
      ++stats.full_count;
      break;
    case NodeKind::Leaf:
      ++stats.leaf_count;
      stats.max_leaf_depth = std::max(stats.max_leaf_depth, depth);
      break;
  }
}

}  // namespace

OctreeStats count_nodes(const Octree& tree) {
  OctreeStats stats;
  count_from(tree, tree.root, 0, stats);
  return stats;
}

}  // namespace karvex
