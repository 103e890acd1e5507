#include "dc/shared_crossings.h"

#include <algorithm>
#include <array>
#include <bit>
#include <limits>

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

}  // namespace

SharedCrossings share_crossings(WorkerPool& pool, const CrossingRefs& crossings,
                                const std::vector<SurfaceCell>& cells,
                                const CellCornerValues& values, const CellLookup& lookup) {
  const std::size_t n = crossings.size();
  if (n > std::numeric_limits<std::uint32_t>::max()) {
    fail("too many crossings for 32-bit crossing numbers");
  }
  if (values.size() != cells.size()) fail_index(values.size(), cells.size());
  // The crossings of cell i are [cell_first[i], cell_first[i + 1]), by edge
  // number: find_crossing_refs lists them by cell.
  std::vector<std::uint32_t> cell_first(cells.size() + 1, 0);
  for (const CrossingRef& c : crossings) {
    if (c.cell >= cells.size()) fail_index(cells.size(), c.cell);
    ++cell_first[c.cell + 1];
  }
  for (std::size_t i = 0; i < cells.size(); ++i) cell_first[i + 1] += cell_first[i];

  // First pass: each crossing's owner, the first crossing of its group. The
  // other cells around an edge differ from the crossing's cell by one step
  // along either or both of the two other axes, towards the side the edge
  // lies on; only cells listed earlier can hold an earlier crossing. The
  // cells are listed in walk order, which for cells of one depth is the
  // order of their interleaved (Morton) coordinates, increasing in each
  // coordinate: a cell reached by steps that only go up is listed later and
  // is not looked up, and the cell below the edge on both axes comes first
  // of the four, so when it shares the crossing it is the owner and the
  // others need no look.
  SharedCrossings out;
  out.distinct_of = parallel_map<std::uint32_t>(pool, n, [&](std::size_t k) {
    const CrossingRef& c = crossings[k];
    const SurfaceCell& cell = cells[c.cell];
    const CubeEdge& edge = CUBE_EDGES[c.edge];
    const unsigned axis = c.edge / 4u;
    const unsigned across[2] = {(axis + 1) % 3, (axis + 2) % 3};
    const std::uint64_t last = pow2(cell.address.d) - std::uint64_t{1};
    // The steps (bit s: one along across[s]) to the cell below the edge on
    // both axes: down wherever corner u is on this cell's lower face.
    unsigned lowest = 0;
    for (unsigned s = 0; s < 2; ++s) {
      if (!((edge.u >> across[s]) & 1u)) lowest |= 1u << s;
    }
    if (lowest == 0) return static_cast<std::uint32_t>(k);
    const Vec3 p_u = cell.corner(edge.u);
    const Vec3 p_v = cell.corner(edge.v);
    // The crossing of the cell `steps` away on the same edge when it shares
    // this one, else kNoMatch.
    constexpr std::uint32_t kNoMatch = std::numeric_limits<std::uint32_t>::max();
    const auto shared_at = [&](unsigned steps) -> std::uint32_t {
      CellAddress at = cell.address;
      unsigned u = edge.u;
      bool inside = true;
      for (unsigned s = 0; s < 2; ++s) {
        if (!((steps >> s) & 1u)) continue;
        const unsigned a = across[s];
        std::uint32_t& x = coordinate(at, a);
        // Corner u on the upper face of this axis: the neighbour lies above.
        if ((u >> a) & 1u) {
          inside = inside && x < last;
          ++x;
        } else {
          inside = inside && x > 0;
          --x;
        }
        u ^= 1u << a;
      }
      if (!inside) return kNoMatch;
      const std::uint64_t other = lookup.find(at);
      if (other == CellLookup::kAbsent || other >= c.cell) return kNoMatch;
      const std::uint8_t j = kEdgeAt[u][axis];
      const CrossingRef* begin = crossings.data() + cell_first[other];
      const CrossingRef* end = crossings.data() + cell_first[other + 1];
      const CrossingRef* match =
          std::find_if(begin, end, [j](const CrossingRef& r) { return r.edge == j; });
      if (match == end) return kNoMatch;
      const SurfaceCell& neighbour = cells[other];
      // The neighbour's corner u is this cell's corner edge.u, the same
      // lattice point: values read by lattice point agree.
      const bool same_value =
          values.by_lattice_point() ||
          same_bits(values.at(neighbour, other, u), values.at(cell, c.cell, edge.u));
      if (!same_value || !same_bits(neighbour.corner(u), p_u) ||
          !same_bits(neighbour.corner(u | (1u << axis)), p_v)) {
        return kNoMatch;
      }
      return static_cast<std::uint32_t>(match - crossings.data());
    };
    const std::uint32_t first = shared_at(lowest);
    if (first != kNoMatch) return first;
    auto owner = static_cast<std::uint32_t>(k);
    for (unsigned steps = 1; steps < 4; ++steps) {
      // Steps that go down somewhere: along an axis in `lowest`.
      if (steps == lowest || (steps & lowest) == 0) continue;
      owner = std::min(owner, shared_at(steps));
    }
    return owner;
  });

  // Second pass, in crossing order: an owner opens the next distinct
  // crossing; every other crossing takes its owner's, already numbered.
  for (std::size_t k = 0; k < n; ++k) {
    const std::uint32_t owner = out.distinct_of[k];
    if (owner == k) {
      out.distinct_of[k] = static_cast<std::uint32_t>(out.first.size());
      out.first.push_back(static_cast<std::uint32_t>(k));
    } else {
      out.distinct_of[k] = out.distinct_of[owner];
    }
  }
  return out;
}

UnfilledVector<CrossingRef> first_crossing_refs(WorkerPool& pool, const CrossingRefs& crossings,
                                                const SharedCrossings& shared) {
  UnfilledVector<CrossingRef> out(shared.distinct_count());
  parallel_for(pool, out.size(), [&](std::size_t d) { out[d] = checked_at(crossings, shared.first[d]); });
  return out;
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
