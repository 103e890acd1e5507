#include "octree/lattice_index.h"

#include <algorithm>

namespace karvex {

namespace {

// At most 2^5 regions per axis (plus the layer of the far faces): the region
// table stays small (36k pointers), and a dense region of a depth-9 lattice
// spans 16^3 positions (16 KiB).
constexpr unsigned kRegionBits = LatticeIndex::kRegionLevel;
// Regions of lattices deeper than 11 are never made dense (their arrays
// would pass a megabyte)...
constexpr unsigned kMaxDenseShift = 6;
// ...and lattices deeper than 15, whose offsets in a region would not fit
// 32 bits, keep every key in the one table for keys outside regions.
constexpr unsigned kMaxRegionShift = 10;

unsigned region_shift(unsigned max_depth) {
  const unsigned depth = std::min(max_depth, 31u);
  return depth > kRegionBits ? depth - kRegionBits : 0;
}

}  // namespace

bool LatticeIndex::regioned(unsigned max_depth) {
  return region_shift(max_depth) <= kMaxRegionShift;
}

LatticeIndex::LatticeIndex(unsigned max_depth)
    : shift_(region_shift(max_depth)),
      side_(shift_ > kMaxRegionShift ? 0 : (1u << (std::min(max_depth, 31u) - shift_)) + 1u),
      positions_(shift_ > kMaxDenseShift ? 0 : std::size_t{1} << (3 * shift_)),
      // Dense once a 32nd of the positions are taken (see the class comment).
      dense_threshold_(positions_ == 0 ? static_cast<std::size_t>(-1)
                                       : std::max<std::size_t>(positions_ / 32, 1)),
      regions_(std::size_t{side_} * side_ * side_) {}

LatticeIndex::~LatticeIndex() = default;
LatticeIndex::LatticeIndex(LatticeIndex&&) noexcept = default;
LatticeIndex& LatticeIndex::operator=(LatticeIndex&&) noexcept = default;

LatticeIndex::LatticeIndex(const LatticeIndex& other)
    : shift_(other.shift_),
      side_(other.side_),
      positions_(other.positions_),
      dense_threshold_(other.dense_threshold_),
      regions_(other.regions_.size()),
      outside_(other.outside_) {
  const std::size_t positions = positions_;
  for (std::size_t r = 0; r < regions_.size(); ++r) {
    const Region* from = other.regions_[r].get();
    if (from == nullptr) continue;
    auto region = std::make_unique<Region>();
    region->sparse = from->sparse;
    if (from->dense) {
      region->dense = std::make_unique_for_overwrite<std::uint32_t[]>(positions);
      std::copy_n(from->dense.get(), positions, region->dense.get());
    }
    regions_[r] = std::move(region);
  }
}

LatticeIndex& LatticeIndex::operator=(const LatticeIndex& other) {
  if (this != &other) *this = LatticeIndex(other);
  return *this;
}

std::uint32_t LatticeIndex::find_outside(const CornerKey& key) const {
  const std::uint32_t* entry = outside_.find(key);
  return entry == nullptr ? kAbsent : *entry;
}

std::pair<std::uint32_t, bool> LatticeIndex::try_emplace_outside(const CornerKey& key,
                                                                 std::uint32_t entry) {
  const auto [stored, inserted] = outside_.try_emplace(key, entry);
  return {*stored, inserted};
}

std::pair<std::uint32_t, bool> LatticeIndex::try_emplace_sparse(const Place& place,
                                                                std::uint32_t entry) {
  std::unique_ptr<Region>& slot = regions_[place.region];
  if (slot == nullptr) slot = std::make_unique<Region>();
  Region& region = *slot;
  const auto [stored_at, inserted] = region.sparse.try_emplace(place.offset, entry);
  const std::uint32_t stored = *stored_at;
  if (inserted && region.sparse.size() >= dense_threshold_) make_dense(region);
  return {stored, inserted};
}

void LatticeIndex::make_dense(Region& region) {
  const std::size_t positions = positions_;
  auto dense = std::make_unique_for_overwrite<std::uint32_t[]>(positions);
  std::fill_n(dense.get(), positions, kAbsent);
  region.sparse.for_each(
      [&dense](std::uint32_t offset, std::uint32_t entry) { dense[offset] = entry; });
  region.dense = std::move(dense);
  region.sparse.clear();  // gives its memory back
}

void LatticeIndex::erase_entries_from(std::uint32_t first) {
  const auto drop = [first](auto& map) {
    map.erase_if([first](const auto& /*key*/, std::uint32_t entry) { return entry >= first; });
  };
  const std::size_t positions = positions_;
  for (const std::unique_ptr<Region>& region : regions_) {
    if (region == nullptr) continue;
    if (region->dense) {
      for (std::size_t i = 0; i < positions; ++i) {
        if (region->dense[i] != kAbsent && region->dense[i] >= first) region->dense[i] = kAbsent;
      }
    } else {
      drop(region->sparse);
    }
  }
  drop(outside_);
}

}  // namespace karvex
