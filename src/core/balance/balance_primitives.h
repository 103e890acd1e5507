#pragma once

// The operations octree balancing is built from: listing leaves, finding the
// node that covers a cell, testing a subtree for surface, gathering the
// lattice corners a refinement will read, and splitting or refining one cell.
// None keeps state between calls, none calls the field and none uses the
// worker pool. Nodes carry no coordinates, so every operation that needs a
// node walks to it from the root.

#include <cstdint>
#include <span>
#include <vector>

#include "octree/corner_cache.h"
#include "octree/octree.h"
#include "support/panic.h"

namespace karvex {

// Addresses of every non-Internal node (Empty, Full and Leaf), depth-first
// from the root with children in octant order 0..7. A root-only tree gives
// [(0, 0, 0, 0)].
std::vector<CellAddress> list_leaves(const Octree& tree);

// The same walk, keeping only surface leaves (a Leaf whose sign_mask is
// neither 0 nor 255).
std::vector<CellAddress> list_surface_leaves(const Octree& tree);

// True when `node` is a surface leaf or an Internal node with a surface leaf
// somewhere beneath it; children are examined in octant order and the search
// stops at the first hit. Empty and Full give false.
bool subtree_has_surface(const Octree& tree, const OctreeNode& node);

// Where a walk from the root towards a cell stops: the node reached (a copy;
// nodes are small records) and its depth.
struct DescentResult {
  OctreeNode node;
  std::uint8_t level = 0;
};

// Walks towards cell (x, y, z, d) from `start`, the node at depth `level` on
// the root's path to that cell. At each level below d the octant is bit
// (d - 1 - level) of x, y and z (bits 0, 1, 2 of the octant). Stops at the
// first non-Internal node (level <= d) or at level d, whatever the node there
// is. Allocation-free and inline: balancing walks to every face and edge
// neighbour of every leaf, and a caller that holds a cell's ancestors can
// skip the part of the path two cells share.
inline DescentResult descend_from(const Octree& tree, const OctreeNode& start, std::uint8_t level,
                                  const CellAddress& cell) {
  const OctreeNode* node = &start;
  while (level < cell.d && node->is_internal()) {
    const unsigned bit = (static_cast<unsigned>(cell.d) - 1u - level) & 31u;
    const unsigned octant =
        ((cell.x >> bit) & 1u) | (((cell.y >> bit) & 1u) << 1) | (((cell.z >> bit) & 1u) << 2);
    if (node->index >= tree.blocks.size()) fail_index(tree.blocks.size(), node->index);
    node = &tree.blocks[node->index][octant];
    ++level;
  }
  return {*node, level};
}

// The walk from the root; for d = 0 it returns the root at level 0.
inline DescentResult descend_to(const Octree& tree, const CellAddress& cell) {
  return descend_from(tree, tree.root, 0, cell);
}

// The child of `cell` in octant c = bx + 2*by + 4*bz.
inline CellAddress child_cell(const CellAddress& cell, unsigned octant) {
  return {2 * cell.x + (octant & 1u), 2 * cell.y + ((octant >> 1) & 1u),
          2 * cell.z + ((octant >> 2) & 1u), static_cast<std::uint8_t>(cell.d + 1)};
}

// Adds to `batch` every corner that refining the cell with minimum corner
// `corner` at depth d uniformly down to depth `target` will read and that
// neither the cache nor the batch holds yet. Per child octant 0..7: the
// child's eight corners in corner order, then (when d + 1 < target) the same
// for the child's own subtree, before the next child. Does nothing unless
// d < target and d < max_depth. With target = d + 1 this gathers the
// corners of the eight children, child by child: the plain 64-corner walk
// (tests/cpp/support/reference_octree.h) that PendingCorners matches.
void gather_refinement_corners(const Octree& tree, const CornerCache& cache,
                               const CornerKey& corner, std::uint8_t d, std::uint8_t target,
                               CornerBatch& batch);

// gather_refinement_corners in two steps, so that the first can run for many
// cells at once: refinement_candidates appends to `out`, in gathering order,
// the keys that the walk meets for the first time within the cell and that
// the cache lacks, each marked as lying on the cell's boundary (where other
// cells of the pass can meet it too) or inside; add_candidates then appends
// to the batch every inside key and every boundary key it has not gathered
// yet. Candidates of several cells added in list order give the batch of
// gathering those cells one by one.
struct CornerCandidate {
  CornerKey key;
  bool boundary = true;
};
void refinement_candidates(const Octree& tree, const CornerCache& cache, const CornerKey& corner,
                           std::uint8_t d, std::uint8_t target,
                           std::vector<CornerCandidate>& out);
void add_candidates(const Octree& tree, std::span<const CornerCandidate> candidates,
                    CornerBatch& batch);

// The same keys in the same order, found by a cache lookup and a set lookup
// at every meeting of a corner instead of once per lattice point. Used for
// refinements too deep for the lattice bitmap; kept callable so that the two
// can be compared.
void gather_refinement_corners_by_lookup(const Octree& tree, const CornerCache& cache,
                                         const CornerKey& corner, std::uint8_t d,
                                         std::uint8_t target, CornerBatch& batch);

// Splits the leaf cell with minimum corner `corner` at depth d < max_depth:
// its eight children are made from cached samples and stored as one new
// block appended to the tree, and the cell's node becomes Internal. When the
// cell's node is already Internal nothing changes. Throws InvariantFailure
// "corner not in cache during balance subdivision" when a child corner is not
// cached, and an InvariantFailure when d >= max_depth or the cell is not a
// node of the tree (a coarser leaf covers it); in every failure the tree is
// left exactly as it was.
void balance_split(Octree& tree, const CornerCache& cache, const CornerKey& corner, std::uint8_t d);

// The same, reading the samples of the cell's 3x3x3 sub-grid at the cache
// entries `slots` noted while they were gathered (PendingCorners) instead of
// looking their keys up. An entry beyond the cache fails with "corner not in
// cache during balance subdivision".
void balance_split(Octree& tree, const CornerCache& cache, const CornerKey& corner, std::uint8_t d,
                   const SubgridSlots& slots);

// Refines the cell with minimum corner `corner` at depth d uniformly down to
// depth min(target, max_depth): splits it, then recurses depth-first in octant
// order into every child that is a non-Internal node at depth d + 1. Every
// corner it reads must be cached (see gather_refinement_corners). Blocks are
// appended in the order of the recursion.
void refine_to_depth(Octree& tree, const CornerCache& cache, const CornerKey& corner,
                     std::uint8_t d, std::uint8_t target);

}  // namespace karvex
