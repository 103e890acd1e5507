#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "dc/surface_cells.h"
#include "pool/worker_pool.h"
#include "support/unfilled_allocator.h"

namespace karvex {

// Finds surface cells by address in the list collect_surface_cells makes,
// with no index besides the list itself.
//
// The walk visits children in octant order (x in the lowest bit), so it
// lists the leaves in increasing Morton order of their minimum corners, and
// no two leaves share a minimum corner. Lowering one coordinate of a point
// lowers its Morton code, so the neighbours the faces look for (one step
// down along one or two axes, at the same depth) sit before the cell that
// looks for them, and the neighbours of consecutive cells lie close to each
// other: a search that gallops from where the last like neighbour was found
// and then halves finds them in a few reads of the list.
class WalkOrderFinder {
 public:
  static constexpr std::uint64_t kAbsent = ~std::uint64_t{0};
  // Cells of depths up to this have codes within 64 bits.
  static constexpr unsigned kMaxDepth = 21;

  // Refers to `cells`, which must outlive it and be in walk order (usable).
  explicit WalkOrderFinder(const UnfilledVector<CellSigns>& cells) : cells_(cells) {}

  // Whether `cells` are in strictly increasing Morton order of their
  // minimum corners, every depth at most kMaxDepth and every address
  // within its depth's lattice (checked on `pool`):
  // what the walk gives, and what find needs.
  static bool usable(WorkerPool& pool, const UnfilledVector<CellSigns>& cells);

  // The Morton code of the cell's minimum corner on the lattice of depth
  // kMaxDepth.
  static std::uint64_t code(const CellAddress& a) {
    const unsigned up = kMaxDepth - a.d;
    return spread(std::uint64_t{a.x} << up) | (spread(std::uint64_t{a.y} << up) << 1) |
           (spread(std::uint64_t{a.z} << up) << 2);
  }

  // The index of the cell at `address`, which must have a smaller code than
  // cell `before` has (the search looks among the cells before it), or
  // kAbsent. The search starts at `hint` (at most `before`): the place a
  // nearby address was found, which it leaves there for the next search.
  std::uint64_t find(const CellAddress& address, std::size_t before, std::size_t& hint) const {
    if (address.d > kMaxDepth) return kAbsent;
    const Corner target = corner(address);
    const auto below = [&](std::size_t i) { return precedes(corner(cells_[i].address), target); };
    // The first place not below the target is sought in [lo, hi]: cells
    // before lo are below it, cells from hi on (up to `before`) not.
    std::size_t lo = 0;
    std::size_t hi = before;
    const std::size_t start = std::min(hint, before);
    // Gallop away from the start, doubling the step, until past the target.
    if (start < before && below(start)) {
      lo = start + 1;
      for (std::size_t step = 1; start + step < before; step *= 2) {
        const std::size_t probe = start + step;
        if (!below(probe)) {
          hi = probe;
          break;
        }
        lo = probe + 1;
      }
    } else {
      hi = start;
      for (std::size_t step = 1; step <= start; step *= 2) {
        const std::size_t probe = start - step;
        if (below(probe)) {
          lo = probe + 1;
          break;
        }
        hi = probe;
      }
    }
    while (lo < hi) {
      const std::size_t mid = lo + (hi - lo) / 2;
      if (below(mid)) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    hint = lo;
    // A cell at the target's corner is the target only at its depth: a leaf
    // of another size there means no leaf has the target's address.
    if (lo == before || !(corner(cells_[lo].address) == target) ||
        cells_[lo].address.d != address.d) {
      return kAbsent;
    }
    return lo;
  }

  // The same answer as find, for an address whose cell, if any, lies just
  // before cell `before` (a sibling of it, or of a cell near it): the cells
  // before it are read one by one, back to the first not above the target,
  // for kCloseSteps cells; only beyond them does the search gallop. A
  // sibling has the same parent, whose cells the walk lists together, at
  // most seven places back when no finer leaves lie between.
  std::uint64_t find_close(const CellAddress& address, std::size_t before) const {
    if (address.d > kMaxDepth) return kAbsent;
    const Corner target = corner(address);
    const std::size_t last = before > kCloseSteps ? before - kCloseSteps : 0;
    for (std::size_t i = before; i > last; --i) {
      const CellAddress& at = cells_[i - 1].address;
      const Corner here = corner(at);
      if (here == target) return at.d == address.d ? i - 1 : kAbsent;
      // Codes strictly increase along the list: the target lies past here.
      if (precedes(here, target)) return kAbsent;
    }
    // Every cell read lies above the target: it is further back.
    std::size_t hint = last;
    return last == 0 ? kAbsent : find(address, last, hint);
  }

  // The cells find_close reads one by one before galloping.
  static constexpr std::size_t kCloseSteps = 8;

 private:
  // Spreads the low 21 bits of v three apart.
  static std::uint64_t spread(std::uint64_t v) {
    v &= 0x1fffffULL;
    v = (v | (v << 32)) & 0x1f00000000ffffULL;
    v = (v | (v << 16)) & 0x1f0000ff0000ffULL;
    v = (v | (v << 8)) & 0x100f00f00f00f00fULL;
    v = (v | (v << 4)) & 0x10c30c30c30c30c3ULL;
    v = (v | (v << 2)) & 0x1249249249249249ULL;
    return v;
  }

  // A cell's minimum corner on the lattice of depth kMaxDepth.
  struct Corner {
    std::uint32_t x, y, z;
    friend bool operator==(const Corner&, const Corner&) = default;
  };
  static Corner corner(const CellAddress& a) {
    const unsigned up = kMaxDepth - a.d;
    return {a.x << up, a.y << up, a.z << up};
  }

  // Whether p's Morton code is below q's, without making the codes: the
  // axis whose coordinates differ in the highest bit decides, z before y
  // before x at the same bit (z holds the highest bit of each triple).
  static bool precedes(const Corner& p, const Corner& q) {
    const auto higher = [](std::uint32_t a, std::uint32_t b) { return a < b && a < (a ^ b); };
    std::uint32_t top = p.z ^ q.z;
    bool less = p.z < q.z;
    if (higher(top, p.y ^ q.y)) {
      top = p.y ^ q.y;
      less = p.y < q.y;
    }
    if (higher(top, p.x ^ q.x)) less = p.x < q.x;
    return less;
  }

  const UnfilledVector<CellSigns>& cells_;
};

}  // namespace karvex
