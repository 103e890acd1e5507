#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "octree/octree.h"
#include "support/flat_hash.h"

namespace karvex {

// A map from the points of one lattice (x, y, z < 2^depth + 1) to 32-bit
// numbers: the index of the corner cache (lattice point -> entry number of
// its sample) and of extraction's surface cells (cell coordinates at one
// depth -> cell number).
//
// Why not one hash table: a build gathers and reads corners cell by cell in
// depth-first (Morton) order and probes the index 20 to 30 times per split,
// millions of times in all, and face generation looks up three neighbours
// per sign-changing edge; with one table of millions of keys nearly every
// probe misses the processor's caches, and the table's growth rehashes
// everything it holds again and again.
//
// So the lattice is cut into cubic regions of 2^shift lattice steps (at most
// 33 per axis, the last layer holding the far faces of the cube), and each
// region keeps its own index. A region starts as a small hash table
// (support/flat_hash.h, over the point's offset in the region) and, once a 32nd
// of its positions are taken, becomes a plain array of one number per
// position, where a lookup is an address computation and one load. The
// array then costs at most 128 bytes per point against about 24 in the
// table, but only regions along the surface get that full (a sphere at
// depth 9 fills about a tenth of their positions), and that is where the
// lookups are; regions in between hold a few coarse points. Consecutive
// lookups stay within one small region, so they hit the cache.
//
// Keys outside the lattice of the depth given at construction (tests make
// caches without telling the depth) go to one further hash table, and so do
// all keys of lattices deeper than 15, whose regions would be too large to
// index this way (such depths are far beyond what fits in memory anyway);
// which structure holds a key changes nothing but speed.
class LatticeIndex {
 public:
  static constexpr std::uint32_t kAbsent = 0xffffffffu;
  // Keys of a lattice of depth d share a region exactly when their
  // ancestors at this level are the same lattice cell (d above it), or are
  // the same key (d at most this level), as long as the lattice has
  // regions at all (regioned). Writers of keys of different regions touch
  // disjoint memory, so they may store at the same time.
  static constexpr unsigned kRegionLevel = 5;
  // Whether the lattice of depth max_depth keeps its keys in regions; if
  // not, every key goes to one table shared by all.
  static bool regioned(unsigned max_depth);

  // An index for the lattice of depth max_depth.
  explicit LatticeIndex(unsigned max_depth = 0);
  ~LatticeIndex();
  LatticeIndex(LatticeIndex&&) noexcept;
  LatticeIndex& operator=(LatticeIndex&&) noexcept;
  LatticeIndex(const LatticeIndex& other);
  LatticeIndex& operator=(const LatticeIndex& other);

  // The number stored for `key`, or kAbsent.
  std::uint32_t find(const CornerKey& key) const {
    Place place;
    if (!locate(key, place)) return find_outside(key);
    const Region* region = regions_[place.region].get();
    if (region == nullptr) return kAbsent;
    if (region->dense) return region->dense[place.offset];
    const std::uint32_t* entry = region->sparse.find(place.offset);
    return entry == nullptr ? kAbsent : *entry;
  }

  // Stores `entry` (not kAbsent) for `key` unless the key is present.
  // Returns the key's number (the stored one or the new one) and whether it
  // was added.
  std::pair<std::uint32_t, bool> try_emplace(const CornerKey& key, std::uint32_t entry) {
    Place place;
    if (!locate(key, place)) return try_emplace_outside(key, entry);
    Region* region = regions_[place.region].get();
    if (region != nullptr && region->dense) {
      std::uint32_t& slot = region->dense[place.offset];
      if (slot != kAbsent) return {slot, false};
      slot = entry;
      return {entry, true};
    }
    return try_emplace_sparse(place, entry);
  }

  // The numbers of the points of a cube of the lattice held in one dense
  // region, for looking up or storing many points near each other without
  // locating each: point (x, y, z) of the cube is at
  // numbers[(x - min.x) + stride_y * (y - min.y) + stride_z * (z - min.z)],
  // kAbsent where no number is stored. Writing kAbsent there removes a key;
  // writing a number stores one (for a key not present), as try_emplace
  // would.
  struct DenseCube {
    std::uint32_t* numbers = nullptr;  // null: the cube is not within one dense region
    std::uint32_t stride_y = 0;
    std::uint32_t stride_z = 0;
  };
  // The cube with minimum point `min` and `extent` steps per axis.
  DenseCube dense_cube(const CornerKey& min, std::uint32_t extent) {
    Place first;
    Place last;
    const CornerKey max{min.x + extent, min.y + extent, min.z + extent};
    if (max.x < min.x || max.y < min.y || max.z < min.z) return {};  // wrapped around
    if (!locate(min, first) || !locate(max, last) || first.region != last.region) return {};
    Region* region = regions_[first.region].get();
    if (region == nullptr || !region->dense) return {};
    return {region->dense.get() + first.offset, 1u << shift_, 1u << (2 * shift_)};
  }

  // Removes every key whose number is `first` or more (the corner cache's
  // keys of a batch that was not sampled). Visits the whole index: for
  // failures only.
  void erase_entries_from(std::uint32_t first);

 private:
  // Offsets in a region are small integers whose low bits repeat with the
  // lattice's coarser levels; the multiplication spreads them.
  struct OffsetHash {
    std::size_t operator()(std::uint32_t offset) const {
      const std::uint64_t h = std::uint64_t{offset} * 0x9e3779b97f4a7c15ULL;
      return static_cast<std::size_t>(h ^ (h >> 32));
    }
  };
  using SparseMap = FlatHashMap<std::uint32_t, std::uint32_t, OffsetHash>;
  using OutsideMap = FlatHashMap<CornerKey, std::uint32_t, CornerKeyHash>;

  struct Region {
    SparseMap sparse;                        // while sparse
    std::unique_ptr<std::uint32_t[]> dense;  // once dense: entry by offset, kAbsent if none
  };

  struct Place {
    std::size_t region;
    std::uint32_t offset;
  };

  // The region and offset of a key, false for a key outside the lattice.
  bool locate(const CornerKey& key, Place& place) const {
    const std::uint32_t rx = key.x >> shift_;
    const std::uint32_t ry = key.y >> shift_;
    const std::uint32_t rz = key.z >> shift_;
    if (rx >= side_ || ry >= side_ || rz >= side_) return false;
    const std::uint32_t mask = (1u << shift_) - 1u;
    place.region = rx + side_ * (ry + std::size_t{side_} * rz);
    place.offset = (key.x & mask) | ((key.y & mask) << shift_) | ((key.z & mask) << (2 * shift_));
    return true;
  }

  std::uint32_t find_outside(const CornerKey& key) const;
  std::pair<std::uint32_t, bool> try_emplace_outside(const CornerKey& key, std::uint32_t entry);
  std::pair<std::uint32_t, bool> try_emplace_sparse(const Place& place, std::uint32_t entry);
  void make_dense(Region& region);

  unsigned shift_;               // regions span 2^shift lattice steps per axis
  std::uint32_t side_;           // regions per axis (0: no regions, see the class comment)
  std::size_t positions_;        // positions in a region when it may become dense, else 0
  std::size_t dense_threshold_;  // points at which a region becomes dense
  std::vector<std::unique_ptr<Region>> regions_;
  OutsideMap outside_;
};

}  // namespace karvex
