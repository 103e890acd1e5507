#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <utility>
#include <vector>

#include "field/field.h"
#include "octree/chunked_array.h"
#include "octree/lattice_index.h"
#include "octree/octree.h"
#include "support/flat_hash.h"

namespace karvex {

// One field sample at a lattice point: the raw value and its gradient (from
// the field, or from finite differences when the field returns none: every
// stored sample has one). 32 bytes: a deep build stores tens of millions.
struct CornerSample {
  double value = 0.0;
  Vec3 gradient;
};

// Every sample of one build, keyed by lattice point. Insertion of a present
// key replaces its sample; nothing is ever removed. The map is never iterated,
// so its order is irrelevant.
//
// Layout: an index (key -> entry number, by region of the lattice, see
// lattice_index.h) over an append-only, segmented array of samples. Entry
// numbers and entry addresses are stable for the life of the cache, so a
// pass can note where the samples of a split will be and read them without
// a second lookup. The interface (find/end/at/size/...) mirrors a hash
// map's; a found iterator points at an entry whose `second` is the sample
// (the key lives in the index only).
struct CornerEntry {
  CornerSample second;
};

class CornerCache {
 public:
  using value_type = CornerEntry;
  using const_iterator = const value_type*;
  static constexpr std::uint32_t kAbsent = 0xffffffffu;

  // A cache for the lattice of depth max_depth (it only tunes the index's
  // regions; any key can be stored).
  CornerCache() = default;
  explicit CornerCache(unsigned max_depth) : index_(max_depth) {}

  const_iterator find(const CornerKey& key) const {
    const std::uint32_t entry = entry_of(key);
    return entry == kAbsent ? end() : &entries_[entry];
  }
  const_iterator end() const { return nullptr; }
  bool contains(const CornerKey& key) const { return entry_of(key) != kAbsent; }
  // The sample of a present key; std::out_of_range when absent.
  const CornerSample& at(const CornerKey& key) const;
  // The sample of `key`, inserted with a default sample when absent.
  CornerSample& operator[](const CornerKey& key);
  void insert_or_assign(const CornerKey& key, const CornerSample& sample);

  // Entry number of `key`, or kAbsent. Keys gathered by an open
  // PendingCorners pass but not yet sampled are absent.
  std::uint32_t entry_of(const CornerKey& key) const {
    const std::uint32_t entry = index_.find(key);
    return entry >= entries_.size() ? kAbsent : entry;
  }
  // The sample stored as entry `entry` (< size(), unchecked).
  const CornerSample& sample(std::uint32_t entry) const { return entries_[entry].second; }

  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  // Room for `count` samples in total without allocating. (The index grows
  // region by region.)
  void reserve(std::size_t count);

 private:
  friend class PendingCorners;

  // Fails while a PendingCorners pass is open: its entry numbers assume that
  // nothing else is appended before it is sampled.
  void require_no_pending() const;

  LatticeIndex index_;
  ChunkedArray<value_type, 14> entries_;

  std::size_t pending_ = 0;  // keys in index_ with entry numbers >= size()
};

using CornerKeySet = FlatHashSet<CornerKey, CornerKeyHash>;

// The corners one pass still has to sample: keys without repeats in first-
// occurrence order, their world positions in the same order, and the set of
// keys gathered so far.
class CornerBatch {
 public:
  // Appends `key` unless the cache or this batch already holds it.
  void add_if_new(const Octree& tree, const CornerCache& cache, const CornerKey& key);
  // Records `key` as gathered; false when it already was.
  bool claim(const CornerKey& key) { return gathered_.insert(key); }
  // Appends `key` without any check: for callers that know it is new to both
  // the cache and the batch. It is not recorded as gathered.
  void append(const Octree& tree, const CornerKey& key);

  bool empty() const { return keys_.empty(); }
  std::size_t size() const { return keys_.size(); }
  const std::vector<CornerKey>& keys() const { return keys_; }
  const std::vector<Vec3>& positions() const { return positions_; }

 private:
  std::vector<CornerKey> keys_;
  std::vector<Vec3> positions_;
  CornerKeySet gathered_;
};

// The field samples of one batch of N points, where the field returned them:
// value j and gradient j belong to point j (at least N of each).
struct SampleView {
  std::span<const double> values;
  GradientRows gradients;
};

// Evaluates a non-empty batch and hands its samples to `store` without
// copying them first: N values and N gradients, from the field, or estimated
// by central differences with step 0.01 * h from one more field call. Returns
// the charge, N or 7N. Fewer values or gradient rows than points fail with
// "index out of bounds: the len is {len} but the index is {index}" for the
// first point j whose value (read first) or gradient is missing, before
// `store` is called. Field errors propagate unchanged.
std::uint64_t evaluate_samples(Field& field, std::span<const Vec3> positions, double h,
                               const std::function<void(const SampleView&)>& store);
// The same for `count` points that `write` puts straight into the field's
// input (Field::evaluate_written); when the field returns no gradients, the
// points are written once more, into a list, for the central differences.
std::uint64_t evaluate_samples(Field& field, std::size_t count, const PointWriter& write, double h,
                               const std::function<void(const SampleView&)>& store);

// Samples a batch (evaluate_samples) and inserts it into the cache in batch
// order. Returns the charge; an empty batch makes no call and charges 0. On
// any failure nothing of the batch enters the cache.
std::uint64_t sample_batch(Field& field, CornerCache& cache, const std::vector<CornerKey>& keys,
                           const std::vector<Vec3>& positions, double h);
// The same for the lattice points `keys`, whose world positions
// (Octree::position) are written straight into the field's input rather than
// kept in a list beside the keys.
std::uint64_t sample_keys(Field& field, CornerCache& cache, const std::vector<CornerKey>& keys,
                          const Octree& tree, double h);
inline std::uint64_t sample_batch(Field& field, CornerCache& cache, const CornerBatch& batch,
                                  double h) {
  return sample_batch(field, cache, batch.keys(), batch.positions(), h);
}

// Samples the initial grid of a build: every lattice point (i << s, j << s,
// k << s), 0 <= i, j, k <= 2^min_depth, s = max_depth - min_depth, z
// outermost and x fastest, without consulting the cache. Charged like
// sample_batch, but all values are read before any gradient, so a short value
// array fails before a finite-difference call is made.
std::uint64_t sample_initial_grid(const Octree& tree, Field& field, CornerCache& cache);

// Makes a node from the eight samples of a cell, in corner order: Empty for
// mask 0, Full for mask 255, otherwise a Leaf (its record appended to the
// tree) whose gradients are present exactly when all eight samples have one.
OctreeNode make_node(Octree& tree, const std::array<const CornerSample*, 8>& samples);

// Builds the eight children of the cell with minimum corner `corner` at depth
// d from cached samples. A missing corner fails with `missing_message`; the
// tree is then left as it was (no leaf record added).
ChildBlock make_children(Octree& tree, const CornerCache& cache, const CornerKey& corner,
                         std::uint8_t d, const char* missing_message);

// Cache entry numbers of the 27 points of a split cell's 3x3x3 sub-grid,
// point (a, b, c) at index a + 3*b + 9*c.
using SubgridSlots = std::array<std::uint32_t, 27>;

// The same, reading the sub-grid samples at entry numbers noted while
// gathering. An entry number beyond the cache fails with `missing_message`.
ChildBlock make_children(Octree& tree, const CornerCache& cache, const SubgridSlots& slots,
                         const char* missing_message);

}  // namespace karvex
