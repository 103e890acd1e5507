#include "balance/balance_primitives.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "support/panic.h"

namespace karvex {

namespace {

constexpr const char* kMissingCorner = "corner not in cache during balance subdivision";

// Right shift with the amount taken modulo 32, like shl in the octree model.
inline std::uint32_t shr(std::uint32_t value, unsigned shift) { return value >> (shift & 31u); }

// Side of each child of a depth-d cell, in lattice steps. Only meaningful for
// d < max_depth; callers check that first.
inline std::uint32_t child_half_size(const Octree& tree, std::uint8_t d) {
  return pow2(static_cast<unsigned>(tree.max_depth) - d - 1u);
}

inline CornerKey offset(const CornerKey& base, unsigned octant, std::uint32_t q) {
  return {base.x + (octant & 1u) * q, base.y + ((octant >> 1) & 1u) * q,
          base.z + ((octant >> 2) & 1u) * q};
}

template <bool kSurfaceOnly>
void collect_leaves(const Octree& tree, const OctreeNode& node, const CellAddress& cell,
                    std::vector<CellAddress>& out) {
  if (node.is_internal()) {
    const ChildBlock& children = tree.block(node.index);
    for (unsigned c = 0; c < 8; ++c) {
      collect_leaves<kSurfaceOnly>(tree, children[c], child_cell(cell, c), out);
    }
    return;
  }
  if (!kSurfaceOnly || tree.is_surface_leaf(node)) out.push_back(cell);
}

// Fails exactly as building the children would when one of the 27 lattice
// points of the cell's child grid is not cached.
void require_child_corners(const CornerCache& cache, const CornerKey& corner, std::uint32_t q) {
  for (unsigned c = 0; c < 8; ++c) {
    const CornerKey child = offset(corner, c, q);
    for (unsigned i = 0; i < 8; ++i) {
      if (cache.find(offset(child, i, q)) == cache.end()) fail(kMissingCorner);
    }
  }
}

}  // namespace

std::vector<CellAddress> list_leaves(const Octree& tree) {
  std::vector<CellAddress> out;
  collect_leaves<false>(tree, tree.root, CellAddress{}, out);
  return out;
}

std::vector<CellAddress> list_surface_leaves(const Octree& tree) {
  std::vector<CellAddress> out;
  collect_leaves<true>(tree, tree.root, CellAddress{}, out);
  return out;
}

bool subtree_has_surface(const Octree& tree, const OctreeNode& node) {
  switch (node.kind) {
    case NodeKind::Leaf:
      return tree.is_surface_leaf(node);
    case NodeKind::Empty:
    case NodeKind::Full:
      return false;
    case NodeKind::Internal: {
      const ChildBlock& children = tree.block(node.index);
      for (const OctreeNode& child : children) {
        if (subtree_has_surface(tree, child)) return true;
      }
      return false;
    }
  }
  return false;
}

namespace {

// The lattice points of one refined cell's closed box on the grid of the
// target depth, one bit each: which of them the gathering has met already.
// Refining a cell uniformly meets every interior point up to eight times per
// level; the bit turns all but the first meeting into one load.
//
// Points strictly inside the cell need no other bookkeeping: the cells of one
// pass are distinct leaves, so no other cell's closed box reaches them. Points
// on the cell's boundary can be shared with the pass's other cells and go
// through the batch's set of gathered keys.
class RegionVisits {
 public:
  RegionVisits(const CornerKey& corner, unsigned levels, unsigned step_shift)
      : corner_(corner),
        shift_(step_shift),
        last_(std::uint32_t{1} << levels),
        side_(std::size_t{last_} + 1),
        seen_((side_ * side_ * side_ + 63) / 64, 0) {}

