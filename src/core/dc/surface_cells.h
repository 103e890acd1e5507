#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "octree/lattice_index.h"
#include "octree/octree.h"
#include "pool/worker_pool.h"
#include "support/panic.h"
#include "support/unfilled_allocator.h"
#include "support/vec3.h"

namespace karvex {

// A surface leaf taken by Dual Contouring: a Leaf whose sign_mask is neither
// 0 nor 255, at depth min_depth or deeper. Its position in the list of
// surface cells is its cell index, used by every later stage. The corner
// values are kept apart (CornerValues), since only the first stages read
// them: the cells, millions of them, live until the faces are made.
struct SurfaceCell {
  CellAddress address;  // level coordinates at the cell's own depth, and the depth
  Vec3 cell_min;        // minimum corner, by halving from the root (see collect_surface_cells)
  double cell_side = 0.0;
  std::uint8_t sign_mask = 0;  // bit i set when corner i's value < iso_value (NaN: not below)

  // Corner i: cell_min + (bit ? cell_side : 0.0) per axis, bits 0/1/2 of i
  // for x/y/z. Written as a sum even for a clear bit, so that -0.0 turns
  // into +0.0 the same way wherever a corner is placed.
  Vec3 corner(unsigned i) const {
    return {cell_min.x + ((i & 1u) ? cell_side : 0.0), cell_min.y + ((i & 2u) ? cell_side : 0.0),
            cell_min.z + ((i & 4u) ? cell_side : 0.0)};
  }
};

static_assert(sizeof(SurfaceCell) == 56);

// A surface cell as the faces read it, without its geometry: its address
// and sign mask, 20 bytes instead of 56.
struct CellSigns {
  CellAddress address;
  std::uint8_t sign_mask = 0;
};

static_assert(sizeof(CellSigns) == 20);

// The addresses and masks of `cells`, in the same order (on `pool`).
UnfilledVector<CellSigns> cell_signs(const std::vector<SurfaceCell>& cells);
UnfilledVector<CellSigns> cell_signs(WorkerPool& pool, const std::vector<SurfaceCell>& cells);

// The same list as cell_signs(collect_surface_cells(tree)) for a tree that
// lists its finest leaves (tree.lists_finest_leaves()): read from that list
// on `pool`, without walking the tree. Advances the active run's progress
// by the leaves, as the walk does.
UnfilledVector<CellSigns> finest_cell_signs(WorkerPool& pool, const Octree& tree);

// Surface cells of the tree whose root has minimum corner `origin` and side
// `size`, their geometry placed again from their addresses the way
// collect_surface_cells places it (halving from the root): the same bits,
// for stages that keep the 20 bytes of CellSigns per cell rather than the
// 56 of SurfaceCell.
class CellPlacer {
 public:
  CellPlacer(const Vec3& origin, double size);
  // The cell with its geometry. Depths up to 63.
  SurfaceCell operator()(const CellSigns& cell) const {
    const CellAddress& a = cell.address;
    if (a.d != 0 && a.d < exact_.size() && exact_[a.d] &&
        ((std::uint64_t{a.x} | a.y | a.z) >> a.d) == 0) {
      // Sums of multiples of a power of two within 2^52 of it round
      // nowhere; at depth 0 no sum is made (a corner of -0.0 stays so).
      const double side = sides_[a.d];
      return {a,
              {origin_.x + static_cast<double>(a.x) * side,
               origin_.y + static_cast<double>(a.y) * side,
               origin_.z + static_cast<double>(a.z) * side},
              side,
              cell.sign_mask};
    }
    return summed(cell);
  }

 private:
  // The walk's sums replayed, one level at a time.
  SurfaceCell summed(const CellSigns& cell) const;

  Vec3 origin_;
  std::array<double, 64> sides_{};  // the side at each depth: size halved d times
  // Per depth: whether every sum the walk makes down to it is exact (a side
  // that is a power of two, the corner a multiple of the depth's side, both
  // within 2^52 of it), so that a corner is the corner plus address times
  // side, with one rounding-free product and sum.
  std::array<bool, 64> exact_{};
};

// The surface cells by number: the cells themselves, or their addresses
// and masks with a CellPlacer (the same cells, bit for bit). Refers to what
// it is given, which must outlive it.
class NumberedCells {
 public:
  explicit NumberedCells(const std::vector<SurfaceCell>& cells) : cells_(&cells) {}
  NumberedCells(const UnfilledVector<CellSigns>& signs, const CellPlacer& placer)
      : signs_(&signs), placer_(&placer) {}

