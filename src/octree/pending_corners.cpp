#include "octree/pending_corners.h"

#include <array>

#include "octree/subgrid.h"
#include "panic.h"

namespace karvex {

PendingCorners::PendingCorners(const Octree& tree, CornerCache& cache)
    : tree_(tree), cache_(cache) {
  cache_.require_no_pending();
}

PendingCorners::~PendingCorners() {
  if (open_) drop_pending();
}

void PendingCorners::drop_pending() noexcept {
  for (const CornerKey& key : keys_) cache_.index_.erase(key);
  cache_.pending_ = 0;
  open_ = false;
}

std::uint32_t PendingCorners::claim(const CornerKey& key) {
  if (!open_) fail("corner pass gathered into after it was sampled");
  // Grow the key lists before touching the index, so that a key, once
  // indexed, is always recorded here too (and removed again on failure).
  if (keys_.size() == keys_.capacity()) {
    const std::size_t room = 2 * keys_.capacity() + 64;
    keys_.reserve(room);
    positions_.reserve(room);
  }
  // Nothing can be appended to the cache once a key is pending, so the
  // pending keys take the entry numbers that follow the cache's entries.
  const std::size_t next = cache_.entries_.size() + keys_.size();
  if (next >= CornerCache::kAbsent) fail("corner cache is full");
  const auto [it, inserted] = cache_.index_.try_emplace(key, static_cast<std::uint32_t>(next));
  if (inserted) {
    keys_.push_back(key);
    positions_.push_back(tree_.position(key));
    ++cache_.pending_;
  }
  return it->second;
}

void PendingCorners::gather_split_corners(const CornerKey& corner, std::uint8_t d,
                                          SubgridSlots& slots) {
  const std::array<CornerKey, 27> keys = subgrid_keys(corner, d, tree_.max_depth);
  for (std::uint8_t s : kSubgrid.first_seen) slots[s] = claim(keys[s]);
}

std::uint64_t PendingCorners::sample(Field& field, double h) {
  if (!open_) fail("corner pass sampled twice");
  if (keys_.empty()) {
    open_ = false;
    return 0;
  }
  const BatchSamples samples = evaluate_samples(field, positions_, h);
  // Room first: once appending starts it cannot fail half way.
  cache_.entries_.reserve(cache_.entries_.size() + keys_.size());
  for (std::size_t j = 0; j < keys_.size(); ++j) {
    cache_.entries_.push_back({keys_[j], {samples.values[j], samples.gradients[j], true}});
  }
  cache_.pending_ = 0;
  open_ = false;
  return samples.charge;
}

}  // namespace karvex