  // Notes `key` in `out` when this is its first meeting and the cache does
  // not hold it, as a boundary point or not.
  void visit(const CornerCache& cache, const CornerKey& key, std::vector<CornerCandidate>& out) {
    const std::uint32_t i = (key.x - corner_.x) >> shift_;
    const std::uint32_t j = (key.y - corner_.y) >> shift_;
    const std::uint32_t k = (key.z - corner_.z) >> shift_;
    const std::size_t bit = (std::size_t{k} * side_ + j) * side_ + i;
    std::uint64_t& word = seen_[bit >> 6];
    const std::uint64_t mask = std::uint64_t{1} << (bit & 63u);
    if (word & mask) return;
    word |= mask;
    if (cache.contains(key)) return;
    const bool boundary = i == 0 || j == 0 || k == 0 || i == last_ || j == last_ || k == last_;
    out.push_back({key, boundary});
  }

 private:
  CornerKey corner_;
  unsigned shift_;
  std::uint32_t last_;
  std::size_t side_;
  std::vector<std::uint64_t> seen_;
};

// Deeper refinements would need a bitmap of more than 2^27 bits; they gather
// through the set alone (and gather over 10^8 points, so they are rare).
constexpr unsigned kMaxRegionLevels = 9;

// The recursion of gather_refinement_corners; `visit(key)` handles each
// child corner met, in order.
template <typename Visit>
void walk_refinement_corners(const Octree& tree, const CornerKey& corner, std::uint8_t d,
                             std::uint8_t target, Visit& visit) {
  if (d >= target || d >= tree.max_depth) return;
  const std::uint32_t q = child_half_size(tree, d);
  for (unsigned c = 0; c < 8; ++c) {
    const CornerKey child = offset(corner, c, q);
    for (unsigned i = 0; i < 8; ++i) visit(offset(child, i, q));
    // Depth-first, so the batch lists keys in the order refine_to_depth
    // first reads them.
    if (d + 1 < target) {
      walk_refinement_corners(tree, child, static_cast<std::uint8_t>(d + 1), target, visit);
    }
  }
}

}  // namespace

void refinement_candidates(const Octree& tree, const CornerCache& cache, const CornerKey& corner,
                           std::uint8_t d, std::uint8_t target,
                           std::vector<CornerCandidate>& out) {
  const std::uint8_t last = std::min(target, tree.max_depth);
  if (d >= last) return;
  const unsigned levels = static_cast<unsigned>(last) - d;
  if (levels > kMaxRegionLevels) {
    // The first meeting of each uncached point; the batch's set then
    // deduplicates them across cells.
    CornerKeySet met;
    auto visit = [&](const CornerKey& key) {
      if (!cache.contains(key) && met.insert(key)) out.push_back({key, true});
    };
    walk_refinement_corners(tree, corner, d, target, visit);
    return;
  }
  RegionVisits region(corner, levels, static_cast<unsigned>(tree.max_depth) - last);
  auto visit = [&](const CornerKey& key) { region.visit(cache, key, out); };
  walk_refinement_corners(tree, corner, d, target, visit);
}

void add_candidates(const Octree& tree, std::span<const CornerCandidate> candidates,
                    CornerBatch& batch) {
  for (const CornerCandidate& c : candidates) {
    if (c.boundary && !batch.claim(c.key)) continue;
    batch.append(tree, c.key);
  }
}

void gather_refinement_corners(const Octree& tree, const CornerCache& cache,
                               const CornerKey& corner, std::uint8_t d, std::uint8_t target,
                               CornerBatch& batch) {
  std::vector<CornerCandidate> candidates;
  refinement_candidates(tree, cache, corner, d, target, candidates);
  add_candidates(tree, candidates, batch);
}

void gather_refinement_corners_by_lookup(const Octree& tree, const CornerCache& cache,
                                         const CornerKey& corner, std::uint8_t d,
                                         std::uint8_t target, CornerBatch& batch) {
  auto visit = [&](const CornerKey& key) { batch.add_if_new(tree, cache, key); };
  walk_refinement_corners(tree, corner, d, target, visit);
}

namespace {

// Where the node of the cell with minimum corner `corner` at depth d sits:
// entry `octant` of block `block` (the root when d = 0). Found by the cell's
// path (octant bits from the minimum corner, most significant lattice bit
// first); kept as indices, since appending a block may move every block in
// memory.
struct NodePlace {
  std::uint32_t block = 0;
  unsigned octant = 0;
  bool internal = false;  // the node there is already Internal
};

NodePlace find_place(const Octree& tree, const CornerKey& corner, std::uint8_t d) {
  if (d >= tree.max_depth) fail("balance subdivision of a cell at the deepest level");
  NodePlace place;
  const OctreeNode* node = &tree.root;
  CornerKey rest = corner;
  std::uint32_t e = pow2(static_cast<unsigned>(tree.max_depth) - 1u);
  for (unsigned step = 0; step < d; ++step) {
    // A coarser leaf covering the cell means the caller's address is not a
    // node of this tree; replacing that leaf would graft the wrong cell.
    if (!node->is_internal()) fail("balance subdivision of a cell that a coarser leaf covers");
    unsigned octant = 0;
    if (rest.x >= e) {
      octant |= 1u;
      rest.x -= e;
    }
    if (rest.y >= e) {
      octant |= 2u;
      rest.y -= e;
    }
    if (rest.z >= e) {
      octant |= 4u;
      rest.z -= e;
    }
    place.block = node->index;
    place.octant = octant;
    node = &tree.block(place.block)[octant];
    e >>= 1;
  }
  place.internal = node->is_internal();
  return place;
}

void replace_node(Octree& tree, const NodePlace& place, std::uint8_t d,
                  const ChildBlock& children) {
  const std::uint32_t index = tree.append_block(children);
  OctreeNode& slot = d == 0 ? tree.root : tree.block(place.block)[place.octant];
  slot = OctreeNode::internal(index);
}

}  // namespace

void balance_split(Octree& tree, const CornerCache& cache, const CornerKey& corner,
                   std::uint8_t d) {
  const NodePlace place = find_place(tree, corner, d);
  if (place.internal) {
    // Already split: nothing to do, but a missing corner still counts as the
    // failure it would be had the children been built.
    require_child_corners(cache, corner, child_half_size(tree, d));
    return;
  }
  // Children first: when a corner is missing this throws before the tree
  // changes.
  replace_node(tree, place, d, make_children(tree, cache, corner, d, kMissingCorner));
}

void balance_split(Octree& tree, const CornerCache& cache, const CornerKey& corner, std::uint8_t d,
                   const SubgridSlots& slots) {
  const NodePlace place = find_place(tree, corner, d);
  if (place.internal) {
    for (std::uint32_t entry : slots) {
      if (entry >= cache.size()) fail(kMissingCorner);
    }
    return;
  }
  replace_node(tree, place, d, make_children(tree, cache, slots, kMissingCorner));
}

void refine_to_depth(Octree& tree, const CornerCache& cache, const CornerKey& corner,
                     std::uint8_t d, std::uint8_t target) {
  if (d >= target || d >= tree.max_depth) return;
  balance_split(tree, cache, corner, d);
  if (d + 1 >= target) return;
  const std::uint32_t q = child_half_size(tree, d);
  const unsigned s = static_cast<unsigned>(tree.max_depth) - d - 1u;
  const auto child_depth = static_cast<std::uint8_t>(d + 1);
  for (unsigned c = 0; c < 8; ++c) {
    const CornerKey child = offset(corner, c, q);
    const CellAddress address{shr(child.x, s), shr(child.y, s), shr(child.z, s), child_depth};
    // A child that is already Internal was refined by someone else; its
    // subtree is left as it is.
    const DescentResult reached = descend_to(tree, address);
    if (reached.level == child_depth && !reached.node.is_internal()) {
      refine_to_depth(tree, cache, child, child_depth, target);
    }
  }
}

}  // namespace karvex
