#include "octree/corner_cache.h"

#include <algorithm>
#include <cstddef>
#include <stdexcept>
#include <utility>

#include "field/fd_gradients.h"
#include "octree/subgrid.h"
#include "support/panic.h"

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
  const auto [entry, inserted] =
      index_.try_emplace(key, static_cast<std::uint32_t>(entries_.size()));
  if (inserted) {
    entries_.push_back({sample});
  } else {
    entries_[entry].second = sample;
  }
}

void CornerCache::reserve(std::size_t count) { entries_.reserve(count); }

void CornerCache::require_no_pending() const {
  if (pending_ != 0) fail("corner cache changed while a pass was gathering into it");
}

// ---------------------------------------------------------------------------
// Gathering

void CornerBatch::add_if_new(const Octree& tree, const CornerCache& cache, const CornerKey& key) {
  if (cache.contains(key)) return;
  if (!claim(key)) return;
  append(tree, key);
}

void CornerBatch::append(const Octree& tree, const CornerKey& key) {
  keys_.push_back(key);
  positions_.push_back(tree.position(key));
}

// ---------------------------------------------------------------------------
// Sampling

namespace {

// One sampled batch of n points: `call(consume)` makes the field call, and
// `points()` gives the batch's points again when the field returned no
// gradients and central differences must be taken around them.
template <class Call, class Points>
std::uint64_t sample_points(Field& field, std::size_t n, double h, Call&& call, Points&& points,
                            const std::function<void(const SampleView&)>& store) {
  std::uint64_t charge = n;
  call([&](const EvalView& result) {
    SampleView samples{result.values, {}};
    std::vector<double> values;
    std::vector<Vec3> estimated;
    if (result.gradients) {
      samples.gradients = *result.gradients;
    } else {
      // The estimate makes another field call, after which this call's
      // values are kept only as long as this consumer runs: copy them.
      values.assign(result.values.begin(), result.values.end());
      samples.values = values;
      estimated = estimate_gradients(field, points(), 0.01 * h);
      samples.gradients = GradientRows::of(estimated);
      charge = 7 * static_cast<std::uint64_t>(n);
    }
    // Sample j reads value j, then gradient j; the first short read decides
    // the reported index.
    const std::size_t nv = samples.values.size();
    const std::size_t ng = samples.gradients.size();
    if (nv < n && nv <= ng) fail_index(nv, nv);
    if (ng < n) fail_index(ng, ng);
    store(samples);
  });
  return charge;
}

// Sample j of a batch into the cache under keys[j], in batch order.
void insert_samples(CornerCache& cache, const std::vector<CornerKey>& keys,
                    const SampleView& samples) {
  cache.reserve(cache.size() + keys.size());
  for (std::size_t j = 0; j < keys.size(); ++j) {
    cache.insert_or_assign(keys[j], CornerSample{samples.values[j], samples.gradients[j]});
  }
}

}  // namespace

std::uint64_t evaluate_samples(Field& field, std::span<const Vec3> positions, double h,
                               const std::function<void(const SampleView&)>& store) {
  return sample_points(
      field, positions.size(), h,
      [&](const EvalConsumer& consume) { evaluate_batch_view(field, positions, consume); },
      [&] { return positions; }, store);
}

std::uint64_t evaluate_samples(Field& field, std::size_t count, const PointWriter& write, double h,
                               const std::function<void(const SampleView&)>& store) {
  std::vector<Vec3> written;
  return sample_points(
      field, count, h,
      [&](const EvalConsumer& consume) { evaluate_written_batch(field, count, write, consume); },
      [&] {
        written.resize(count);
        write(written);
        return std::span<const Vec3>(written);
      },
      store);
}

std::uint64_t sample_batch(Field& field, CornerCache& cache, const std::vector<CornerKey>& keys,
                           const std::vector<Vec3>& positions, double h) {
  if (positions.size() != keys.size()) fail_index(positions.size(), keys.size());
  if (keys.empty()) return 0;
  return evaluate_samples(field, positions, h, [&](const SampleView& samples) {
    insert_samples(cache, keys, samples);
  });
}

std::uint64_t sample_keys(Field& field, CornerCache& cache, const std::vector<CornerKey>& keys,
                          const Octree& tree, double h) {
  if (keys.empty()) return 0;
  const PointWriter write = [&](std::span<Vec3> out) {
    const double spacing = tree.spacing();
    for (std::size_t j = 0; j < out.size(); ++j) out[j] = tree.position(keys[j], spacing);
  };
  return evaluate_samples(field, keys.size(), write, h, [&](const SampleView& samples) {
    insert_samples(cache, keys, samples);
  });
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

  const std::size_t count = keys.size();
  std::uint64_t charge = count;
  evaluate_batch_view(field, positions, [&](const EvalView& result) {
    // The grid's values are taken in full before any gradient, so a short
    // value array fails before the finite-difference call is made.
    if (result.values.size() < count) fail_index(result.values.size(), result.values.size());
    GradientRows gradients;
    std::vector<double> values;
    std::span<const double> value_view = result.values;
    std::vector<Vec3> estimated;
    if (result.gradients) {
      gradients = *result.gradients;
      if (gradients.size() < count) fail_index(gradients.size(), gradients.size());
    } else {
      // Kept past the estimate's own field call.
      values.assign(result.values.begin(), result.values.end());
      value_view = values;
      estimated = estimate_gradients(field, positions, 0.01 * tree.spacing());
      gradients = GradientRows::of(estimated);
      charge = 7 * static_cast<std::uint64_t>(count);
    }
    cache.reserve(cache.size() + count);
    for (std::size_t j = 0; j < count; ++j) {
      cache.insert_or_assign(keys[j], CornerSample{value_view[j], gradients[j]});
    }
  });
  return charge;
}

// ---------------------------------------------------------------------------
// Nodes

OctreeNode make_node(Octree& tree, const std::array<const CornerSample*, 8>& samples) {
  std::uint8_t mask = 0;
  for (unsigned i = 0; i < 8; ++i) {
    // A NaN value compares false and so counts as not below the level.
    if (samples[i]->value < tree.iso_value) mask |= static_cast<std::uint8_t>(1u << i);
  }
  if (mask == 0) return OctreeNode::empty();
  if (mask == 255) return OctreeNode::full();

  // Filled in place: a build makes millions of records.
  const auto record = static_cast<std::uint32_t>(tree.leaves.size());
  LeafData& leaf = tree.leaves.emplace_back();
  leaf.sign_mask = mask;
  for (unsigned i = 0; i < 8; ++i) leaf.values[i] = samples[i]->value;
  return OctreeNode::leaf(record, mask);
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
