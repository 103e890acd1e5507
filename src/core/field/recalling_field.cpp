#include "field/recalling_field.h"

#include <algorithm>
#include <array>
#include <bit>

#include "support/flat_hash.h"
#include "support/panic.h"
#include "support/unfilled_allocator.h"

namespace karvex {

namespace {

// The table's slots are loaded this many points ahead of their lookup, and
// the entry a slot names half as many ahead: a batch's lookups overlap their
// cache misses instead of waiting on each.
constexpr std::size_t kAhead = 16;
constexpr std::size_t kEntryAhead = kAhead / 4;
constexpr std::size_t kMinSlots = 16;
// The table grows fourfold up to the size the default capacity fills, so
// that its entries are placed again fewer times, and twofold beyond.
constexpr std::size_t kQuickGrowthBelow = std::size_t{1} << 20;
// Entry indices and one more fit the low half of a slot, for a batch of up
// to the capacity added to as many kept.
constexpr std::size_t kMaxCapacity = (std::size_t{1} << 31) - 1;
constexpr std::uint64_t kHighHalf = 0xffffffff00000000ULL;

std::uint64_t slot_of(std::uint64_t hash, std::size_t index) {
  return (hash & kHighHalf) | (index + 1);
}
std::size_t index_in(std::uint64_t slot) { return (slot & ~kHighHalf) - 1; }
// Whether a full slot may hold the key of `hash` (its entry's key decides).
bool may_hold(std::uint64_t slot, std::uint64_t hash) { return ((slot ^ hash) & kHighHalf) == 0; }

}  // namespace

RecallingField::RecallingField(Field& inner, std::size_t capacity)
    : inner_(inner), capacity_(std::min(capacity, kMaxCapacity)) {}

inline RecallingField::PointBits RecallingField::bits_of(const Vec3& p) {
  return {std::bit_cast<std::uint64_t>(p.x), std::bit_cast<std::uint64_t>(p.y),
          std::bit_cast<std::uint64_t>(p.z)};
}

inline std::uint64_t RecallingField::hash_of(const PointBits& p) {
  return mix64(p.x ^ mix64(p.y ^ mix64(p.z)));
}

EvalResult RecallingField::evaluate(std::span<const Vec3> points) {
  const std::size_t n = points.size();
  asked_ += n;
  if (n > capacity_) return inner_.evaluate(points);

  const std::size_t base = entries_.size();
  reserve(base + n);
  // Per point, the index of its entry: below `base` recalled (and answered
  // at once), from `base` on new in this batch.
  std::vector<std::uint32_t, UnfilledAllocator<std::uint32_t>> where(n);
  std::vector<Vec3> fresh;
  fresh.reserve(n);
  EvalResult out;
  out.values.resize(n);
  const bool recalls_gradients = base > 0 && gradients_;
  if (recalls_gradients) out.gradients.emplace(n);
  std::size_t recalled_here = 0;

  // The hashes of the points from i on, kAhead of them, by i's remainder.
  std::array<std::uint64_t, kAhead> hashes{};
  for (std::size_t i = 0; i < std::min(n, kAhead); ++i) {
    hashes[i] = hash_of(bits_of(points[i]));
    __builtin_prefetch(&slots_[hashes[i] & mask_]);
  }
  try {
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint64_t hash = hashes[i % kAhead];
      if (i + kEntryAhead < n) {
        const std::uint64_t soon = hashes[(i + kEntryAhead) % kAhead];
        const std::uint64_t slot = slots_[soon & mask_];
        if (slot != 0 && may_hold(slot, soon)) __builtin_prefetch(&entries_[index_in(slot)]);
      }
      if (i + kAhead < n) {
        const std::uint64_t later = hash_of(bits_of(points[i + kAhead]));
        hashes[i % kAhead] = later;
        __builtin_prefetch(&slots_[later & mask_]);
      }
      const PointBits key = bits_of(points[i]);
      for (std::size_t s = hash & mask_;; s = (s + 1) & mask_) {
        const std::uint64_t slot = slots_[s];
        if (slot == 0) {
          // The entry first: should its chunk fail to allocate, no slot
          // names it, and the entries before it unwind as after a failed call.
          const std::size_t e = entries_.size();
          entries_.push_back({key, 0.0, {}, hash});
          slots_[s] = slot_of(hash, e);
          where[i] = static_cast<std::uint32_t>(e);
          fresh.push_back(points[i]);  // room made above: does not throw
          break;
        }
        if (!may_hold(slot, hash)) continue;
        const std::size_t e = index_in(slot);
        if (!(entries_[e].key == key)) continue;
        where[i] = static_cast<std::uint32_t>(e);
        ++recalled_;
        if (e < base) {
          ++recalled_here;
          out.values[i] = entries_[e].value;
          if (recalls_gradients) (*out.gradients)[i] = entries_[e].gradient;
        }
        break;
      }
    }
  } catch (...) {
    unwind(base);
    throw;
  }

