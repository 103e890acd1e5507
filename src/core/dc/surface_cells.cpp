#include "dc/surface_cells.h"

#include <stdexcept>

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
  if (by_depth_.size() <= address.d) by_depth_.resize(address.d + 1u);
  std::unique_ptr<LatticeIndex>& depth = by_depth_[address.d];
  if (depth == nullptr) depth = std::make_unique<LatticeIndex>(address.d);
  depth->try_emplace({address.x, address.y, address.z}, static_cast<std::uint32_t>(index));
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

CellLookup build_cell_lookup(const std::vector<CellSigns>& cells) {
  CellLookup lookup;
  monitored_for(cells.size(), [&](std::size_t i) { lookup.insert(cells[i].address, i); });
  return lookup;
}

std::vector<CellSigns> cell_signs(const std::vector<SurfaceCell>& cells) {
  std::vector<CellSigns> out(cells.size());
  for (std::size_t i = 0; i < cells.size(); ++i) out[i] = {cells[i].address, cells[i].sign_mask};
  return out;
}

}  // namespace karvex
