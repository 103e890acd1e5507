// Cells placed again from their addresses (CellPlacer) carry the walk's
// geometry bit for bit: roots whose corners sum with rounding and roots
// whose sums are exact (a power-of-two side), a root corner of -0.0 (which
// the walk's additions of 0.0 turn into +0.0), a corner that is a multiple
// of only the coarser sides, and trees whose surface cells sit at many
// depths.
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "construction/build.h"
#include "dc/surface_cells.h"
#include "fields.h"

namespace karvex {
namespace {

struct PlacerCase {
  const char* name;
  Vec3 origin;  // the root's minimum corner the walk starts from
  double size;
  bool adaptive;
};

class CellPlacerCase : public ::testing::TestWithParam<PlacerCase> {};

TEST_P(CellPlacerCase, PlacesTheWalksCells) {
  const PlacerCase& param = GetParam();
  // One sphere round the box's lowest corner: cells on its low faces, whose
  // address is 0 along an axis, are surface cells.
  testing::FunctionField shape =
      testing::two_spheres({-1.0, -1.0, -1.0}, 0.7, {0.4, -0.1, 0.05}, 0.35);
  MeshingOptions options;
  options.min_depth = 2;
  options.max_depth = 7;
  options.adaptive = param.adaptive;
  Octree tree = build_octree(shape, BBox{{-1, -1, -1}, {1, 1, 1}}, options).octree;
  // The walk places cells from the root's corner and side alone: any
  // corner and side test the placement, whatever the field saw.
  tree.origin = param.origin;
  tree.size = param.size;
  const std::vector<SurfaceCell> cells = collect_surface_cells(tree);
  ASSERT_GT(cells.size(), 100u);
  const CellPlacer placed(tree.origin, tree.size);
  std::size_t mismatches = 0;
  for (const SurfaceCell& cell : cells) {
    const SurfaceCell again = placed({cell.address, cell.sign_mask});
    mismatches += std::memcmp(&again.cell_min, &cell.cell_min, sizeof(Vec3)) != 0 ||
                  std::memcmp(&again.cell_side, &cell.cell_side, sizeof(double)) != 0 ||
                  again.sign_mask != cell.sign_mask;
  }
  EXPECT_EQ(mismatches, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Roots, CellPlacerCase,
    ::testing::Values(PlacerCase{"rounded_sums", {-0.3, 0.1, -0.7}, 0.77, false},
                      PlacerCase{"negative_zero", {-0.0, -0.0, 1e-17}, 3.0, true},
                      PlacerCase{"exact_negative_zero", {-0.0, -0.0, -2.0}, 4.0, true},
                      PlacerCase{"exact_off_side", {0.0, 0.5, 3.0}, 256.0, false},
                      PlacerCase{"adaptive", {-1.0, -1.0, -1.0}, 2.0, true}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace karvex
