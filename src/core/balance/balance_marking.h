#pragma once

// What one balancing pass refines. Every decision of a pass is taken on the
// tree as it stands when the pass begins; the pass then samples and splits.
//
// The first pass of each phase examines every leaf. Later passes examine
// only the leaves whose decision can have changed since the previous pass;
// any other leaf decided "nothing to refine" then and would decide the same
// again, so the marks, and their order, equal those of examining every leaf
// in depth-first order. What can change a leaf's decision:
//  - face rules: the leaf is new; a face neighbour that covered the cell
//    beside it was split; or a cell inside the split same-depth neighbour it
//    looks into was split (that neighbour's surface content may differ);
//  - edge closure: the leaf is new, or one of the cells around its
//    sign-changing edges was still coarser than the leaf. The cells around an
//    edge only ever get finer, so a leaf whose cells all reached its depth
//    never marks again.

#include <cstdint>
#include <vector>

#include "octree/corner_cache.h"
#include "octree/octree.h"
#include "pool/worker_pool.h"
#include "support/flat_hash.h"

namespace karvex {

using CellSet = FlatHashSet<CellAddress, CellAddressHash>;

// The cells one pass will refine: a hash set for membership and a list in
// first-insertion order. Only the list is ever walked, so the processing order
// never depends on the hash table.
class CellMarks {
 public:
  // Returns true when the cell was not marked before.
  bool mark(const CellAddress& cell) {
    if (!set_.insert(cell)) return false;
    list_.push_back(cell);
    return true;
  }
  bool empty() const { return list_.empty(); }
  const std::vector<CellAddress>& list() const { return list_; }

 private:
  CellSet set_;
  std::vector<CellAddress> list_;
};

// Leaves to examine in a pass, in depth-first octant order without repeats;
// `all` stands for every leaf of the tree.
struct LeafSelection {
  bool all = true;
  std::vector<CellAddress> cells;
};

// The face rules for the selected leaves (x, y, z, d), d >= 1, looking at the
// face neighbours in the order -x, +x, -y, +y, -z, +z:
//  F1: a leaf covering the neighbour two or more levels coarser is marked;
//  F2: a coarser leaf beside a surface leaf is marked unless it is one too;
//  F3: a surface leaf with d < max_depth is marked itself when its same-depth
//      neighbour is split and holds a surface leaf beneath one of its
//      children.
// The leaves are examined on `pool`; the marks and their order are those of
// examining them one by one in selection order.
CellMarks mark_face_imbalance(const Octree& tree, const LeafSelection& leaves,
                              WorkerPool& pool = global_pool());

// The leaves whose face rules can decide differently now that `split` (cells
// that were leaves when the pass began, in any order) have been split.
LeafSelection face_recheck(const Octree& tree, const std::vector<CellAddress>& split);

// Marks of one edge-closure pass: the cells in marking order, the target
// depth of each (that of its first marking), and the surface leaves that
// found a coarser cell around one of their sign-changing edges, which must be
// looked at again.
struct EdgeMarks {
  CellMarks marks;
  std::vector<std::uint8_t> targets;
  std::vector<CellAddress> unfinished;
};

// Edge closure for the selected surface leaves C = (x, y, z, d): for each
// sign-changing edge (axes x, y, z, four edges each; signs from the cached
// corner values, which are the ones the leaf's mask was made from, so the mask
// is read instead and `cache` is not consulted), the up to three other cells of depth d
// around the edge, inside the cube, in the order (P_u, P_v), (P_u, P_v - 1),
// (P_u - 1, P_v), (P_u - 1, P_v - 1); a leaf of depth j < d covering one is
// marked with target d.
// Examined on `pool`, with the marks, targets and order of examining the
// leaves one by one.
EdgeMarks mark_open_edges(const Octree& tree, const CornerCache& cache,
                          const LeafSelection& leaves, WorkerPool& pool = global_pool());

// The surface leaves to look at after the cells marked in `previous` were
// refined: the unfinished ones and every surface leaf inside a refined cell.
LeafSelection edge_recheck(const Octree& tree, const EdgeMarks& previous);

}  // namespace karvex
