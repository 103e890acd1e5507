#include "dc/shared_crossings.h"

#include <algorithm>
#include <array>
#include <bit>
#include <limits>

#include "pool/run_monitor.h"
#include "support/bbox.h"
#include "support/panic.h"

namespace karvex {

namespace {

constexpr std::uint8_t kNoEdge = 0xFF;

// The number of the cube edge that starts at corner u and runs along `axis`
// (kNoEdge where u's bit of that axis is set).
constexpr std::array<std::array<std::uint8_t, 3>, 8> kEdgeAt = [] {
  std::array<std::array<std::uint8_t, 3>, 8> table{};
  for (auto& row : table) row.fill(kNoEdge);
  for (std::uint8_t j = 0; j < CUBE_EDGES.size(); ++j) table[CUBE_EDGES[j].u][j / 4] = j;
  return table;
}();

bool same_bits(double a, double b) {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

bool same_bits(const Vec3& a, const Vec3& b) {
  return same_bits(a.x, b.x) && same_bits(a.y, b.y) && same_bits(a.z, b.z);
}

std::uint32_t& coordinate(CellAddress& address, unsigned axis) {
  return axis == 0 ? address.x : (axis == 1 ? address.y : address.z);
}

// One of the cells around a cell's edge, in the plane across the edge: its
// offset from the cell (-1, 0 or 1 per axis), that offset's slot in a 3^3
// table, and the neighbour's own numbers for the edge's corners and the edge.
struct NeighbourStep {
  std::array<std::int8_t, 3> offset{};
  std::uint8_t slot = 13;  // (dx + 1) + 3 (dy + 1) + 9 (dz + 1)
  std::uint8_t u = 0;
  std::uint8_t v = 0;
  std::uint8_t edge = 0;
};

// Per cube edge, the cells around it: by_steps[s] is reached by one step
// along across[b] = (axis + 1 + b) % 3 for each set bit b of s, towards the
// side of the cell the edge lies on; `lowest` is the steps that go down on
// both axes (only down where the edge lies on the lower face).
struct EdgeSteps {
  std::array<NeighbourStep, 4> by_steps{};
  unsigned lowest = 0;
};

constexpr std::array<EdgeSteps, 12> kEdgeSteps = [] {
  std::array<EdgeSteps, 12> table{};
  for (unsigned j = 0; j < 12; ++j) {
    const unsigned axis = j / 4u;
    const unsigned across[2] = {(axis + 1) % 3, (axis + 2) % 3};
    const unsigned u0 = CUBE_EDGES[j].u;
    for (unsigned b = 0; b < 2; ++b) {
      if (!((u0 >> across[b]) & 1u)) table[j].lowest |= 1u << b;
    }
    for (unsigned s = 0; s < 4; ++s) {
      NeighbourStep& step = table[j].by_steps[s];
      unsigned u = u0;
      int slot = 13;
      for (unsigned b = 0; b < 2; ++b) {
        if (!((s >> b) & 1u)) continue;
        const unsigned a = across[b];
        // Corner u on the upper face of this axis: the neighbour lies above.
        const int d = ((u >> a) & 1u) ? 1 : -1;
        step.offset[a] = static_cast<std::int8_t>(d);
        slot += d * (a == 0 ? 1 : (a == 1 ? 3 : 9));
        u ^= 1u << a;
      }
      step.slot = static_cast<std::uint8_t>(slot);
      step.u = static_cast<std::uint8_t>(u);
      step.v = static_cast<std::uint8_t>(u | (1u << axis));
      step.edge = kEdgeAt[u][axis];
    }
  }
  return table;
}();

// The index of the cell `offset` away from `address` at its depth (whose
// last coordinate is `last`), or kAbsent when there is none or it would lie
// outside the tree.
std::uint64_t neighbour_index(CellAddress at, const std::array<std::int8_t, 3>& offset,
                              std::uint64_t last, const CellLookup& lookup) {
  for (unsigned a = 0; a < 3; ++a) {
    std::uint32_t& x = coordinate(at, a);
    if (offset[a] > 0) {
      if (x >= last) return CellLookup::kAbsent;
      ++x;
    } else if (offset[a] < 0) {
      if (x == 0) return CellLookup::kAbsent;
      --x;
    }
  }
  return lookup.find(at);
}

// Cells per block of the passes that count first and then write at the
// counted places.
constexpr std::size_t kBlock = std::size_t{1} << 12;

std::size_t block_count(std::size_t n) { return (n + kBlock - 1) / kBlock; }

// The cells as the sharing reads them: their number, each one's mask, and
// each one whole (address and corners). Listed with their geometry:
struct ListedCells {
  const std::vector<SurfaceCell>& cells;
  std::size_t size() const { return cells.size(); }
  std::uint8_t mask(std::size_t i) const { return cells[i].sign_mask; }
  const SurfaceCell& cell(std::size_t i) const { return cells[i]; }
};

// Or by address and mask alone, placed again where their corners are read
// (the same bits: CellPlacer), so that the 56 bytes a cell of the list
// with geometry takes are freed before the index and the sharing are made.
struct PlacedCells {
  const UnfilledVector<CellSigns>& signs;
  const CellPlacer& placer;
  std::size_t size() const { return signs.size(); }
  std::uint8_t mask(std::size_t i) const { return signs[i].sign_mask; }
  SurfaceCell cell(std::size_t i) const { return placer(signs[i]); }
};

// Or by their masks alone, for the steps that never read a cell's corners.
struct MaskedCells {
  const UnfilledVector<CellSigns>& signs;
  std::size_t size() const { return signs.size(); }
  std::uint8_t mask(std::size_t i) const { return signs[i].sign_mask; }
};

// Per cell, the index of its first crossing, and the count of all crossings
// at the end: one crossing per sign-changing edge of each cell's mask.
// Counting more than `limit` crossings is an invariant failure.
template <typename Cells>
UnfilledVector<std::uint32_t> crossing_starts(WorkerPool& pool, const Cells& cells, std::size_t limit) {
  const std::size_t m = cells.size();
  const std::size_t blocks = block_count(m);
  const auto count_of = [&](std::size_t i) {
    return std::uint64_t{crossing_count(cells.mask(i))};
  };
  std::vector<std::uint64_t> block_first(blocks + 1, 0);
  const RunMonitor::Suspended quiet;
  parallel_for(pool, blocks, [&](std::size_t b) {
    std::uint64_t count = 0;
    for (std::size_t i = b * kBlock; i < std::min(m, (b + 1) * kBlock); ++i) count += count_of(i);
    block_first[b + 1] = count;
  }, 1);
  for (std::size_t b = 0; b < blocks; ++b) block_first[b + 1] += block_first[b];
  if (block_first[blocks] > limit) fail_index(limit, block_first[blocks]);
  UnfilledVector<std::uint32_t> first(m + 1);
  first[m] = static_cast<std::uint32_t>(block_first[blocks]);
  parallel_for(pool, blocks, [&](std::size_t b) {
    auto next = static_cast<std::uint32_t>(block_first[b]);
    for (std::size_t i = b * kBlock; i < std::min(m, (b + 1) * kBlock); ++i) {
      first[i] = next;
      next += static_cast<std::uint32_t>(count_of(i));
    }
  }, 1);
  return first;
}

// Numbers the groups of `shared.distinct_of`, which holds each crossing's
// owner (itself for the first crossing of a group, else an earlier crossing
// that is its own owner): an owner opens the next distinct crossing in
// crossing order, every other crossing takes its owner's number. The blocks
// are those of kBlock cells, whose crossings start at `cell_first` and whose
// owners `block_owners[b + 1]` counts; the owners are numbered, then the
// others, each pass on the pool.
void number_owners(WorkerPool& pool, SharedCrossings& shared,
                   const UnfilledVector<std::uint32_t>& cell_first,
                   std::vector<std::uint32_t> block_owners) {
  std::uint32_t* const of = shared.distinct_of.data();
  const std::size_t m = cell_first.size() - 1;
  const std::size_t blocks = block_owners.size() - 1;
  const auto begin = [&](std::size_t b) { return cell_first[b * kBlock]; };
  const auto end = [&](std::size_t b) { return cell_first[std::min(m, (b + 1) * kBlock)]; };
  for (std::size_t b = 0; b < blocks; ++b) block_owners[b + 1] += block_owners[b];
  shared.first.resize(block_owners[blocks]);
  const RunMonitor::Suspended quiet;
  parallel_for(pool, blocks, [&](std::size_t b) {
    std::uint32_t d = block_owners[b];
    for (std::uint32_t k = begin(b); k < end(b); ++k) {
      if (of[k] != k) continue;
      shared.first[d] = k;
      of[k] = d++;
    }
  }, 1);
  // The owners of block b are shared.first[block_owners[b] ...], in order;
  // the others read their owner's number, written by the pass before.
  parallel_for(pool, blocks, [&](std::size_t b) {
    std::uint32_t d = block_owners[b];
    for (std::uint32_t k = begin(b); k < end(b); ++k) {
      if (d < block_owners[b + 1] && shared.first[d] == k) {
        ++d;
      } else {
        of[k] = of[of[k]];
      }
    }
  }, 1);
}

}  // namespace

namespace {

// The sharing over find_crossing_refs' order for `cells`; `crossings`, when
// given, is that list, each element checked against the cells' masks.
template <typename Cells>
SharedCrossings share_in_crossing_order(WorkerPool& pool, const CrossingRefs* crossings, const Cells& cells,
                                        const CellCornerValues& values, const CellLookup& lookup) {
  constexpr std::size_t kMostCrossings = std::numeric_limits<std::uint32_t>::max();
  if (crossings != nullptr && crossings->size() > kMostCrossings) {
    fail("too many crossings for 32-bit crossing numbers");
  }
  if (values.size() != cells.size()) fail_index(values.size(), cells.size());
  // The crossings of cell i are [cell_first[i], cell_first[i + 1]): one per
  // sign-changing edge of its mask, by edge number, as find_crossing_refs
  // lists them (the first pass checks each one it reads, when given).
  const UnfilledVector<std::uint32_t> cell_first =
      crossing_starts(pool, cells, crossings != nullptr ? crossings->size() : kMostCrossings);
  const std::size_t n = crossings != nullptr ? crossings->size() : cell_first[cells.size()];

  // First pass, a cell at a time: each crossing's owner, the first crossing
  // of its group. The other cells around an edge differ from the crossing's
  // cell by one step along either or both of the two other axes, towards the
  // side the edge lies on; only cells listed earlier can hold an earlier
  // crossing. The cells are listed in walk order, which for cells of one
  // depth is the order of their interleaved (Morton) coordinates, increasing
  // in each coordinate: a cell reached by steps that only go up is listed
  // later and is not looked up, and the cell below the edge on both axes
  // comes first of the four, so when it shares the crossing it is the owner
  // and the others need no look. A cell's crossings ask for the same few
  // neighbours, each looked up once per cell.
  //
  // Sharing is an equivalence (the same bits of both endpoints and of the
  // value at the first), and every earlier cell around the edge is looked
  // up, so an owner is the first crossing of its group and its own owner:
  // the numbering reads only owners that are numbered already.
  SharedCrossings out;
  out.distinct_of.resize(n);
  constexpr std::uint32_t kNoMatch = std::numeric_limits<std::uint32_t>::max();
  const bool by_lattice_point = values.by_lattice_point();
  // Per block of cells, the owners among its crossings, for the numbering.
  const std::size_t m = cells.size();
  const std::size_t blocks = block_count(m);
  std::vector<std::uint32_t> block_owners(blocks + 1, 0);
  const auto owners_of_cell = [&](std::size_t i) -> std::uint32_t {
    std::uint32_t owners = 0;
    const SurfaceCell& cell = cells.cell(i);
    const std::uint64_t last = pow2(cell.address.d) - std::uint64_t{1};
    // The neighbours by offset, (dx + 1) + 3 (dy + 1) + 9 (dz + 1), looked
    // up when first asked for; kAbsent for none or outside the tree.
    constexpr std::uint64_t kUnknown = CellLookup::kAbsent - 1;
    std::array<std::uint64_t, 27> near;
    near.fill(kUnknown);
    std::uint32_t k = cell_first[i];
    for (unsigned edges = crossing_edges(cell.sign_mask); edges != 0; edges &= edges - 1, ++k) {
      const auto edge_number = static_cast<unsigned>(std::countr_zero(edges));
      if (crossings != nullptr) {
        const CrossingRef& c = (*crossings)[k];
        if (c.cell != i || c.edge != edge_number) fail_index(n, k);
      }
      const EdgeSteps& steps = kEdgeSteps[edge_number];
      if (steps.lowest == 0) {
        out.distinct_of[k] = k;
        ++owners;
        continue;
      }
      const CubeEdge& edge = CUBE_EDGES[edge_number];
      // The crossing of the cell `step` leads to on the same edge when it
      // shares this one, else kNoMatch.
      const auto shared_at = [&](const NeighbourStep& step) -> std::uint32_t {
        std::uint64_t& other = near[step.slot];
        if (other == kUnknown) other = neighbour_index(cell.address, step.offset, last, lookup);
        if (other == CellLookup::kAbsent || other >= i) return kNoMatch;
        // The neighbour's crossing on this edge, if the edge changes sign
        // there: its place among the neighbour's crossings by edge number.
        const std::uint8_t neighbour_mask = cells.mask(other);
        const unsigned neighbour_edges = crossing_edges(neighbour_mask);
        if (!((neighbour_edges >> step.edge) & 1u)) return kNoMatch;
        const SurfaceCell& neighbour = cells.cell(other);
        // The neighbour's corner u is this cell's corner edge.u, the same
        // lattice point: values read by lattice point agree.
        const bool same_value =
            by_lattice_point ||
            same_bits(values.at(neighbour, other, step.u), values.at(cell, i, edge.u));
        if (!same_value || !same_bits(neighbour.corner(step.u), cell.corner(edge.u)) ||
            !same_bits(neighbour.corner(step.v), cell.corner(edge.v))) {
          return kNoMatch;
        }
        return cell_first[other] + crossing_rank(neighbour_mask, step.edge);
      };
      std::uint32_t owner = shared_at(steps.by_steps[steps.lowest]);
      if (owner == kNoMatch) {
        owner = k;
        for (unsigned s = 1; s < 4; ++s) {
          // Steps that go down somewhere: along an axis in `lowest`.
          if (s == steps.lowest || (s & steps.lowest) == 0) continue;
          owner = std::min(owner, shared_at(steps.by_steps[s]));
        }
      }
      out.distinct_of[k] = owner;
      owners += owner == k;
    }
    return owners;
  };
  parallel_for(pool, blocks, [&](std::size_t b) {
    std::uint32_t owners = 0;
    for (std::size_t i = b * kBlock; i < std::min(m, (b + 1) * kBlock); ++i) {
      owners += owners_of_cell(i);
    }
    block_owners[b + 1] = owners;
  }, 1);
  if (cell_first[m] != n) fail_index(n, cell_first[m]);

  number_owners(pool, out, cell_first, std::move(block_owners));
  return out;
}

}  // namespace

SharedCrossings share_crossings(WorkerPool& pool, const CrossingRefs& crossings,
                                const std::vector<SurfaceCell>& cells,
                                const CellCornerValues& values, const CellLookup& lookup) {
  return share_in_crossing_order(pool, &crossings, ListedCells{cells}, values, lookup);
}

SharedCrossings share_crossings(WorkerPool& pool, const std::vector<SurfaceCell>& cells,
                                const CellCornerValues& values, const CellLookup& lookup) {
  return share_in_crossing_order(pool, nullptr, ListedCells{cells}, values, lookup);
}

SharedCrossings share_crossings(WorkerPool& pool, const UnfilledVector<CellSigns>& signs,
                                const CellPlacer& placer, const CellCornerValues& values,
                                const CellLookup& lookup) {
  return share_in_crossing_order(pool, nullptr, PlacedCells{signs, placer}, values, lookup);
}

UnfilledVector<CrossingRef> first_crossing_refs(WorkerPool& pool, const CrossingRefs& crossings,
                                                const SharedCrossings& shared) {
  UnfilledVector<CrossingRef> out(shared.distinct_count());
  parallel_for(pool, out.size(), [&](std::size_t d) { out[d] = checked_at(crossings, shared.first[d]); });
  return out;
}

namespace {

template <typename Cells>
UnfilledVector<CrossingRef> first_refs_from_masks(WorkerPool& pool, const Cells& cells,
                                                  const SharedCrossings& shared) {
  const std::size_t n = shared.distinct_of.size();
  const UnfilledVector<std::uint32_t> cell_first = crossing_starts(pool, cells, n);
  if (cell_first[cells.size()] != n) fail_index(n, cell_first[cells.size()]);
  // A crossing is the first of its group when its group names it first;
  // each group's first crossing is written once, at the group's number.
  UnfilledVector<CrossingRef> out(shared.distinct_count());
  parallel_for(pool, block_count(cells.size()), [&](std::size_t b) {
    for (std::size_t i = b * kBlock; i < std::min(cells.size(), (b + 1) * kBlock); ++i) {
      const std::uint8_t mask = cells.mask(i);
      std::uint32_t k = cell_first[i];
      for (unsigned edges = crossing_edges(mask); edges != 0; edges &= edges - 1, ++k) {
        const std::uint32_t d = shared.distinct_of[k];
        if (checked_at(shared.first, d) != k) continue;
        out[d] = crossing_of_edge(static_cast<std::uint32_t>(i), mask,
                                  static_cast<std::uint8_t>(std::countr_zero(edges)));
      }
    }
  }, 1);
  return out;
}

}  // namespace

UnfilledVector<CrossingRef> first_crossing_refs(WorkerPool& pool,
                                                const std::vector<SurfaceCell>& cells,
                                                const SharedCrossings& shared) {
  return first_refs_from_masks(pool, ListedCells{cells}, shared);
}

UnfilledVector<CrossingRef> first_crossing_refs(WorkerPool& pool, const UnfilledVector<CellSigns>& signs,
                                                const SharedCrossings& shared) {
  return first_refs_from_masks(pool, MaskedCells{signs}, shared);
}

SharedCrossings unshared_crossings(std::size_t count) {
  if (count > std::numeric_limits<std::uint32_t>::max()) {
    fail("too many crossings for 32-bit crossing numbers");
  }
  SharedCrossings out;
  out.distinct_of.resize(count);
  for (std::size_t k = 0; k < count; ++k) out.distinct_of[k] = static_cast<std::uint32_t>(k);
  out.first = out.distinct_of;
  return out;
}

}  // namespace karvex
