#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "field/field.h"
#include "octree/corner_cache.h"
#include "octree/octree.h"

namespace karvex {

// The new corners of one refinement pass, gathered straight into the cache's
// index and then sampled as one batch.
//
// Gathering a split cell probes the index once per point of its 3x3x3
// sub-grid: a key that is cached, or already gathered in this pass, yields
// its entry number; any other key is added as pending with the entry number
// it will get when the batch is sampled. The keys, their order and the batch
// are exactly those of the plain walk over the 64 corners of the eight
// children into a CornerBatch (gather_split_corners in
// tests/cpp/support/reference_octree.h, which the tests compare); what is saved
// is the separate set of gathered keys, the second lookup when the batch is
// inserted, and the lookups when the cells are split (the noted entry
// numbers, SubgridSlots, give their samples directly).
//
// Pending keys are invisible to the cache's lookups. Only one pass may be
// open on a cache, and nothing else may be inserted while it is. If the pass
// is not sampled successfully (an error from the field, or it is simply
// dropped), its keys are removed again and the cache is as it was.
class PendingCorners {
 public:
  PendingCorners(const Octree& tree, CornerCache& cache);
  ~PendingCorners();
  PendingCorners(const PendingCorners&) = delete;
  PendingCorners& operator=(const PendingCorners&) = delete;

  // Gathers the new corners of the cell with minimum corner `corner` at depth
  // d (child octant 0..7 outer, child corner 0..7 inner) and notes in `slots`
  // the entry numbers of its 27 sub-grid samples.
  void gather_split_corners(const CornerKey& corner, std::uint8_t d, SubgridSlots& slots);

  // The same for a cell whose own corners are known to be the cache entries
  // `corners` (corner order): they are taken as they are instead of being
  // looked up. They are cached, so the gathered keys are the same.
  void gather_split_corners(const CornerKey& corner, std::uint8_t d,
                            const std::array<std::uint32_t, 8>& corners, SubgridSlots& slots);

  // Room for `count` corners without reallocating.
  void reserve(std::size_t count) { keys_.reserve(count); }

  std::size_t size() const { return keys_.size(); }
  // The gathered keys, in batch order.
  const std::vector<CornerKey>& keys() const { return keys_; }

  // Samples the gathered corners in one batch (evaluate_samples) and stores
  // them under the noted entry numbers. Their world positions are written
  // straight into the field's input (Octree::position's formula, with the
  // spacing computed once), not kept beside the keys: a deep pass gathers
  // millions of corners. Returns the charge; no corners, no call. May be
  // called once.
  std::uint64_t sample(Field& field, double h);

 private:
  static constexpr std::size_t kSubgridPoints = 27;

  // The entry number of `key`: its cache entry, or the one it gets when the
  // batch is sampled (a new key is appended to the batch). The caller has
  // made room for the key in the lists and checked the entry range.
  // Inlined into the gathering loops: it runs 20 to 30 times per split.
  [[gnu::always_inline]] std::uint32_t claim(const CornerKey& key) {
    const auto next = static_cast<std::uint32_t>(cache_.entries_.size() + keys_.size());
    const auto [entry, inserted] = cache_.index_.try_emplace(key, next);
    if (inserted) keys_.push_back(key);
    return entry;
  }
  // Claims the points of the sub-grid of the cell with minimum corner
  // `corner` at depth d whose sub-grid indices `order` lists, in that order.
  template <std::size_t N>
  void claim_subgrid(const CornerKey& corner, std::uint8_t d,
                     const std::array<std::uint8_t, N>& order, SubgridSlots& slots);
  // Makes room for one cell's sub-grid in the lists and checks that its new
  // keys can have entry numbers.
  void prepare_cell();
  void drop_pending() noexcept;

  const Octree& tree_;
  CornerCache& cache_;
  double h_;  // lattice spacing
  std::vector<CornerKey> keys_;
  bool open_ = true;
};

}  // namespace karvex
