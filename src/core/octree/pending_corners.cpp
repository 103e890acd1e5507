#include "octree/pending_corners.h"

#include <array>

#include "octree/subgrid.h"
#include "support/panic.h"

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
  if (!keys_.empty()) {
    cache_.index_.erase_entries_from(static_cast<std::uint32_t>(cache_.entries_.size()));
  }
  cache_.pending_ = 0;
  open_ = false;
}

void PendingCorners::prepare_cell() {
  if (!open_) fail("corner pass gathered into after it was sampled");
  // Grow the key list before touching the index: a key indexed as pending
  // must be recorded (and so get its entry number).
  if (keys_.capacity() - keys_.size() < kSubgridPoints) {
    keys_.reserve(2 * keys_.capacity() + 64);
  }
  // Nothing can be appended to the cache once a key is pending, so the
  // pending keys take the entry numbers that follow the cache's entries.
  if (cache_.entries_.size() + keys_.size() + kSubgridPoints >= CornerCache::kAbsent) {
    fail("corner cache is full");
  }
}

template <std::size_t N>
void PendingCorners::claim_subgrid(const CornerKey& corner, std::uint8_t d,
                                   const std::array<std::uint8_t, N>& order, SubgridSlots& slots) {
  prepare_cell();
  const std::uint32_t q = pow2(static_cast<unsigned>(tree_.max_depth) - d - 1u);
  // Most sub-grids lie within one dense region of the index: then their
  // points are found by offset from one address, not located one by one.
  // What is stored where is the same as claim() would store.
  const LatticeIndex::DenseCube cube = cache_.index_.dense_cube(corner, 2 * q);
  if (cube.numbers != nullptr) {
    for (std::uint8_t s : order) {
      const std::uint32_t a = s % 3u, b = (s / 3u) % 3u, c = s / 9u;
      std::uint32_t& number =
          cube.numbers[a * q + cube.stride_y * (b * q) + cube.stride_z * (c * q)];
      if (number == CornerCache::kAbsent) {
        number = static_cast<std::uint32_t>(cache_.entries_.size() + keys_.size());
        keys_.push_back({corner.x + a * q, corner.y + b * q, corner.z + c * q});
      }
      slots[s] = number;
    }
  } else {
    const std::array<CornerKey, 27> keys = subgrid_keys(corner, d, tree_.max_depth);
    for (std::uint8_t s : order) slots[s] = claim(keys[s]);
  }
  cache_.pending_ = keys_.size();
}

void PendingCorners::gather_split_corners(const CornerKey& corner, std::uint8_t d,
                                          SubgridSlots& slots) {
  claim_subgrid(corner, d, kSubgrid.first_seen, slots);
}

void PendingCorners::gather_split_corners(const CornerKey& corner, std::uint8_t d,
                                          const std::array<std::uint32_t, 8>& corners,
                                          SubgridSlots& slots) {
  for (unsigned i = 0; i < 8; ++i) slots[kSubgrid.parent_corner[i]] = corners[i];
  claim_subgrid(corner, d, kSubgrid.first_seen_inner, slots);
}

std::uint64_t PendingCorners::sample(Field& field, double h) {
  if (!open_) fail("corner pass sampled twice");
  if (keys_.empty()) {
    open_ = false;
    return 0;
  }
  const PointWriter write = [this](std::span<Vec3> out) {
    for (std::size_t j = 0; j < out.size(); ++j) out[j] = tree_.position(keys_[j], h_);
  };
  const auto store = [&](const SampleView& s) {
    // Room first: once appending starts it cannot fail half way.
    cache_.entries_.reserve(cache_.entries_.size() + keys_.size());
    for (std::size_t j = 0; j < keys_.size(); ++j) {
      cache_.entries_.push_back({{s.values[j], s.gradients[j]}});
    }
  };
  const std::uint64_t charge = evaluate_samples(field, keys_.size(), write, h, store);
  cache_.pending_ = 0;
  open_ = false;
  return charge;
}

}  // namespace karvex
