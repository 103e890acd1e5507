#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "dc/surface_cells.h"
#include "octree/octree.h"
#include "support/panic.h"

namespace karvex {

// The surface cells' raw corner values, as finding the crossings' shares
// and starting their root searches read them: either stored, one
// CornerValues per cell in cell order (copied out of the leaf records), or
// read again at the cells' lattice corners from a tree that keeps no leaf
// records (Octree::lattice_value), which costs no memory per cell.
class CellCornerValues {
 public:
  CellCornerValues() = default;
  // Stored values; implicit, so that a list of CornerValues is passed as is.
  CellCornerValues(std::vector<CornerValues> stored)
      : stored_(std::move(stored)), count_(stored_.size()) {}
  // Values read from `tree.lattice_value` for `count` cells of `tree`.
  CellCornerValues(const Octree& tree, std::size_t count)
      : read_(tree.lattice_value), max_depth_(tree.max_depth), count_(count) {}

  // The number of cells the values are for.
  std::size_t size() const { return count_; }

  // Whether a value is its lattice point's alone, so that cells of one
  // depth sharing a corner share its value bit for bit.
  bool by_lattice_point() const { return static_cast<bool>(read_); }

  // Corner `corner` (dx + 2*dy + 4*dz) of cell number `index`, which is
  // `cell`. An index beyond the cells is an invariant failure.
  double at(const SurfaceCell& cell, std::size_t index, unsigned corner) const {
    if (index >= count_) fail_index(count_, index);
    if (read_) return read_(cell_corner(cell.address, corner, max_depth_));
    return stored_[index][corner];
  }

  // A hint that corner `corner` of `cell` will be read soon (values read by
  // lattice point only: stored ones lie in cell order already).
  void prefetch(const SurfaceCell& cell, unsigned corner) const {
    if (read_) read_.prefetch(cell_corner(cell.address, corner, max_depth_));
  }

 private:
  std::vector<CornerValues> stored_;
  LatticeValues read_;
  std::uint8_t max_depth_ = 0;
  std::size_t count_ = 0;
};

}  // namespace karvex
