#pragma once

// Walks to the neighbours of leaves for the balancing rules, and what the
// leaves of one parent can share of them. Used by balance_marking.cpp only.
//
// Balancing looks at the face neighbours of every leaf it examines and, for
// edge closure, at the cells around every sign-changing edge of a surface
// leaf: many millions of walks in a deep build. Each answer here equals what
// a walk from the root (descend_to) would give; the shortcuts only decide
// where a walk starts, or answer several leaves from one walk.

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>

#include "balance/balance_primitives.h"
#include "octree/octree.h"
#include "support/bbox.h"

namespace karvex {

// The nodes on the path from the root to the leaf being examined. A cell
// beside that leaf shares the top of its path with it, so the walk towards
// it can start at the deepest shared ancestor instead of the root: the same
// node is reached (descend_to's result) in a fraction of the steps. Nothing
// may change the tree while a cursor is in use.
class PathCursor {
 public:
  explicit PathCursor(const Octree& tree) : tree_(tree) { path_[0] = &tree.root; }

  // Walks towards `cell` as from the root, keeping the path. The walk
  // starts where the path to the previously sought cell parts from it:
  // selections come in depth-first order, so consecutive cells share most
  // of their paths.
  DescentResult seek(const CellAddress& cell) {
    std::uint8_t level = 0;
    if (sought_) {
      const std::uint8_t common = std::min(cell.d, last_.d);
      const CellAddress a = coarsen(cell, common);
      const CellAddress b = coarsen(last_, common);
      const int width = std::bit_width((a.x ^ b.x) | (a.y ^ b.y) | (a.z ^ b.z));
      const int shared = std::max(0, static_cast<int>(common) - width);
      level = static_cast<std::uint8_t>(std::min(shared, static_cast<int>(last_level_)));
    }
    const OctreeNode* node = path_[level];
    while (level < cell.d && node->is_internal()) {
      const unsigned bit = (static_cast<unsigned>(cell.d) - 1u - level) & 31u;
      const unsigned octant =
          ((cell.x >> bit) & 1u) | (((cell.y >> bit) & 1u) << 1) | (((cell.z >> bit) & 1u) << 2);
      node = &tree_.block(node->index)[octant];
      path_[++level] = node;
    }
    sought_ = true;
    last_ = cell;
    last_level_ = level;
    return {*node, level};
  }

  // Calls visit(node, cell) for every non-Internal node, depth-first in
  // octant order, keeping the path as seek() would.
  template <class Visit>
  void walk(Visit&& visit) {
    walk_from(tree_.root, CellAddress{}, visit);
  }

  // walk() restricted to the subtree of `cell`, a node of the tree: the path
  // to it is sought first, so that the visits see the whole path.
  template <class Visit>
  void walk_subtree(const CellAddress& cell, Visit&& visit) {
    const DescentResult reached = seek(cell);
    walk_from(*path_[reached.level], cell, visit);
  }

  // descend_to(cell) for a cell no deeper than the current leaf.
  DescentResult descend(const CellAddress& current, const CellAddress& cell) const {
    // The current leaf's ancestor at the cell's depth.
    const CellAddress mine = coarsen(current, cell.d);
    const std::uint32_t differing = (mine.x ^ cell.x) | (mine.y ^ cell.y) | (mine.z ^ cell.z);
    // Path steps read bits d-1 down to 0; above the highest differing bit
    // both paths take the same octants. A cell outside the cube shares
    // nothing and is walked from the root.
    const int width = std::bit_width(differing);
    if (width > cell.d) return descend_to(tree_, cell);
    const auto shared = static_cast<std::uint8_t>(cell.d - width);
    return descend_from(tree_, *path_[shared], shared, cell);
  }

  // The node at `level` on the path to the current leaf (level <= its depth).
  const OctreeNode& ancestor(std::uint8_t level) const { return *path_[level]; }

  static CellAddress coarsen(const CellAddress& cell, std::uint8_t level) {
    const unsigned shift = (static_cast<unsigned>(cell.d) - level) & 31u;
    return {cell.x >> shift, cell.y >> shift, cell.z >> shift, level};
  }

 private:
  template <class Visit>
  void walk_from(const OctreeNode& node, const CellAddress& cell, Visit& visit) {
    path_[cell.d] = &node;
    if (!node.is_internal()) {
      visit(node, cell);
      return;
    }
    const ChildBlock& children = tree_.block(node.index);
    for (unsigned c = 0; c < 8; ++c) walk_from(children[c], child_cell(cell, c), visit);
  }

