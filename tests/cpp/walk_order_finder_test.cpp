// Searching the walk order finds what the cell index finds: the cells
// themselves, the same-depth neighbours the faces ask for, and addresses of
// other depths at or just below a cell's corner (a leaf of another size
// there is no answer). Cells in any other order are refused, and the faces
// made either way are the same.
#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "construction/build.h"
#include "dc/faces.h"
#include "dc/surface_cells.h"
#include "dc/walk_order_finder.h"
#include "fields.h"
#include "pool/worker_pool.h"
#include "stand_in_vertices.h"

namespace karvex {
namespace {

class WalkOrderSearch : public ::testing::TestWithParam<bool> {};

std::vector<SurfaceCell> cells_of_two_spheres(bool adaptive) {
  testing::FunctionField shape =
      testing::two_spheres({-0.3, 0.05, 0}, 0.45, {0.4, -0.1, 0.05}, 0.35);
  MeshingOptions options;
  options.min_depth = 3;
  options.max_depth = 7;
  options.adaptive = adaptive;
  const Octree tree = build_octree(shape, BBox{{-1, -1, -1}, {1, 1, 1}}, options).octree;
  return collect_surface_cells(tree);
}

TEST_P(WalkOrderSearch, FindsWhatTheIndexFinds) {
  const UnfilledVector<CellSigns> signs = cell_signs(cells_of_two_spheres(GetParam()));
  WorkerPool pool(2);
  ASSERT_TRUE(WalkOrderFinder::usable(pool, signs));
  const CellLookup lookup = build_cell_lookup(signs);
  const WalkOrderFinder finder(signs);
  // Searches from the cell, from the first cell and from a random place
  // before it (galloping back, forward, or either).
  std::mt19937 rng(5);
  // The search that reads back from `before` first answers the same, and
  // so does it from any later cell when the answer lies before `before`
  // (the faces read a neighbour's sibling back from the neighbour).
  const auto expect_same = [&](const CellAddress& a, std::size_t before) {
    const std::uint64_t want = lookup.find(a);
    const std::uint64_t expected = want == CellLookup::kAbsent ? WalkOrderFinder::kAbsent : want;
    for (std::size_t hint : {before, std::size_t{0}, std::size_t(rng() % (before + 1))}) {
      ASSERT_EQ(finder.find(a, before, hint), expected)
          << a.x << " " << a.y << " " << a.z << " depth " << int(a.d) << " before " << before;
    }
    const std::size_t later = std::min(signs.size(), before + rng() % 20);
    for (std::size_t from : {before, later}) {
      ASSERT_EQ(finder.find_close(a, from), expected)
          << a.x << " " << a.y << " " << a.z << " depth " << int(a.d) << " from " << from;
    }
  };
  for (std::size_t i = 0; i < signs.size(); ++i) {
    const CellAddress& a = signs[i].address;
    expect_same(a, i + 1);
    const auto d = static_cast<std::uint8_t>(a.d);
    // A parent-sized address at the cell's corner, or just below it.
    expect_same({a.x / 2, a.y / 2, a.z / 2, static_cast<std::uint8_t>(d - 1)}, i + 1);
    for (unsigned axes = 1; axes < 8; ++axes) {
      const std::uint32_t dx = axes & 1u, dy = (axes >> 1) & 1u, dz = (axes >> 2) & 1u;
      if (a.x < dx || a.y < dy || a.z < dz) continue;
      expect_same({a.x - dx, a.y - dy, a.z - dz, d}, i);
      expect_same({2 * a.x - dx, 2 * a.y - dy, 2 * a.z - dz, static_cast<std::uint8_t>(d + 1)}, i);
    }
  }
}

TEST_P(WalkOrderSearch, OtherOrdersAreRefusedAndMakeTheSameFaces) {
  std::vector<SurfaceCell> cells = cells_of_two_spheres(GetParam());
  testing::StandInVertices vertices = testing::stand_in_vertices(cells);
  std::vector<std::uint64_t>& first = vertices.first;
  const std::vector<Vec3>& positions = vertices.positions;
  WorkerPool pool(2);
  for (const bool shuffled : {false, true}) {
    if (shuffled) {
      std::mt19937 rng(11);
      std::vector<std::size_t> order(cells.size());
      for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
      std::shuffle(order.begin(), order.end(), rng);
      std::vector<SurfaceCell> moved(cells.size());
      std::vector<std::uint64_t> moved_first(cells.size());
      for (std::size_t i = 0; i < order.size(); ++i) {
        moved[i] = cells[order[i]];
        moved_first[i] = first[order[i]];
      }
      cells = std::move(moved);
      first = std::move(moved_first);
    }
    const UnfilledVector<CellSigns> signs = cell_signs(cells);
    EXPECT_EQ(WalkOrderFinder::usable(pool, signs), !shuffled);
    const std::vector<Triangle> indexed =
        generate_faces(pool, signs, build_cell_lookup(signs), first, positions);
    ASSERT_FALSE(indexed.empty());
    EXPECT_EQ(generate_faces(pool, signs, first, positions), indexed);
  }
}

// Lattices of one depth in walk order, whole or with holes: the search
// that reads back first finds every same-depth neighbour below a cell (the
// sibling a few places back, or one far enough back that it gallops), and
// nothing where a hole is, from the cell and from cells after it.
class CloseSearch : public ::testing::TestWithParam<unsigned> {};

TEST_P(CloseSearch, FindsWhatALinearSearchFinds) {
  constexpr std::uint8_t kDepth = 3;
  const unsigned holes = GetParam();  // every holes-th cell missing (0: none)
  std::vector<CellAddress> all;
  for (std::uint32_t x = 0; x < 8; ++x) {
    for (std::uint32_t y = 0; y < 8; ++y) {
      for (std::uint32_t z = 0; z < 8; ++z) {
        if (holes != 0 && (x + 3 * y + 5 * z) % holes == 0) continue;
        all.push_back({x, y, z, kDepth});
      }
    }
  }
  std::sort(all.begin(), all.end(), [](const CellAddress& p, const CellAddress& q) {
    return WalkOrderFinder::code(p) < WalkOrderFinder::code(q);
  });
  UnfilledVector<CellSigns> signs(all.size());
  for (std::size_t i = 0; i < all.size(); ++i) signs[i] = {all[i], 1};
  WorkerPool pool(1);
  ASSERT_TRUE(WalkOrderFinder::usable(pool, signs));
  const WalkOrderFinder finder(signs);
  const auto linear = [&](const CellAddress& a) {
    const auto at = std::find(all.begin(), all.end(), a);
    return at == all.end() ? WalkOrderFinder::kAbsent : std::uint64_t(at - all.begin());
  };
  for (std::size_t i = 0; i < all.size(); ++i) {
    const CellAddress& a = all[i];
    for (unsigned axes = 1; axes < 8; ++axes) {
      const std::uint32_t dx = axes & 1u, dy = (axes >> 1) & 1u, dz = (axes >> 2) & 1u;
      if (a.x < dx || a.y < dy || a.z < dz) continue;
      const CellAddress below{a.x - dx, a.y - dy, a.z - dz, kDepth};
      for (std::size_t from : {i, std::min(all.size(), i + 1), std::min(all.size(), i + 13)}) {
        ASSERT_EQ(finder.find_close(below, from), linear(below))
            << below.x << " " << below.y << " " << below.z << " from " << from;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Lattices, CloseSearch, ::testing::Values(0u, 2u, 7u),
                         [](const auto& info) { return "holes" + std::to_string(info.param); });

INSTANTIATE_TEST_SUITE_P(Trees, WalkOrderSearch, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "adaptive" : "uniform"; });

}  // namespace
}  // namespace karvex
