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
// The same test on given corner gradients.
bool leaf_needs_split(const std::array<Vec3, 8>& gradients, double cos_threshold);

// An Empty or Full cell of side `side` is split when the smallest
// |value - iso_value| over its corners is below diagonal * 1.5 * g_max, where
// g_max is the largest corner gradient norm.
bool homogeneous_cell_needs_split(const std::array<const CornerSample*, 8>& samples,
                                  double iso_value, double side);
// The same test with the corner gradients given (the values are the samples').
bool homogeneous_cell_needs_split(const std::array<const CornerSample*, 8>& samples,
                                  const std::array<Vec3, 8>& gradients, double iso_value,
                                  double side);

// The corner gradients the tests read: the samples' own, or, when
// `from_values` and some corner lacks one (a NaN component), the gradient at
// each corner of the trilinear interpolant of the eight values: along each
// axis the difference across the cell's edge from that corner, over `side`.
// No field sample is needed, and a cell changing sign somewhere still sees
// the slope that carries it there.
std::array<Vec3, 8> split_gradients(const std::array<const CornerSample*, 8>& samples,
                                    double side, bool from_values);

}  // namespace karvex
