#include "octree/pending_corners.h"

#include <array>

#include "octree/subgrid.h"
#include "panic.h"

namespace karvex {

PendingCorners::PendingCorners(const Octree& tree, CornerCache& cache)
    : tree_(tree), cache_(cache), h_(tree.spacing()) {
  cache_.require_no_pending();
}

PendingCorners::~PendingCorners() {
  if (open_) drop_pending();
}

void PendingCorners::drop_pending() noexcept {
  // The pending keys are exactly those indexed with entry numbers from the
  // cache's size on.
  if (!positions_.empty()) {
    cache_.index_.erase_entries_from(static_cast<std::uint32_t>(cache_.entries_.size()));
  }
  cache_.pending_ = 0;
  open_ = false;
}

void PendingCorners::prepare_cell() {
  if (!open_) fail("corner pass gathered into after it was sampled");
  // Grow the position list before touching the index: a key indexed as
  // pending must get its position (and so its entry number) recorded.
  if (positions_.capacity() - positions_.size() < kSubgridPoints) {
    positions_.reserve(2 * positions_.capacity() + 64);
  }
  // Nothing can be appended to the cache once a key is pending, so the
  // pending keys take the entry numbers that follow the cache's entries.
  if (cache_.entries_.size() + positions_.size() + kSubgridPoints >= CornerCache::kAbsent) {
    fail("corner cache is full");
  }
}

void PendingCorners::gather_split_corners(const CornerKey& corner, std::uint8_t d,
                                          SubgridSlots& slots) {
  prepare_cell();
  const std::array<CornerKey, 27> keys = subgrid_keys(corner, d, tree_.max_depth);
  for (std::uint8_t s : kSubgrid.first_seen) slots[s] = claim(keys[s]);
  cache_.pending_ = positions_.size();
}

void PendingCorners::gather_split_corners(const CornerKey& corner, std::uint8_t d,
                                          const std::array<std::uint32_t, 8>& corners,
                                          SubgridSlots& slots) {
  prepare_cell();
  for (unsigned i = 0; i < 8; ++i) slots[kSubgrid.parent_corner[i]] = corners[i];
  const std::array<CornerKey, 27> keys = subgrid_keys(corner, d, tree_.max_depth);
  for (std::uint8_t s : kSubgrid.first_seen_inner) slots[s] = claim(keys[s]);
  cache_.pending_ = positions_.size();
}

std::uint64_t PendingCorners::sample(Field& field, double h) {
  if (!open_) fail("corner pass sampled twice");
  if (positions_.empty()) {
    open_ = false;
    return 0;
  }
  const std::uint64_t charge = evaluate_samples(field, positions_, h, [&](const SampleView& s) {
    // Room first: once appending starts it cannot fail half way.
    cache_.entries_.reserve(cache_.entries_.size() + positions_.size());
    for (std::size_t j = 0; j < positions_.size(); ++j) {
      cache_.entries_.push_back({{s.values[j], s.gradients[j], true}});
    }
  });
  cache_.pending_ = 0;
  open_ = false;
  return charge;
}

}  // namespace karvex
