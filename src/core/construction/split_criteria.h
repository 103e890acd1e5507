#pragma once

#include <array>

#include "octree/corner_cache.h"
#include "octree/octree.h"

namespace karvex {

// The refinement criteria of criterion-driven construction. A cell is split
// where the surface bends (its corner normals disagree), where the field's
// slope changes sharply, or, for a cell without a sign change, where a field
// bounded by the steepest corner gradient could still reach the level inside
// the cell. All minima and maxima ignore NaN operands.

// A Leaf, given its eight corner samples in corner order, is split when two
// of its corner unit normals (from gradients of norm above 1e-12) have a dot
// product below cos_threshold, or else when the smallest of the eight
// gradient norms m exceeds 1e-12 and the largest exceeds 4 * m.
bool leaf_needs_split(const std::array<const CornerSample*, 8>& samples, double cos_threshold);

// An Empty or Full cell of side `side` is split when the smallest
// |value - iso_value| over its corners is below diagonal * 1.5 * g_max, where
// g_max is the largest corner gradient norm.
bool homogeneous_cell_needs_split(const std::array<const CornerSample*, 8>& samples,
                                  double iso_value, double side);

}  // namespace karvex
