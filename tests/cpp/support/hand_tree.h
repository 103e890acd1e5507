#pragma once

// Octrees assembled by hand for the balancing tests: the root made from its
// eight sampled corners, then chosen cells split one at a time, each after
// its new corners were sampled into the cache, so node kinds always agree
// with the field.

#include <array>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "balance/balance_primitives.h"
#include "field/field.h"
#include "octree/corner_cache.h"
#include "octree/octree.h"
#include "reference_octree.h"

namespace karvex::testing {

struct HandTree {
  // The unit cube, so lattice point k lies at k / 2^max_depth on each axis.
  HandTree(Field& field, std::uint8_t max_depth, double iso_value = 0.0)
      : tree(make_octree(BBox{{0, 0, 0}, {1, 1, 1}}, 0, max_depth, iso_value)) {
    CornerBatch batch;
    const CellAddress root{};
    for (unsigned i = 0; i < 8; ++i) batch.add_if_new(tree, cache, cell_corner(root, i, max_depth));
    sample_batch(field, cache, batch, tree.spacing());
    std::array<const CornerSample*, 8> samples;
    for (unsigned i = 0; i < 8; ++i) samples[i] = &cache.at(cell_corner(root, i, max_depth));
    tree.root = make_node(tree, samples);
  }

  CornerKey corner_of(const CellAddress& cell) const { return min_corner(cell, tree.max_depth); }

  void split(Field& field, const CellAddress& cell) {
    CornerBatch batch;
    gather_split_corners(tree, cache, corner_of(cell), cell.d, batch);
    sample_batch(field, cache, batch, tree.spacing());
    balance_split(tree, cache, corner_of(cell), cell.d);
  }

  void refine(Field& field, const CellAddress& cell, std::uint8_t target) {
    CornerBatch batch;
    gather_refinement_corners(tree, cache, corner_of(cell), cell.d, target, batch);
    sample_batch(field, cache, batch, tree.spacing());
    refine_to_depth(tree, cache, corner_of(cell), cell.d, target);
  }

  // Depth at which the walk towards `cell` stops.
  unsigned reached(const CellAddress& cell) const { return descend_to(tree, cell).level; }

  Octree tree;
  CornerCache cache;
};

}  // namespace karvex::testing
