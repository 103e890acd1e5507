#include "dc/surface_cells.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "octree/cell_codes.h"
#include "pool/run_monitor.h"
#include "support/panic.h"

namespace karvex {

namespace {

struct Walk {
  const Octree& tree;
  std::vector<SurfaceCell>& out;
  std::vector<CornerValues>* values = nullptr;  // when wanted
  RunMonitor* monitor = RunMonitor::active();
  std::size_t leaves_since_poll = 0;

  void visit(const OctreeNode& node, const CellAddress& address, const Vec3& cell_min,
             double cell_side) {
    if (node.kind == NodeKind::Internal) {
      const ChildBlock& children = tree.block(node.index);
      const double half = cell_side * 0.5;
      for (unsigned c = 0; c < 8; ++c) {
        // Empty and Full children hold no surface: not placed at all.
        const NodeKind kind = children[c].kind;
        if (kind != NodeKind::Internal && kind != NodeKind::Leaf) continue;
        visit(children[c], child_address(address, c), child_min(cell_min, half, c), half);
      }
      return;
    }
    if (node.kind != NodeKind::Leaf) return;
    if (monitor && ++leaves_since_poll == kPollBlock) {
      monitor->advance(kPollBlock);
      leaves_since_poll = 0;
    }
    if (address.d < tree.min_depth) return;
    const std::uint8_t mask = tree.leaf_mask(node);
    if (mask == 0 || mask == 255) return;
    out.push_back({address, cell_min, cell_side, mask});
    if (values != nullptr) values->push_back(tree.leaf(node).values);
  }
};

}  // namespace

namespace {

std::vector<SurfaceCell> walk_surface_cells(const Octree& tree,
                                            std::vector<CornerValues>* values) {
  std::vector<SurfaceCell> cells;
  // Every surface cell has a leaf record, so this bounds the lists; pages
  // beyond the cells actually found are reserved but never touched.
  cells.reserve(tree.leaf_count());
  if (values != nullptr) {
    values->clear();
    values->reserve(tree.leaf_count());
  }
  Walk walk{tree, cells, values};
  walk.visit(tree.root, CellAddress{0, 0, 0, 0}, tree.origin, tree.size);
  return cells;
}

}  // namespace

std::vector<SurfaceCell> collect_surface_cells(const Octree& tree) {
  return walk_surface_cells(tree, nullptr);
}

std::vector<SurfaceCell> collect_surface_cells(const Octree& tree,
                                               std::vector<CornerValues>& values) {
  return walk_surface_cells(tree, &values);
}

void CellLookup::insert(const CellAddress& address, std::uint64_t index) {
  if (index >= LatticeIndex::kAbsent) fail("too many surface cells for 32-bit cell numbers");
  add_depth(address.d);
  by_depth_[address.d]->try_emplace({address.x, address.y, address.z},
                                    static_cast<std::uint32_t>(index));
}

void CellLookup::add_depth(unsigned d) {
  if (by_depth_.size() <= d) by_depth_.resize(d + 1u);
  std::unique_ptr<LatticeIndex>& depth = by_depth_[d];
  if (depth == nullptr) depth = std::make_unique<LatticeIndex>(d);
}

std::uint64_t CellLookup::at(const CellAddress& address) const {
  const std::uint64_t index = find(address);
  if (index == kAbsent) throw std::out_of_range("no surface cell at this address");
  return index;
}

CellLookup build_cell_lookup(const std::vector<SurfaceCell>& cells) {
  CellLookup lookup;
  monitored_for(cells.size(), [&](std::size_t i) { lookup.insert(cells[i].address, i); });
  return lookup;
}

CellLookup build_cell_lookup(const UnfilledVector<CellSigns>& cells) {
  CellLookup lookup;
  monitored_for(cells.size(), [&](std::size_t i) { lookup.insert(cells[i].address, i); });
  return lookup;
}

namespace {

// Cells per task of the parallel index, and ranges added at once.
constexpr std::size_t kLookupBlock = 16 * kPollBlock;
constexpr std::size_t kLookupParts = 8;

// The Morton code (x in the lowest bit of each triple, as octants are
// numbered) of the cell's ancestor at the index's region level, or of its
// minimum corner there for a coarser cell. The walk lists cells in
// non-decreasing order of it, and two cells of one depth share a region of
// its index only if their codes are equal.
// Spreads the region level's bits of a coordinate three apart.
constexpr std::array<std::uint32_t, 1u << LatticeIndex::kRegionLevel> kSpreadBits = [] {
  std::array<std::uint32_t, 1u << LatticeIndex::kRegionLevel> table{};
  for (std::uint32_t v = 0; v < table.size(); ++v) {
    for (unsigned b = 0; b < LatticeIndex::kRegionLevel; ++b) table[v] |= ((v >> b) & 1u) << (3 * b);
  }
  return table;
}();

std::uint32_t region_code(const CellAddress& a) {
  constexpr unsigned level = LatticeIndex::kRegionLevel;
  constexpr std::uint32_t mask = (1u << level) - 1u;
  const auto scaled = [&](std::uint32_t c) {
    return (a.d >= level ? c >> (a.d - level) : c << (level - a.d)) & mask;
  };
  return kSpreadBits[scaled(a.x)] | (kSpreadBits[scaled(a.y)] << 1) |
         (kSpreadBits[scaled(a.z)] << 2);
}

template <class Cells>
CellLookup build_lookup_on(WorkerPool& pool, const Cells& cells) {
  const std::size_t n = cells.size();
  if (n < kLookupBlock) return build_cell_lookup(cells);
  if (n >= LatticeIndex::kAbsent) fail("too many surface cells for 32-bit cell numbers");
  // Per block: the depths present, and whether the codes never decrease.
  struct BlockSummary {
    std::uint64_t depths = 0;
    bool ordered = true;
  };
  const std::size_t blocks = (n + kLookupBlock - 1) / kLookupBlock;
  std::vector<BlockSummary> summary(blocks);
  {
    const RunMonitor::Suspended quiet;
    parallel_for(pool, blocks, [&](std::size_t b) {
      BlockSummary s;
      const std::size_t begin = b * kLookupBlock;
      const std::size_t end = std::min(n, begin + kLookupBlock);
      // Overlapping the previous block by one cell checks the seam too.
      std::uint32_t last = begin == 0 ? 0 : region_code(cells[begin - 1].address);
      for (std::size_t i = begin; i < end; ++i) {
        const CellAddress& a = cells[i].address;
        s.depths |= std::uint64_t{1} << (a.d & 63u);
        const std::uint32_t code = region_code(a);
        s.ordered = s.ordered && code >= last;
        last = code;
      }
      summary[b] = s;
    }, 1);
  }
  std::uint64_t depths = 0;
  bool ordered = true;
  for (const BlockSummary& s : summary) {
    depths |= s.depths;
    ordered = ordered && s.ordered;
  }
  for (unsigned d = 0; d < 64; ++d) {
    if (((depths >> d) & 1u) && !LatticeIndex::regioned(d)) ordered = false;
  }
  if (!ordered) return build_cell_lookup(cells);
  CellLookup lookup;
  for (unsigned d = 0; d < 64; ++d) {
    if ((depths >> d) & 1u) lookup.add_depth(d);
  }
  // Ranges that start where the code goes up share no region.
  std::array<std::size_t, kLookupParts + 1> bounds{};
  bounds[kLookupParts] = n;
  for (std::size_t p = 1; p < kLookupParts; ++p) {
    std::size_t i = std::max(bounds[p - 1], p * n / kLookupParts);
    while (i > 0 && i < n && region_code(cells[i].address) == region_code(cells[i - 1].address)) {
      ++i;
    }
    bounds[p] = i;
  }
  {
    const RunMonitor::Suspended quiet;
    parallel_for(pool, kLookupParts, [&](std::size_t p) {
      for (std::size_t i = bounds[p]; i < bounds[p + 1]; ++i) lookup.insert(cells[i].address, i);
    }, 1);
  }
  if (RunMonitor* monitor = RunMonitor::active()) monitor->advance(n);
  return lookup;
}

}  // namespace

CellLookup build_cell_lookup(WorkerPool& pool, const std::vector<SurfaceCell>& cells) {
  return build_lookup_on(pool, cells);
}

CellLookup build_cell_lookup(WorkerPool& pool, const UnfilledVector<CellSigns>& cells) {
  return build_lookup_on(pool, cells);
}

UnfilledVector<CellSigns> cell_signs(const std::vector<SurfaceCell>& cells) {
  UnfilledVector<CellSigns> out(cells.size());
  for (std::size_t i = 0; i < cells.size(); ++i) out[i] = {cells[i].address, cells[i].sign_mask};
  return out;
}

UnfilledVector<CellSigns> cell_signs(WorkerPool& pool, const std::vector<SurfaceCell>& cells) {
  const RunMonitor::Suspended quiet;
  // Every entry is written by the loop, each page by the worker that writes it.
  UnfilledVector<CellSigns> out(cells.size());
  parallel_for(pool, cells.size(),
               [&](std::size_t i) { out[i] = {cells[i].address, cells[i].sign_mask}; });
  return out;
}

UnfilledVector<CellSigns> finest_cell_signs(WorkerPool& pool, const Octree& tree) {
  if (!tree.lists_finest_leaves()) fail("the tree does not list its finest leaves");
  const std::vector<std::uint64_t>& codes = tree.finest_leaf_codes;
  const std::vector<std::uint8_t>& masks = tree.finest_leaf_masks;
  UnfilledVector<CellSigns> out(codes.size());
  {
    const RunMonitor::Suspended quiet;
    // Every entry is written by the loop, each page by the worker that writes it.
    parallel_for(pool, codes.size(), [&](std::size_t i) {
      const auto at = decode_cell_code(codes[i]);
      out[i] = {{at[0], at[1], at[2], tree.max_depth}, masks[i]};
    });
  }
  if (RunMonitor* monitor = RunMonitor::active()) monitor->advance(codes.size());
  return out;
}

CellPlacer::CellPlacer(const Vec3& origin, double size) : origin_(origin) {
  sides_[0] = size;
  for (std::size_t d = 1; d < sides_.size(); ++d) sides_[d] = sides_[d - 1] * 0.5;
  int exponent = 0;
  const bool power_of_two = std::isfinite(size) && size > 0.0 && std::frexp(size, &exponent) == 0.5;
  constexpr double kExactRange = 4503599627370496.0;  // 2^52
  for (std::size_t d = 0; d < sides_.size(); ++d) {
    const double side = sides_[d];
    bool exact = power_of_two && side >= std::numeric_limits<double>::min() &&
                 size <= kExactRange * side;
    for (int axis = 0; axis < 3; ++axis) {
      const double at = origin[axis];
      exact = exact && std::isfinite(at) && std::fmod(at, side) == 0.0 &&
              std::fabs(at) <= kExactRange * side;
    }
    exact_[d] = exact;
  }
}

SurfaceCell CellPlacer::summed(const CellSigns& cell) const {
  const CellAddress& a = cell.address;
  if (a.d >= sides_.size()) fail_index(sides_.size(), a.d);
  if (((std::uint64_t{a.x} | a.y | a.z) >> a.d) != 0) fail("a cell address beyond its depth");
  // The walk adds, per level from the root down, the half side or 0.0.
  // Adding 0.0 changes no bit except that -0.0 becomes +0.0, and a sum with
  // a positive half is never -0.0: so the set bits' halves are added from
  // the highest, then 0.0 once when any level was added.
  const auto place = [&](double at, std::uint32_t bits) {
    while (bits != 0) {
      const unsigned high = 31u - static_cast<unsigned>(std::countl_zero(bits));
      at = at + sides_[a.d - high];
      bits &= ~(std::uint32_t{1} << high);
    }
    return a.d != 0 ? at + 0.0 : at;
  };
  return {a, {place(origin_.x, a.x), place(origin_.y, a.y), place(origin_.z, a.z)}, sides_[a.d],
          cell.sign_mask};
}

}  // namespace karvex
