#include "balance/balance_marking.h"

#include <algorithm>
#include <array>
#include <utility>

#include "balance/balance_primitives.h"
#include "balance/depth_first_order.h"
#include "balance/neighbour_walks.h"
#include "pool/range_parts.h"
#include "pool/run_monitor.h"
#include "support/bbox.h"
#include "support/panic.h"

namespace karvex {

namespace {

// Runs examine(node, cell, cursor, state, out) for the selected leaves on the
// pool and returns what the calls appended to `out`, in selection order.
// Each range of the loop has a cursor, a State (the examiner's memory of
// the last parent, which only saves work) and an output list of its own;
// the lists are joined in range order, so the result is the one of a single
// walk over the selection, whatever the number of workers.
//
// For every leaf, the loop runs over subtrees instead: the non-Internal nodes
// above kSubtreeDepth and the nodes at that depth, in depth-first order, each
// walked depth-first in turn, which visits the leaves in the same order.
constexpr std::uint8_t kSubtreeDepth = 4;

void collect_subtrees(const Octree& tree, const OctreeNode& node, const CellAddress& cell,
                      std::vector<CellAddress>& out) {
  if (cell.d == kSubtreeDepth || !node.is_internal()) {
    out.push_back(cell);
    return;
  }
  const ChildBlock& children = tree.block(node.index);
  for (unsigned c = 0; c < 8; ++c) collect_subtrees(tree, children[c], child_cell(cell, c), out);
}

template <class State, class Out, class Examine>
std::vector<Out> examine_selected(const Octree& tree, const LeafSelection& leaves,
                                  WorkerPool& pool, Examine&& examine) {
  std::vector<CellAddress> subtrees;
  if (leaves.all) collect_subtrees(tree, tree.root, CellAddress{}, subtrees);
  const std::vector<CellAddress>& cells = leaves.all ? subtrees : leaves.cells;
  RangeParts<Out> parts;
  // Examining is no stage of its own: it neither counts towards the open
  // stage nor polls, as when it ran on the calling thread alone.
  const RunMonitor::Suspended quiet;
  // A subtree holds up to thousands of leaves: ranges of a few suffice.
  pool.run(cells.size(), leaves.all ? 4 : kDefaultMinChunk, [&](LoopRange& range) {
    PathCursor cursor(tree);
    State state;
    std::vector<Out> out;
    for (std::size_t i = range.begin(); range.keep_going(i); ++i) {
      const CellAddress& cell = cells[i];
      if (leaves.all) {
        cursor.walk_subtree(cell, [&](const OctreeNode& node, const CellAddress& leaf) {
          examine(node, leaf, cursor, state, out);
        });
        continue;
      }
      const DescentResult reached = cursor.seek(cell);
      if (reached.level == cell.d && !reached.node.is_internal()) {
        examine(reached.node, cell, cursor, state, out);
      }
    }
    parts.add(range.index(), std::move(out));
  });
  return parts.join();
}

// Appends the face rules' marks for one leaf to `marks`, in the order the
// rules find them (repeats included).
void examine_faces(const Octree& tree, const OctreeNode& node, const CellAddress& leaf,
                   const PathCursor& cursor, FaceNeighbours& neighbours,
                   std::vector<CellAddress>& marks) {
  if (leaf.d == 0) return;
  const bool surface = node.is_surface_leaf();
  neighbours.enter(tree, leaf, cursor);
  const std::uint32_t last = pow2(leaf.d) - 1u;
  const std::array<std::uint32_t, 3> coords = {leaf.x, leaf.y, leaf.z};
  if (!surface) {
    // Only rule F1 applies, and only across the parent's faces (a sibling
    // is as fine as the leaf): the neighbour is two or more levels coarser
    // exactly when the walk beside the parent stops above the parent's
    // level. The directions come in table order, one per axis.
    for (unsigned axis = 0; axis < 3; ++axis) {
      const unsigned direction = neighbours.outward(axis);
      if (direction % 2 == 1 ? coords[axis] >= last : coords[axis] == 0) continue;
      const DescentResult& reached = neighbours.beside_parent(direction, cursor);
      if (reached.level < neighbours.parent_depth()) {
        CellAddress neighbour;
        face_neighbour(leaf, direction, neighbour);
        marks.push_back(PathCursor::coarsen(neighbour, reached.level));
      }
    }
    return;
  }
  for (unsigned direction = 0; direction < 6; ++direction) {
    const std::uint32_t coord = coords[direction / 2];
    if (direction % 2 == 1 ? coord >= last : coord == 0) continue;  // outside the cube
    const DescentResult reached = neighbours.find(tree, direction, cursor);
    if (reached.level < leaf.d) {
      // The walk stopped early, so the node is a leaf covering the neighbour.
      const bool too_coarse = reached.level + 1 < leaf.d;
      if (too_coarse || !reached.node.is_surface_leaf()) {
        CellAddress neighbour;
        face_neighbour(leaf, direction, neighbour);
        marks.push_back(PathCursor::coarsen(neighbour, reached.level));
      }
    } else if (reached.node.is_internal() && leaf.d < tree.max_depth) {
      const ChildBlock& children = tree.block(reached.node.index);
      for (const OctreeNode& child : children) {
        if (subtree_has_surface(tree, child)) {
          marks.push_back(leaf);
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

// One cell found coarser than a surface leaf around one of its edges, and
// the leaf's depth; a leaf with no such cell gives nothing, and one with
// some ends its findings with an entry of `unfinished` set.
struct EdgeFinding {
  CellAddress cell;
  std::uint8_t target = 0;
  bool unfinished = false;  // cell is the leaf itself, to be looked at again
};

// Appends the edge-closure findings for one leaf to `out`, in the order the
// edges and cells are visited (repeats included).
void examine_edges(const OctreeNode& node, const CellAddress& leaf, const PathCursor& cursor,
                   EdgeScreen& screen, std::vector<EdgeFinding>& out) {
  if (!node.is_surface_leaf()) return;
  if (!screen.has_coarser_neighbour(node, leaf, cursor)) return;
  // The leaf's corner values are the cache's samples of its corners (the
  // leaf was made from them, and samples never change), so the signs of its
  // edges are those of its mask.
  std::array<bool, 8> below{};
  for (unsigned i = 0; i < 8; ++i) below[i] = (node.sign_mask >> i) & 1u;
  bool unfinished = false;
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
        out.push_back({PathCursor::coarsen(candidate, reached.level), leaf.d, false});
      }
    }
  }
  if (unfinished) out.push_back({leaf, leaf.d, true});
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

CellMarks mark_face_imbalance(const Octree& tree, const LeafSelection& leaves, WorkerPool& pool) {
  const std::vector<CellAddress> found = examine_selected<FaceNeighbours, CellAddress>(
      tree, leaves, pool,
      [&](const OctreeNode& node, const CellAddress& cell, const PathCursor& cursor,
          FaceNeighbours& neighbours, std::vector<CellAddress>& out) {
        examine_faces(tree, node, cell, cursor, neighbours, out);
      });
  // First marking wins: the order of a single walk.
  CellMarks marks;
  for (const CellAddress& cell : found) {
    if (tree.may_split(cell)) marks.mark(cell);
  }
  return marks;
}

LeafSelection face_recheck(const Octree& tree, const std::vector<CellAddress>& split) {
  std::vector<CellAddress> cells;
  CellSet ancestors;
  // The split cells come roughly in depth-first order (in the order leaves
  // walked in that order marked them), so walks from one to cells beside it
  // start from the deepest ancestor they share.
  PathCursor cursor(tree);
  for (const CellAddress& x : split) {
    // Its children are new leaves.
    for (unsigned c = 0; c < 8; ++c) cells.push_back(child_cell(x, c));
    // x is a node of the tree now (Internal): the cursor can stand on it.
    if (cursor.seek(x).level != x.d) fail("a split cell is not a node of the tree");
    // Leaves as fine as x or finer beside it walked into x and stopped there.
    for (unsigned direction = 0; direction < 6; ++direction) {
      CellAddress y;
      if (!face_neighbour(x, direction, y)) continue;
      const DescentResult reached = cursor.descend(x, y);
      if (reached.level < x.d) continue;  // coarser: reached through an ancestor below
      const unsigned axis = direction / 2;
      const unsigned facing_side = direction % 2 == 1 ? 0u : 1u;
      collect_face_leaves(tree, reached.node, y, axis, facing_side, cells);
    }
    // Same-depth leaves beside an ancestor of x looked into that ancestor's
    // subtree (or, when coarser than x, stopped at the ancestor's level).
    for (std::uint8_t a = x.d; a-- > 1;) {
      const CellAddress p = PathCursor::coarsen(x, a);
      if (!ancestors.insert(p)) break;  // so were all above it
      for (unsigned direction = 0; direction < 6; ++direction) {
        CellAddress q;
        if (!face_neighbour(p, direction, q)) continue;
        const DescentResult reached = cursor.descend(x, q);
        if (reached.level == a && !reached.node.is_internal()) cells.push_back(q);
      }
    }
  }
  return {false, in_depth_first_order(cells, tree.max_depth)};
}

EdgeMarks mark_open_edges(const Octree& tree, const CornerCache& /*cache*/,
                          const LeafSelection& leaves, WorkerPool& pool) {
  const std::vector<EdgeFinding> found = examine_selected<EdgeScreen, EdgeFinding>(
      tree, leaves, pool,
      [&](const OctreeNode& node, const CellAddress& cell, const PathCursor& cursor,
          EdgeScreen& screen, std::vector<EdgeFinding>& out) {
        examine_edges(node, cell, cursor, screen, out);
      });
  // A cell's target is that of its first marking.
  EdgeMarks out;
  for (const EdgeFinding& f : found) {
    if (f.unfinished) {
      out.unfinished.push_back(f.cell);
    } else if (tree.may_split(f.cell) && out.marks.mark(f.cell)) {
      out.targets.push_back(f.target);
    }
  }
  return out;
}

LeafSelection edge_recheck(const Octree& tree, const EdgeMarks& previous) {
  std::vector<CellAddress> cells = previous.unfinished;
  for (const CellAddress& refined : previous.marks.list()) {
    const DescentResult reached = descend_to(tree, refined);
    if (reached.level == refined.d) collect_surface_leaves(tree, reached.node, refined, cells);
  }
  return {false, in_depth_first_order(cells, tree.max_depth)};
}

}  // namespace karvex
