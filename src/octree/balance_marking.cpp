#include "octree/balance_marking.h"

#include <algorithm>
#include <array>
#include <bit>

#include "bbox.h"
#include "octree/balance_primitives.h"

namespace karvex {

namespace {

// The nodes on the path from the root to the leaf being examined. A cell
// beside that leaf shares the top of its path with it, so the walk towards
// it can start at the deepest shared ancestor instead of the root: the same
// node is reached (descend_to's result) in a fraction of the steps. Nothing
// may change the tree while a cursor is in use.
class PathCursor {
 public:
  explicit PathCursor(const Octree& tree) : tree_(tree) {}

  // Walks from the root towards `cell`, keeping the path.
  DescentResult seek(const CellAddress& cell) {
    const OctreeNode* node = &tree_.root;
    std::uint8_t level = 0;
    path_[0] = node;
    while (level < cell.d && node->is_internal()) {
      const unsigned bit = (static_cast<unsigned>(cell.d) - 1u - level) & 31u;
      const unsigned octant =
          ((cell.x >> bit) & 1u) | (((cell.y >> bit) & 1u) << 1) | (((cell.z >> bit) & 1u) << 2);
      node = &tree_.block(node->index)[octant];
      path_[++level] = node;
    }
    return {*node, level};
  }

  // Calls visit(node, cell) for every non-Internal node, depth-first in
  // octant order, keeping the path as seek() would.
  template <class Visit>
  void walk(Visit&& visit) {
    walk_from(tree_.root, CellAddress{}, visit);
  }

  // descend_to(cell) for a cell of the same depth as the current leaf.
  DescentResult descend(const CellAddress& current, const CellAddress& cell) const {
    const std::uint32_t differing =
        (current.x ^ cell.x) | (current.y ^ cell.y) | (current.z ^ cell.z);
    // Path steps read bits d-1 down to 0; above the highest differing bit
    // both paths take the same octants. A cell outside the cube shares
    // nothing and is walked from the root.
    const int width = std::bit_width(differing);
    if (width > current.d) return descend_to(tree_, cell);
    const auto shared = static_cast<std::uint8_t>(current.d - width);
    return descend_from(tree_, *path_[shared], shared, cell);
  }

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
};

// Runs examine(node, cell, cursor) for the selected leaves in selection order.
template <class Examine>
void for_selected(const Octree& tree, const LeafSelection& leaves, Examine&& examine) {
  PathCursor cursor(tree);
  if (leaves.all) {
    cursor.walk(
        [&](const OctreeNode& node, const CellAddress& cell) { examine(node, cell, cursor); });
    return;
  }
  for (const CellAddress& cell : leaves.cells) {
    const DescentResult reached = cursor.seek(cell);
    if (reached.level == cell.d && !reached.node.is_internal()) examine(reached.node, cell, cursor);
  }
}

// Spreads the low 16 bits of v so that bit i lands on bit 3i.
std::uint64_t spread_by_three(std::uint32_t v) {
  std::uint64_t x = v & 0xffffu;
  x = (x | (x << 32)) & 0x001f00000000ffffull;
  x = (x | (x << 16)) & 0x001f0000ff0000ffull;
  x = (x | (x << 8)) & 0x100f00f00f00f00full;
  x = (x | (x << 4)) & 0x10c30c30c30c30c3ull;
  x = (x | (x << 2)) & 0x1249249249249249ull;
  return x;
}

// Depth-first octant order of disjoint cells is the Morton order of their
// minimum corners on the finest lattice, each level's octant read as the bits
// (z, y, x), most significant first. The key holds the interleaved upper and
// lower 16 bits of the coordinates; nested cells (same minimum corner) put
// the coarser first, as a depth-first walk meets them.
struct DepthFirstKey {
  std::uint64_t high;
  std::uint64_t low;
  CellAddress cell;