  const std::size_t added = entries_.size() - base;
  EvalResult asked;
  try {
    if (added > 0) asked = inner_.evaluate(fresh);
  } catch (...) {
    unwind(base);
    throw;
  }
  const bool gradients = added == 0 ? recalled_here > 0 && gradients_ : asked.gradients.has_value();
  if (recalled_here > 0 && gradients != gradients_) {
    unwind(base);
    return inner_.evaluate(points);
  }
  try {
    for (std::size_t j = 0; j < added; ++j) {
      Entry& entry = entries_[base + j];
      entry.value = checked_at(asked.values, j);
      if (gradients) entry.gradient = checked_at(*asked.gradients, j);
    }
  } catch (...) {
    unwind(base);
    throw;
  }

  if (gradients && !out.gradients) out.gradients.emplace(n);
  if (!gradients) out.gradients.reset();
  for (std::size_t i = 0; i < n; ++i) {
    if (where[i] < base) continue;
    const std::size_t j = where[i] - base;
    out.values[i] = asked.values[j];
    if (gradients) (*out.gradients)[i] = (*asked.gradients)[j];
  }
  // Over the capacity, or answers unlike those kept: the old ones go.
  if (base > 0 && (base + added > capacity_ || (added > 0 && gradients != gradients_))) {
    keep_from(base);
  }
  if (added > 0) gradients_ = gradients;
  return out;
}

void RecallingField::forget() {
  std::vector<std::uint64_t>().swap(slots_);
  entries_.clear();
  mask_ = 0;
  gradients_ = false;
}

void RecallingField::reserve(std::size_t count) {
  std::size_t size = slots_.empty() ? kMinSlots : slots_.size();
  while (2 * count > size) size *= size < kQuickGrowthBelow ? 4 : 2;
  if (size == slots_.size()) return;
  slots_.assign(size, 0);
  mask_ = size - 1;
  place_all();
}

void RecallingField::place_all() {
  const std::size_t count = entries_.size();
  for (std::size_t e = 0; e < count; ++e) {
    if (e + kAhead < count) __builtin_prefetch(&slots_[entries_[e + kAhead].hash & mask_]);
    const std::uint64_t hash = entries_[e].hash;
    std::size_t s = hash & mask_;
    while (slots_[s] != 0) s = (s + 1) & mask_;
    slots_[s] = slot_of(hash, e);
  }
}

void RecallingField::unwind(std::size_t first) {
  for (std::size_t e = entries_.size(); e-- > first;) {
    const std::uint64_t slot = slot_of(entries_[e].hash, e);
    std::size_t s = entries_[e].hash & mask_;
    while (slots_[s] != slot) s = (s + 1) & mask_;
    slots_[s] = 0;
  }
  entries_.shrink(first);
}

void RecallingField::keep_from(std::size_t first) {
  entries_.drop_front(first);
  std::fill(slots_.begin(), slots_.end(), 0);
  place_all();
}

void RecallingField::Entries::add_chunk() {
  chunks_.push_back(std::unique_ptr<Entry[]>(new Entry[std::size_t{1} << kChunkBits]));
}

void RecallingField::Entries::drop_front(std::size_t count) {
  for (std::size_t e = count; e < size_; ++e) (*this)[e - count] = (*this)[e];
  size_ -= count;
}

void RecallingField::Entries::clear() {
  std::vector<std::unique_ptr<Entry[]>>().swap(chunks_);
  size_ = 0;
}

}  // namespace karvex
