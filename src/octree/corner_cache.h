#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include <tsl/robin_map.h>
#include <tsl/robin_set.h>

#include "eval/field.h"
#include "octree/mod.h"

namespace karvex {

// One field sample at a lattice point: the raw value and, after a successful
// batch, its gradient (from the field or from finite differences).
struct CornerSample {
  double value = 0.0;
  Vec3 gradient;
  bool has_gradient = false;
};

// Every sample of one build, keyed by lattice point. Never iterated, so its
// order is irrelevant; insertion replaces.
using CornerCache = tsl::robin_map<CornerKey, CornerSample, CornerKeyHash>;
using CornerKeySet = tsl::robin_set<CornerKey, CornerKeyHash>;

// The corners one pass still has to sample: keys without repeats in first-
// occurrence order, their world positions in the same order, and the set of
// keys gathered so far.
class CornerBatch {
 public:
  // Appends `key` unless the cache or this batch already holds it.
  void add_if_new(const Octree& tree, const CornerCache& cache, const CornerKey& key);

  bool empty() const { return keys_.empty(); }
  std::size_t size() const { return keys_.size(); }
  const std::vector<CornerKey>& keys() const { return keys_; }
  const std::vector<Vec3>& positions() const { return positions_; }

 private:
  std::vector<CornerKey> keys_;
  std::vector<Vec3> positions_;
  CornerKeySet gathered_;
};

// Adds to `batch` the corners of the eight children of the cell with minimum
// corner `corner` at depth d: for each child octant 0..7, each child corner
// 0..7, the key (X + bx*q + dx*q, ...) with q = 2^(max_depth - d - 1).
void gather_split_corners(const Octree& tree, const CornerCache& cache, const CornerKey& corner,
                          std::uint8_t d, CornerBatch& batch);

// Samples a batch and inserts it into the cache in batch order: one field
// call, plus one finite-difference call with step 0.01 * h when that call
// returned no gradients. Returns the charge (N, or 7N when estimated). An
// empty batch makes no call and charges 0. Field errors propagate before any
// sample of the batch enters the cache.
std::uint64_t sample_batch(Field& field, CornerCache& cache, const std::vector<CornerKey>& keys,
                           const std::vector<Vec3>& positions, double h);
inline std::uint64_t sample_batch(Field& field, CornerCache& cache, const CornerBatch& batch,
                                  double h) {
  return sample_batch(field, cache, batch.keys(), batch.positions(), h);
}

// Makes a node from the eight samples of a cell, in corner order: Empty for
// mask 0, Full for mask 255, otherwise a Leaf (its record appended to the
// tree) whose gradients are present exactly when all eight samples have one.
OctreeNode make_node(Octree& tree, const std::array<const CornerSample*, 8>& samples);

// Builds the eight children of the cell with minimum corner `corner` at depth
// d from cached samples. A missing corner fails with `missing_message`; the
// tree is then left as it was (no leaf record added).
ChildBlock make_children(Octree& tree, const CornerCache& cache, const CornerKey& corner,
                         std::uint8_t d, const char* missing_message);

}  // namespace karvex