  DepthFirstKey(const CellAddress& c, std::uint8_t max_depth) : cell(c) {
    const CornerKey k = min_corner(c, max_depth);
    high = spread_by_three(k.x >> 16) | (spread_by_three(k.y >> 16) << 1) |
           (spread_by_three(k.z >> 16) << 2);
    low = spread_by_three(k.x) | (spread_by_three(k.y) << 1) | (spread_by_three(k.z) << 2);
  }
  friend bool operator<(const DepthFirstKey& a, const DepthFirstKey& b) {
    if (a.high != b.high) return a.high < b.high;
    if (a.low != b.low) return a.low < b.low;
    return a.cell.d < b.cell.d;
  }
};

LeafSelection in_depth_first_order(const Octree& tree, const std::vector<CellAddress>& cells) {
  std::vector<DepthFirstKey> keys;
  keys.reserve(cells.size());
  for (const CellAddress& c : cells) keys.emplace_back(c, tree.max_depth);
  std::sort(keys.begin(), keys.end());
  LeafSelection out{false, {}};
  out.cells.reserve(keys.size());
  for (const DepthFirstKey& k : keys) {
    if (out.cells.empty() || !(out.cells.back() == k.cell)) out.cells.push_back(k.cell);
  }
  return out;
}

// Face directions in the order a leaf examines them: -x, +x, -y, +y, -z, +z.
// Returns false when the neighbour would lie outside the cube.
bool face_neighbour(const CellAddress& cell, unsigned direction, CellAddress& out) {
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

void examine_faces(const Octree& tree, const OctreeNode& node, const CellAddress& leaf,
                   const PathCursor& cursor, CellMarks& marks) {
  if (leaf.d == 0) return;
  const bool surface = tree.is_surface_leaf(node);
  for (unsigned direction = 0; direction < 6; ++direction) {
    CellAddress neighbour;
    if (!face_neighbour(leaf, direction, neighbour)) continue;
    const DescentResult reached = cursor.descend(leaf, neighbour);
    if (reached.level < leaf.d) {
      // The walk stopped early, so the node is a leaf covering the neighbour.
      const bool too_coarse = reached.level + 1 < leaf.d;
      if (too_coarse || (surface && !tree.is_surface_leaf(reached.node))) {
        marks.mark(PathCursor::coarsen(neighbour, reached.level));
      }
    } else if (reached.node.is_internal() && surface && leaf.d < tree.max_depth) {
      const ChildBlock& children = tree.block(reached.node.index);
      for (const OctreeNode& child : children) {
        if (subtree_has_surface(tree, child)) {
          marks.mark(leaf);
          break;
        }
      }
    }
  }
}

// Appends the leaves of the subtree at `node` (cell `cell`) that touch its
// face on `axis` at the minimum (side 0) or maximum (side 1) side.
void collect_face_leaves(const Octree& tree, const OctreeNode& node, const CellAddress& cell,
                         unsigned axis, unsigned side, std::vector<CellAddress>& out) {
  if (!node.is_internal()) {
    out.push_back(cell);
    return;
  }
  const ChildBlock& children = tree.block(node.index);
  for (unsigned c = 0; c < 8; ++c) {
    if (((c >> axis) & 1u) != side) continue;
    collect_face_leaves(tree, children[c], child_cell(cell, c), axis, side, out);
  }
}

void examine_edges(const Octree& tree, const CornerCache& cache, const OctreeNode& node,
                   const CellAddress& leaf, const PathCursor& cursor, EdgeMarks& out) {
  if (!tree.is_surface_leaf(node)) return;
  std::array<bool, 8> below{};
  bool unfinished = false;
  for (unsigned i = 0; i < 8; ++i) {
    const auto it = cache.find(cell_corner(leaf, i, tree.max_depth));
    // A corner the cache lacks reads as 0.0; it may be sampled later, so the
    // leaf is looked at again.
    unfinished = unfinished || it == cache.end();
    const double value = it == cache.end() ? 0.0 : it->second.value;
    below[i] = value < tree.iso_value;  // NaN counts as not below
  }
  const std::uint32_t n = pow2(leaf.d);
  const std::array<std::uint32_t, 3> coords = {leaf.x, leaf.y, leaf.z};
  for (unsigned axis = 0; axis < 3; ++axis) {
    const unsigned u = axis == 0 ? 1 : 0;
    const unsigned v = axis == 2 ? 1 : 2;
    for (unsigned k = 0; k < 4; ++k) {
      const CubeEdge& edge = CUBE_EDGES[4 * axis + k];
      if (below[edge.u] == below[edge.v]) continue;
      // Edge k lies (k & 1) cells along u and (k >> 1) along v from the
      // minimum corner; the four cells around it are offset by 0 or -1 in u
      // and v from that point. Unsigned wrap-around puts -1 out of range.
      const std::uint32_t pu = coords[u] + (k & 1u);
      const std::uint32_t pv = coords[v] + (k >> 1);
      const std::array<std::array<std::uint32_t, 2>, 4> around = {
          {{pu, pv}, {pu, pv - 1}, {pu - 1, pv}, {pu - 1, pv - 1}}};
      for (const auto& [cu, cv] : around) {
        if (cu >= n || cv >= n) continue;
        std::array<std::uint32_t, 3> cc = coords;
        cc[u] = cu;
        cc[v] = cv;
        const CellAddress candidate{cc[0], cc[1], cc[2], leaf.d};
        // A surface leaf at the candidate's address would be reached at depth
        // d and change nothing, so no separate test for one is needed.
        if (candidate == leaf) continue;
        const DescentResult reached = cursor.descend(leaf, candidate);
        if (reached.level >= leaf.d) continue;
        unfinished = true;
        if (out.marks.mark(PathCursor::coarsen(candidate, reached.level))) {
          out.targets.push_back(leaf.d);
        }
      }
    }
  }
  if (unfinished) out.unfinished.push_back(leaf);
}

void collect_surface_leaves(const Octree& tree, const OctreeNode& node, const CellAddress& cell,
                            std::vector<CellAddress>& out) {
  if (!node.is_internal()) {
    if (tree.is_surface_leaf(node)) out.push_back(cell);
    return;
  }
  const ChildBlock& children = tree.block(node.index);
  for (unsigned c = 0; c < 8; ++c)
    collect_surface_leaves(tree, children[c], child_cell(cell, c), out);
}

}  // namespace

CellMarks mark_face_imbalance(const Octree& tree, const LeafSelection& leaves) {
  CellMarks marks;
  for_selected(tree, leaves,
               [&](const OctreeNode& node, const CellAddress& cell, const PathCursor& cursor) {
                 examine_faces(tree, node, cell, cursor, marks);
               });
  return marks;
}

LeafSelection face_recheck(const Octree& tree, const std::vector<CellAddress>& split) {
  std::vector<CellAddress> cells;
  CellSet ancestors;
  for (const CellAddress& x : split) {
    // Its children are new leaves.
    for (unsigned c = 0; c < 8; ++c) cells.push_back(child_cell(x, c));
    // Leaves as fine as x or finer beside it walked into x and stopped there.
    for (unsigned direction = 0; direction < 6; ++direction) {
      CellAddress y;
      if (!face_neighbour(x, direction, y)) continue;
      const DescentResult reached = descend_to(tree, y);
      if (reached.level < x.d) continue;  // coarser: reached through an ancestor below
      const unsigned axis = direction / 2;
      const unsigned facing_side = direction % 2 == 1 ? 0u : 1u;
      collect_face_leaves(tree, reached.node, y, axis, facing_side, cells);
    }
    // Same-depth leaves beside an ancestor of x looked into that ancestor's
    // subtree (or, when coarser than x, stopped at the ancestor's level).
    for (std::uint8_t a = x.d; a-- > 1;) {
      const CellAddress p = PathCursor::coarsen(x, a);
      if (!ancestors.insert(p).second) break;  // so were all above it
      for (unsigned direction = 0; direction < 6; ++direction) {
        CellAddress q;
        if (!face_neighbour(p, direction, q)) continue;
        const DescentResult reached = descend_to(tree, q);
        if (reached.level == a && !reached.node.is_internal()) cells.push_back(q);
      }
    }
  }
  return in_depth_first_order(tree, cells);
}

EdgeMarks mark_open_edges(const Octree& tree, const CornerCache& cache,
                          const LeafSelection& leaves) {
  EdgeMarks out;
  for_selected(tree, leaves,
               [&](const OctreeNode& node, const CellAddress& cell, const PathCursor& cursor) {
                 examine_edges(tree, cache, node, cell, cursor, out);
               });
  return out;
}

LeafSelection edge_recheck(const Octree& tree, const EdgeMarks& previous) {
  std::vector<CellAddress> cells = previous.unfinished;
  for (const CellAddress& refined : previous.marks.list()) {
    const DescentResult reached = descend_to(tree, refined);
    if (reached.level == refined.d) collect_surface_leaves(tree, reached.node, refined, cells);
  }
  return in_depth_first_order(tree, cells);
}

}  // namespace karvex
