#include "octree/corner_cache.h"

#include <algorithm>
#include <cstddef>
#include <stdexcept>
#include <utility>

#include "eval/fd_gradients.h"
#include "octree/subgrid.h"
#include "panic.h"

namespace karvex {

// ---------------------------------------------------------------------------
// CornerCache

const CornerSample& CornerCache::at(const CornerKey& key) const {
  const std::uint32_t entry = entry_of(key);
  if (entry == kAbsent) throw std::out_of_range("corner not in cache");
  return entries_[entry].second;
}

CornerSample& CornerCache::operator[](const CornerKey& key) {
  const std::uint32_t entry = entry_of(key);
  if (entry != kAbsent) return entries_[entry].second;
  insert_or_assign(key, CornerSample{});
  return entries_.back().second;
}

void CornerCache::insert_or_assign(const CornerKey& key, const CornerSample& sample) {
  require_no_pending();
  if (entries_.size() >= kAbsent) fail("corner cache is full");
  // Make room first so that, once the key is indexed, appending cannot fail.
  entries_.reserve(entries_.size() + 1);
  const auto [it, inserted] = index_.try_emplace(key, static_cast<std::uint32_t>(entries_.size()));
  if (inserted) {
    entries_.push_back({key, sample});
  } else {
    entries_[it->second].second = sample;
  }
}

void CornerCache::reserve(std::size_t count) {
  // The table's own reserve always rebuilds it; only ask when it must grow.
  if (static_cast<double>(count) >
      static_cast<double>(index_.bucket_count()) * index_.max_load_factor()) {
    index_.reserve(count);
  }
  entries_.reserve(count);
}

void CornerCache::require_no_pending() const {
  if (pending_ != 0) fail("corner cache changed while a pass was gathering into it");
}

// ---------------------------------------------------------------------------
// Gathering

void CornerBatch::add_if_new(const Octree& tree, const CornerCache& cache, const CornerKey& key) {
  if (cache.contains(key)) return;
  if (!gathered_.insert(key).second) return;
  keys_.push_back(key);
  positions_.push_back(tree.position(key));
}

void gather_split_corners(const Octree& tree, const CornerCache& cache, const CornerKey& corner,
                          std::uint8_t d, CornerBatch& batch) {
  const std::array<CornerKey, 27> keys = subgrid_keys(corner, d, tree.max_depth);
  for (std::uint8_t s : kSubgrid.first_seen) batch.add_if_new(tree, cache, keys[s]);
}

// ---------------------------------------------------------------------------
// Sampling

BatchSamples evaluate_samples(Field& field, const std::vector<Vec3>& positions, double h) {
  const std::size_t n = positions.size();
  EvalResult result = evaluate_batch(field, positions);
  BatchSamples out;
  out.charge = n;
  if (result.gradients) {
    out.gradients = std::move(*result.gradients);
  } else {
    out.gradients = estimate_gradients(field, positions, 0.01 * h);
    out.charge = 7 * static_cast<std::uint64_t>(n);
  }
  out.values = std::move(result.values);

  // Sample j reads value j, then gradient j; the first short read decides the
  // reported index.
  const std::size_t nv = out.values.size();
  const std::size_t ng = out.gradients.size();
  if (nv < n && nv <= ng) fail_index(nv, nv);
  if (ng < n) fail_index(ng, ng);
  return out;
}

std::uint64_t sample_batch(Field& field, CornerCache& cache, const std::vector<CornerKey>& keys,
                           const std::vector<Vec3>& positions, double h) {
  if (positions.size() != keys.size()) fail_index(positions.size(), keys.size());
  if (keys.empty()) return 0;
  const BatchSamples samples = evaluate_samples(field, positions, h);
  cache.reserve(cache.size() + keys.size());
  for (std::size_t j = 0; j < keys.size(); ++j) {
    cache.insert_or_assign(keys[j], CornerSample{samples.values[j], samples.gradients[j], true});
  }
  return samples.charge;
}

std::uint64_t sample_initial_grid(const Octree& tree, Field& field, CornerCache& cache) {
  const std::uint32_t n = pow2(tree.min_depth);
  const unsigned s = static_cast<unsigned>(tree.max_depth) - tree.min_depth;
  const std::size_t side = static_cast<std::size_t>(n) + 1;

  std::vector<CornerKey> keys;
  std::vector<Vec3> positions;
  keys.reserve(side * side * side);
  positions.reserve(side * side * side);
  for (std::uint32_t k = 0; k <= n; ++k) {
    for (std::uint32_t j = 0; j <= n; ++j) {
      for (std::uint32_t i = 0; i <= n; ++i) {
        const CornerKey key{shl(i, s), shl(j, s), shl(k, s)};
        keys.push_back(key);
        positions.push_back(tree.position(key));
      }
    }
  }

  EvalResult result = evaluate_batch(field, positions);
  // The grid's values are taken in full before any gradient, so a short value
  // array fails before the finite-difference call is made.
  const std::size_t count = keys.size();
  if (result.values.size() < count) fail_index(result.values.size(), result.values.size());

  std::uint64_t charge = count;
  std::vector<Vec3> gradients;
  if (result.gradients) {
    gradients = std::move(*result.gradients);
    if (gradients.size() < count) fail_index(gradients.size(), gradients.size());
  } else {
    gradients = estimate_gradients(field, positions, 0.01 * tree.spacing());
    charge = 7 * static_cast<std::uint64_t>(count);
  }
  cache.reserve(cache.size() + count);
  for (std::size_t j = 0; j < count; ++j) {
    cache.insert_or_assign(keys[j], CornerSample{result.values[j], gradients[j], true});
  }
  return charge;
}

// ---------------------------------------------------------------------------
// Nodes

OctreeNode make_node(Octree& tree, const std::array<const CornerSample*, 8>& samples) {
  std::uint8_t mask = 0;
  bool all_gradients = true;
  for (unsigned i = 0; i < 8; ++i) {
    // A NaN value compares false and so counts as not below the level.
    if (samples[i]->value < tree.iso_value) mask |= static_cast<std::uint8_t>(1u << i);
    all_gradients = all_gradients && samples[i]->has_gradient;
  }
  if (mask == 0) return OctreeNode::empty();
  if (mask == 255) return OctreeNode::full();

  LeafData leaf;
  leaf.sign_mask = mask;
  leaf.has_gradients = all_gradients;
  for (unsigned i = 0; i < 8; ++i) {
    leaf.values[i] = samples[i]->value;
    if (all_gradients) leaf.gradients[i] = samples[i]->gradient;
  }
  return tree.add_leaf(leaf);
}

namespace {

// The eight children from the 27 sub-grid samples. Leaf records added before
// a failure (allocation) are dropped again, so the tree is left as it was.
ChildBlock children_from(Octree& tree, const std::array<const CornerSample*, 27>& found) {
  struct Rollback {
    Octree& tree;
    std::size_t size;
    bool armed = true;
    ~Rollback() {
      if (armed) tree.leaves.resize(size);
    }
  } rollback{tree, tree.leaves.size()};

  ChildBlock children;
  for (unsigned o = 0; o < 8; ++o) {
    std::array<const CornerSample*, 8> samples;
    for (unsigned i = 0; i < 8; ++i) samples[i] = found[kSubgrid.child_corner[o][i]];
    children[o] = make_node(tree, samples);
  }
  rollback.armed = false;
  return children;
}

}  // namespace

ChildBlock make_children(Octree& tree, const CornerCache& cache, const CornerKey& corner,
                         std::uint8_t d, const char* missing_message) {
  // Every lookup happens before the first leaf record is added, so a missing
  // corner leaves the tree untouched.
  const std::array<CornerKey, 27> keys = subgrid_keys(corner, d, tree.max_depth);
  std::array<const CornerSample*, 27> found;
  for (unsigned s = 0; s < 27; ++s) {
    const auto it = cache.find(keys[s]);
    if (it == cache.end()) fail(missing_message);
    found[s] = &it->second;
  }
  return children_from(tree, found);
}

ChildBlock make_children(Octree& tree, const CornerCache& cache, const SubgridSlots& slots,
                         const char* missing_message) {
  std::array<const CornerSample*, 27> found;
  for (unsigned s = 0; s < 27; ++s) {
    if (slots[s] >= cache.size()) fail(missing_message);
    found[s] = &cache.sample(slots[s]);
  }
  return children_from(tree, found);
}

}  // namespace karvex
