#include "reference_octree.h"

#include "support/panic.h"

namespace karvex::testing {

OctreeNode add_leaf(Octree& tree, const LeafData& data) {
  tree.leaves.push_back(data);
  return OctreeNode::leaf(static_cast<std::uint32_t>(tree.leaves.size() - 1), data.sign_mask);
}

std::vector<std::uint8_t> cell_path(const CornerKey& corner, std::uint8_t d,
                                    std::uint8_t max_depth) {
  std::vector<std::uint8_t> path;
  path.reserve(d);
  CornerKey rest = corner;
  std::uint32_t e = shl(1u, static_cast<unsigned>(max_depth) - 1u);
  for (unsigned step = 0; step < d; ++step) {
    std::uint8_t octant = 0;
    if (rest.x >= e) {
      octant |= 1;
      rest.x -= e;
    }
    if (rest.y >= e) {
      octant |= 2;
      rest.y -= e;
    }
    if (rest.z >= e) {
      octant |= 4;
      rest.z -= e;
    }
    path.push_back(octant);
    e >>= 1;
  }
  return path;
}

OctreeNode& node_at_path(Octree& tree, const std::vector<std::uint8_t>& path) {
  OctreeNode* node = &tree.root;
  for (std::uint8_t octant : path) {
    if (!node->is_internal()) fail("octree path leads through a node that is not internal");
    if (octant >= 8) fail_index(8, octant);
    node = &tree.block(node->index)[octant];
  }
  return *node;
}

void gather_split_corners(const Octree& tree, const CornerCache& cache, const CornerKey& corner,
                          std::uint8_t d, CornerBatch& batch) {
  const std::uint32_t q = pow2(static_cast<unsigned>(tree.max_depth) - d - 1u);
  for (std::uint32_t child = 0; child < 8; ++child) {
    const std::uint32_t bx = child & 1u, by = (child >> 1) & 1u, bz = (child >> 2) & 1u;
    for (std::uint32_t i = 0; i < 8; ++i) {
      const std::uint32_t dx = i & 1u, dy = (i >> 1) & 1u, dz = (i >> 2) & 1u;
      batch.add_if_new(
          tree, cache,
          {corner.x + bx * q + dx * q, corner.y + by * q + dy * q, corner.z + bz * q + dz * q});
    }
  }
}

}  // namespace karvex::testing