  const Octree& tree_;
  std::array<const OctreeNode*, 256> path_{};  // by depth (8 bits)
  bool sought_ = false;                        // seek() was called (walk() does not use these)
  CellAddress last_;                           // the cell it last sought
  std::uint8_t last_level_ = 0;                // the level that walk reached
};

// Face directions in the order a leaf examines them: -x, +x, -y, +y, -z, +z.
// Returns false when the neighbour would lie outside the cube.
inline bool face_neighbour(const CellAddress& cell, unsigned direction, CellAddress& out) {
  const std::uint32_t n = pow2(cell.d);
  std::array<std::uint32_t, 3> c = {cell.x, cell.y, cell.z};
  std::uint32_t& coord = c[direction / 2];
  if (direction % 2 == 1) {
    if (coord + 1 >= n) return false;
    ++coord;
  } else {
    if (coord == 0) return false;
    --coord;
  }
  out = {c[0], c[1], c[2], cell.d};
  return true;
}

// descend_to for the face neighbours of leaves, remembering what the leaves
// of one parent share. A leaf's face neighbour of the same depth lies either
// in the leaf's parent (a sibling: the entry beside it in the same block) or
// in the parent's face neighbour on that side, which is the same for every
// leaf of the parent on that side: found once, it answers for all of them
// (the neighbour cell itself is one step further down when that node is
// Internal). The results equal descend_to's.
class FaceNeighbours {
 public:
  // Prepares for the neighbours of `leaf` (depth >= 1), the cursor's
  // current leaf.
  void enter(const Octree& tree, const CellAddress& leaf, const PathCursor& cursor) {
    leaf_ = leaf;
    up_ = static_cast<std::uint8_t>(leaf.d - 1);
    octant_ = (leaf.x & 1u) | ((leaf.y & 1u) << 1) | ((leaf.z & 1u) << 2);
    siblings_ = &tree.block(cursor.ancestor(up_).index);
    const CellAddress parent = PathCursor::coarsen(leaf, up_);
    if (!(parent == parent_)) {
      parent_ = parent;
      known_ = 0;
    }
  }

  // Whether the entered leaf's face neighbour in `direction` (-x, +x, -y,
  // +y, -z, +z) is its sibling: the step goes towards the parent's inside.
  bool is_sibling(unsigned direction) const {
    return ((octant_ >> (direction / 2)) & 1u) != (direction % 2);
  }

  // The outward direction of the entered leaf on `axis`: the one that
  // leaves its parent.
  unsigned outward(unsigned axis) const { return 2 * axis + ((octant_ >> axis) & 1u); }

  // descend_to of the entered leaf's parent's face neighbour in a direction
  // that leaves the parent (and stays inside the cube).
  const DescentResult& beside_parent(unsigned direction, const PathCursor& cursor) {
    if (!((known_ >> direction) & 1u)) {
      CellAddress beside;
      face_neighbour(parent_, direction, beside);
      memo_[direction] = cursor.descend(leaf_, beside);
      known_ |= 1u << direction;
    }
    return memo_[direction];
  }

  // The parent's depth.
  std::uint8_t parent_depth() const { return up_; }

  // descend_to of the entered leaf's face neighbour in `direction`, which
  // must lie inside the cube.
  DescentResult find(const Octree& tree, unsigned direction, const PathCursor& cursor) {
    const unsigned bit = 1u << (direction / 2);
    if (is_sibling(direction)) return {(*siblings_)[octant_ ^ bit], leaf_.d};
    const DescentResult& reached = beside_parent(direction, cursor);
    if (reached.level < up_ || !reached.node.is_internal()) return reached;
    return {tree.block(reached.node.index)[octant_ ^ bit], leaf_.d};
  }

