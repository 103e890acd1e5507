// The cell index filled on the pool answers every query as the index filled
// by one thread: the cells' own addresses, and their neighbours that are no
// cells, whatever the cells' order (an order other than the walk's is
// indexed by one thread).
#include <algorithm>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "construction/build.h"
#include "dc/surface_cells.h"
#include "fields.h"
#include "pool/worker_pool.h"

namespace karvex {
namespace {

enum class Order { kWalk, kReversed, kShuffled };

struct LookupCase {
  const char* name;
  bool adaptive;
  Order order;
};

class PooledCellLookup : public ::testing::TestWithParam<LookupCase> {};

TEST_P(PooledCellLookup, AnswersAsTheSerialIndex) {
  const LookupCase& param = GetParam();
  testing::FunctionField shape = testing::two_spheres({-0.3, 0.05, 0}, 0.45, {0.4, -0.1, 0.05}, 0.35);
  MeshingOptions options;
  options.min_depth = 3;
  options.max_depth = 8;
  options.adaptive = param.adaptive;
  const Octree tree = build_octree(shape, BBox{{-1, -1, -1}, {1, 1, 1}}, options).octree;
  std::vector<SurfaceCell> cells = collect_surface_cells(tree);
  // More cells than the pooled form leaves to one thread (64Ki).
  ASSERT_GT(cells.size(), std::size_t{1} << 16);
  if (param.order == Order::kReversed) std::reverse(cells.begin(), cells.end());
  if (param.order == Order::kShuffled) {
    std::mt19937 rng(7);
    std::shuffle(cells.begin(), cells.end(), rng);
  }
  WorkerPool pool(3);
  const CellLookup serial = build_cell_lookup(cells);
  const CellLookup pooled = build_cell_lookup(pool, cells);
  for (std::size_t i = 0; i < cells.size(); ++i) {
    const CellAddress& a = cells[i].address;
    ASSERT_EQ(pooled.find(a), i);
    for (int axis = 0; axis < 3; ++axis) {
      CellAddress n = a;
      (axis == 0 ? n.x : axis == 1 ? n.y : n.z) += 1;
      ASSERT_EQ(pooled.find(n), serial.find(n));
      const CellAddress coarser{a.x / 2, a.y / 2, a.z / 2, static_cast<std::uint8_t>(a.d - 1)};
      ASSERT_EQ(pooled.find(coarser), serial.find(coarser));
    }
  }
  const UnfilledVector<CellSigns> signs = cell_signs(cells);
  const CellLookup pooled_signs = build_cell_lookup(pool, signs);
  for (std::size_t i = 0; i < signs.size(); ++i) ASSERT_EQ(pooled_signs.find(signs[i].address), i);
}

INSTANTIATE_TEST_SUITE_P(Orders, PooledCellLookup,
                         ::testing::Values(LookupCase{"walk", false, Order::kWalk},
                                           LookupCase{"adaptive_walk", true, Order::kWalk},
                                           LookupCase{"reversed", false, Order::kReversed},
                                           LookupCase{"shuffled", true, Order::kShuffled}),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace karvex
