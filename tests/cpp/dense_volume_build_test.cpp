#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

#include <gtest/gtest.h>

#include "construction/dense_volume_build.h"
#include "dc/extract.h"
#include "dc/surface_cells.h"
#include "octree/octree.h"
#include "pool/worker_pool.h"
#include "support/panic.h"
#include "support/cube_samples.h"
#include "volume/box_cap.h"
#include "volume/volume_field.h"

namespace karvex {
namespace {

// A 17^3 float32 volume (depth 4, one sample per lattice point) of a ball's
// distance, with exact zeros and negative zeros scattered through it: a
// zero is the one sample the build does not read straight from the volume.
struct BallVolume : CubeSamples<float> {
  BallVolume()
      : CubeSamples<float>(17, SampleType::kFloat32,
                           [](std::size_t i, std::size_t j, std::size_t k) {
                             const double x = static_cast<double>(i) - 7.3;
                             const double y = static_cast<double>(j) - 8.1;
                             const double z = static_cast<double>(k) - 8.6;
                             float value =
                                 static_cast<float>(std::sqrt(x * x + y * y + z * z) - 5.2);
                             if ((i + 2 * j + 3 * k) % 11 == 0) {
                               value = ((i + j) % 2 == 0) ? 0.0f : -0.0f;
                             }
                             return value;
                           }) {}
};

struct DenseCase {
  bool negate;
  bool capped;
  double level;
  // The box: its lowest corner and depth, one sample per lattice step. A
  // box inside the volume puts its cap's faces among samples the scan
  // reads, where the cap decides the sign or lifts a value below the level.
  Vec3 low{0, 0, 0};
  unsigned depth = 4;
};

class DenseVolumeTree : public testing::TestWithParam<DenseCase> {};

// The tree read off the samples keeps no leaf records, and what extraction
// reads instead must be the field's own capped values bit for bit: at every
// lattice point (open or capped, zero or not) and as every leaf's mask.
TEST_P(DenseVolumeTree, ReadsTheFieldsCappedValuesWithoutLeafRecords) {
  const DenseCase& c = GetParam();
  const BallVolume volume;
  WorkerPool pool(2);
  const double side = static_cast<double>(1u << c.depth);
  const BBox box{c.low, {c.low.x + side, c.low.y + side, c.low.z + side}};
  std::optional<BoxCap> cap;
  if (c.capped) cap = BoxCap(box.min, box.max, c.level);
  VolumeField field(volume.samples, VolumePlacement{{1, 1, 1}, {0, 0, 0}, c.negate}, pool, cap);
  MeshingOptions options;
  options.max_depth = c.depth;
  options.min_depth = 2;
  options.level = c.level;
  options.run.pool = &pool;
  const std::optional<Octree> tree = build_dense_volume_octree(field, box, options);
  ASSERT_TRUE(tree.has_value());
  EXPECT_FALSE(tree->has_leaf_records());
  EXPECT_EQ(tree->leaves.size(), 0u);
  EXPECT_EQ(tree->leaf_count(), count_nodes(*tree).leaf_count);
  ASSERT_GT(tree->leaf_count(), 0u);

  const std::uint32_t points = (1u << c.depth) + 1;
  for (std::uint32_t i = 0; i < points; ++i) {
    for (std::uint32_t j = 0; j < points; ++j) {
      for (std::uint32_t k = 0; k < points; ++k) {
        const CornerKey key{i, j, k};
        const double read = tree->lattice_value(key);
        const double sampled = field.capped_at(tree->position(key));
        ASSERT_EQ(std::bit_cast<std::uint64_t>(read), std::bit_cast<std::uint64_t>(sampled))
            << i << " " << j << " " << k;
      }
    }
  }

  // Every finest cell whose corners lie on both sides is a surface cell.
  std::size_t mixed = 0;
  for (std::uint32_t i = 0; i + 1 < points; ++i) {
    for (std::uint32_t j = 0; j + 1 < points; ++j) {
      for (std::uint32_t k = 0; k + 1 < points; ++k) {
        unsigned below = 0;
        for (unsigned corner = 0; corner < 8; ++corner) {
          const CornerKey key{i + (corner & 1u), j + (corner >> 1 & 1u), k + (corner >> 2)};
          below += field.capped_at(tree->position(key)) < c.level ? 1u : 0u;
        }
        mixed += below != 0 && below != 8 ? 1u : 0u;
      }
    }
  }
  const std::vector<SurfaceCell> cells = collect_surface_cells(*tree);
  EXPECT_EQ(cells.size(), tree->leaf_count());
  EXPECT_EQ(cells.size(), mixed);
  for (const SurfaceCell& cell : cells) {
    std::uint8_t mask = 0;
    for (unsigned corner = 0; corner < 8; ++corner) {
      const double value = tree->lattice_value(cell_corner(cell.address, corner, tree->max_depth));
      if (value < c.level) mask |= static_cast<std::uint8_t>(1u << corner);
    }
    EXPECT_EQ(cell.sign_mask, mask);
  }

  // The listed finest leaves are the walk's cells, in the walk's order.
  ASSERT_TRUE(tree->lists_finest_leaves());
  const UnfilledVector<CellSigns> listed = finest_cell_signs(pool, *tree);
  ASSERT_EQ(listed.size(), cells.size());
  for (std::size_t n = 0; n < cells.size(); ++n) {
    EXPECT_EQ(listed[n].address, cells[n].address) << n;
    EXPECT_EQ(listed[n].sign_mask, cells[n].sign_mask) << n;
  }
  EXPECT_FALSE(tree->leaves_only);

  // Options whose extraction reads only that list: no nodes above the
  // leaves, the same list.
  options.lean_sampling = true;
  const std::optional<Octree> lean = build_dense_volume_octree(field, box, options);
  ASSERT_TRUE(lean.has_value());
  EXPECT_TRUE(lean->leaves_only);
  EXPECT_TRUE(lean->blocks.empty());
  ASSERT_TRUE(lean->lists_finest_leaves());
  EXPECT_EQ(lean->finest_leaf_codes, tree->finest_leaf_codes);
  EXPECT_EQ(lean->finest_leaf_masks, tree->finest_leaf_masks);
  // An extraction that would walk the nodes refuses the tree rather than
  // finding no surface in it.
  options.lean_sampling = false;
  EXPECT_THROW(extract_surface(*lean, field, options), InvariantFailure);
  options.simplify = 0.1;  // simplification reads the nodes
  EXPECT_FALSE(build_dense_volume_octree(field, box, options)->leaves_only);
}

INSTANTIATE_TEST_SUITE_P(Volumes, DenseVolumeTree,
                         testing::Values(DenseCase{false, true, 0.0}, DenseCase{true, true, -0.5},
                                         DenseCase{false, false, 0.25},
                                         DenseCase{false, true, 0.0, {2, 1, 3}, 3},
                                         DenseCase{true, true, -0.5, {5, 4, 6}, 3}));

}  // namespace
}  // namespace karvex