  std::size_t size() const { return cells_ != nullptr ? cells_->size() : signs_->size(); }
  // Cell number i; an index beyond the cells is an invariant failure.
  SurfaceCell operator()(std::size_t i) const {
    if (i >= size()) fail_index(size(), i);
    return cells_ != nullptr ? (*cells_)[i] : (*placer_)((*signs_)[i]);
  }

 private:
  const std::vector<SurfaceCell>* cells_ = nullptr;
  const UnfilledVector<CellSigns>* signs_ = nullptr;
  const CellPlacer* placer_ = nullptr;
};

// A surface cell's raw corner values, corner order i = dx + 2*dy + 4*dz:
// what finding the crossings, sharing them and starting their root searches
// read, parallel to the cells and freed once those are done.
using CornerValues = std::array<double, 8>;

// Cell address -> cell index. Only queried, never iterated.
//
// One LatticeIndex per depth, over the cells' level coordinates: face
// generation looks up three neighbours of the same depth for every
// sign-changing edge, millions of lookups that a hash table over all cells
// would serve from scattered memory; neighbours lie in the same small
// region of their depth's index.
class CellLookup {
 public:
  static constexpr std::uint64_t kAbsent = ~std::uint64_t{0};

  // Adds a cell (addresses are unique; indices below 2^32 - 1). Cells of
  // different regions of their depth's index (LatticeIndex::kRegionLevel)
  // may be added from several threads at once once their depths are added.
  void insert(const CellAddress& address, std::uint64_t index);
  // Makes the index of depth d, if missing.
  void add_depth(unsigned d);
  // The index of the cell at `address`, or kAbsent.
  std::uint64_t find(const CellAddress& address) const {
    const LatticeIndex* depth = address.d < by_depth_.size() ? by_depth_[address.d].get() : nullptr;
    if (depth == nullptr) return kAbsent;
    const std::uint32_t index = depth->find({address.x, address.y, address.z});
    return index == LatticeIndex::kAbsent ? kAbsent : index;
  }
  std::size_t count(const CellAddress& address) const { return find(address) != kAbsent; }
  // The index of the cell at `address`; std::out_of_range when absent.
  std::uint64_t at(const CellAddress& address) const;

 private:
  std::vector<std::unique_ptr<LatticeIndex>> by_depth_;
};

// The surface cells of `tree` in walk order: depth first from the root,
// children in octant order 0..7. Geometry is carried down by halving: the
// root has cell_min = origin and cell_side = size; a child in octant
// (bx, by, bz) has cell_min = parent + (b ? half : 0.0) per axis and side
// half = parent side * 0.5. Empty, Full and too-shallow nodes are skipped.
std::vector<SurfaceCell> collect_surface_cells(const Octree& tree);
// The same, and each cell's corner values in `values` (replaced), in the
// same order, from the leaf records (a tree without them is an invariant
// failure: its values are read through CellCornerValues).
std::vector<SurfaceCell> collect_surface_cells(const Octree& tree,
                                               std::vector<CornerValues>& values);

// Index of every cell by its address (addresses are unique in an octree).
CellLookup build_cell_lookup(const std::vector<SurfaceCell>& cells);
CellLookup build_cell_lookup(const UnfilledVector<CellSigns>& cells);
// The same index, filled on `pool` when the cells come in walk order
// (collect_surface_cells): the cells of one region of the index are then
// consecutive, and ranges of cells that share no region are added at once.
// Other orders are indexed by one thread. Progress as the serial form.
CellLookup build_cell_lookup(WorkerPool& pool, const std::vector<SurfaceCell>& cells);
CellLookup build_cell_lookup(WorkerPool& pool, const UnfilledVector<CellSigns>& cells);

}  // namespace karvex