 private:
  CellAddress leaf_;
  std::uint8_t up_ = 0;  // the parent's depth
  unsigned octant_ = 0;  // the leaf's octant in its parent
  const ChildBlock* siblings_ = nullptr;
  CellAddress parent_{0, 0, 0, 0xff};  // none yet
  unsigned known_ = 0;                 // directions of parent_ looked at
  std::array<DescentResult, 6> memo_{};
};

// The cells around the sign-changing edges of a cell with sign mask `mask`,
// as offsets (ox, oy, oz) in {-1, 0, 1}^3 from the cell, bit
// (ox + 1) + 3 (oy + 1) + 9 (oz + 1) of the result. Edge k of axis a lies
// (k & 1) cells along u and (k >> 1) along v from the minimum corner; the
// four cells around it are offset by 0 or -1 in u and v from that point.
// The cell itself (bit 13) is left out.
constexpr std::uint32_t edge_neighbour_offsets(unsigned mask) {
  std::uint32_t bits = 0;
  for (unsigned axis = 0; axis < 3; ++axis) {
    const unsigned u = axis == 0 ? 1 : 0;
    const unsigned v = axis == 2 ? 1 : 2;
    for (unsigned k = 0; k < 4; ++k) {
      const CubeEdge& edge = CUBE_EDGES[4 * axis + k];
      if (((mask >> edge.u) & 1u) == ((mask >> edge.v) & 1u)) continue;
      for (unsigned c = 0; c < 4; ++c) {
        int offset[3] = {0, 0, 0};
        offset[u] = static_cast<int>(k & 1u) - static_cast<int>(c >> 1);
        offset[v] = static_cast<int>(k >> 1) - static_cast<int>(c & 1u);
        bits |= 1u << ((offset[0] + 1) + 3 * (offset[1] + 1) + 9 * (offset[2] + 1));
      }
    }
  }
  return bits & ~(1u << 13);
}

// The same cells, as directions (bit (px + 1) + 3 (py + 1) + 9 (pz + 1),
// p in {-1, 0, 1}^3) from the cell's parent to the parent of each, for a
// cell in octant `octant` of its parent. Cells in the parent itself
// (siblings, direction 0) are left out: they are nodes of the cell's depth.
constexpr std::uint32_t parent_directions(unsigned octant, unsigned mask) {
  const std::uint32_t offsets = edge_neighbour_offsets(mask);
  std::uint32_t bits = 0;
  for (unsigned b = 0; b < 27; ++b) {
    if (!((offsets >> b) & 1u)) continue;
    const int offset[3] = {static_cast<int>(b % 3) - 1, static_cast<int>((b / 3) % 3) - 1,
                           static_cast<int>(b / 9) - 1};
    int direction[3] = {0, 0, 0};
    for (unsigned axis = 0; axis < 3; ++axis) {
      // The neighbour's coordinate 2p + bit + offset, halved rounding down.
      const int sum = static_cast<int>((octant >> axis) & 1u) + offset[axis];
      direction[axis] = sum < 0 ? -1 : sum / 2;
    }
    bits |= 1u << ((direction[0] + 1) + 3 * (direction[1] + 1) + 9 * (direction[2] + 1));
  }
  return bits & ~(1u << 13);
}

using DirectionTable = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr DirectionTable make_parent_direction_table() {
  DirectionTable table{};
  for (unsigned octant = 0; octant < 8; ++octant) {
    for (unsigned mask = 0; mask < 256; ++mask) {
      table[octant][mask] = parent_directions(octant, mask);
    }
  }
  return table;
}

inline constexpr DirectionTable kParentDirections = make_parent_direction_table();

// Direction bits whose component on `axis` is -1 (side 0) or +1 (side 1).
constexpr std::uint32_t directions_on_side(unsigned axis, unsigned side) {
  std::uint32_t bits = 0;
  for (unsigned b = 0; b < 27; ++b) {
    const unsigned component = axis == 0 ? b % 3 : (axis == 1 ? (b / 3) % 3 : b / 9);
    if (component == 2 * side) bits |= 1u << b;
  }
  return bits;
}

// Screens surface leaves for coarser cells around their sign-changing edges.
//
// A cell of depth d beside a leaf is a node of the tree exactly when its
// parent (depth d - 1) is an Internal node; a sibling of the leaf always is.
// So one look at each parent-level neighbour of the leaf's parent answers
// for all the cells of the leaf's depth inside it, and the answers hold for
// every leaf with the same parent: they are remembered until the walk moves
// on to another parent. Most surface leaves have only same-depth cells
// around their edges and are settled by a few bit operations.
class EdgeScreen {
 public:
  // True when some cell of the leaf's depth around one of its sign-changing
  // edges (inside the cube) is covered by a coarser leaf.
  bool has_coarser_neighbour(const OctreeNode& node, const CellAddress& leaf,
                             const PathCursor& cursor) {
    if (leaf.d == 0) return false;  // the root: every neighbour is outside the cube
    const CellAddress parent = PathCursor::coarsen(leaf, static_cast<std::uint8_t>(leaf.d - 1));
    if (!(parent == parent_)) enter(parent);
    const unsigned octant = (leaf.x & 1u) | ((leaf.y & 1u) << 1) | ((leaf.z & 1u) << 2);
    const std::uint32_t needed = kParentDirections[octant][node.sign_mask] & inside_;
    std::uint32_t unknown = needed & ~known_;
    while (unknown != 0) {
      const unsigned b = static_cast<unsigned>(std::countr_zero(unknown));
      unknown &= unknown - 1;
      const CellAddress neighbour{parent.x + b % 3 - 1, parent.y + (b / 3) % 3 - 1,
                                  parent.z + b / 9 - 1, parent.d};
      const DescentResult reached = cursor.descend(leaf, neighbour);
      known_ |= 1u << b;
      if (reached.level < parent.d || !reached.node.is_internal()) coarse_ |= 1u << b;
    }
    return (needed & coarse_) != 0;
  }

 private:
  void enter(const CellAddress& parent) {
    parent_ = parent;
    known_ = 0;
    coarse_ = 0;
    const std::uint32_t n = pow2(parent.d);
    const std::array<std::uint32_t, 3> coords = {parent.x, parent.y, parent.z};
    inside_ = ~0u;
    for (unsigned axis = 0; axis < 3; ++axis) {
      if (coords[axis] == 0) inside_ &= ~directions_on_side(axis, 0);
      if (coords[axis] + 1 >= n) inside_ &= ~directions_on_side(axis, 1);
    }
  }

  CellAddress parent_{0, 0, 0, 0xff};  // none yet
  std::uint32_t inside_ = 0;           // directions from parent_ that stay inside the cube
  std::uint32_t known_ = 0;            // directions looked at
  std::uint32_t coarse_ = 0;           // of those, the ones whose cell is not Internal
};

}  // namespace karvex
