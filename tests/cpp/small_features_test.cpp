// Construction with find_small: features that fall between the samples of
// the initial grid are found whatever min_depth is, also when the split tests
// take their gradients from the cells' values (lean sampling, a field
// without gradients).
#include <cmath>

#include <gtest/gtest.h>

#include "construction/build.h"
#include "dc/extract.h"
#include "fields.h"
#include "mesh_check.h"

namespace karvex {
namespace {

using testing::FunctionField;

BuildResult build(Field& field, std::uint8_t min_depth, bool find_small, bool adaptive = true,
                  bool lean = false) {
  MeshingOptions options;
  options.lean_sampling = lean;
  options.min_depth = min_depth;
  options.max_depth = 7;
  options.adaptive = adaptive;
  options.find_small = find_small;
  return build_octree(field, BBox{{-1, -1, -1}, {1, 1, 1}}, options);
}

// A rod of radius r along x between |x| <= half_length (a capsule), off the lattice.
FunctionField rod(double r, double half_length, bool with_gradients = true) {
  const auto value = [=](const Vec3& p) {
    const double x = std::fmax(std::fabs(p.x - 0.0123) - half_length, 0.0);
    const double y = p.y - 0.1377;
    const double z = p.z + 0.2211;
    return std::sqrt(x * x + y * y + z * z) - r;
  };
  return with_gradients ? testing::with_numeric_gradient(value) : FunctionField(value);
}

MeshingOptions lean_options(bool lean) {
  MeshingOptions options;
  options.lean_sampling = lean;
  return options;
}

class TinySphere : public ::testing::TestWithParam<std::tuple<std::uint8_t, bool>> {};

TEST_P(TinySphere, FoundWithFindSmallOnly) {
  const auto [min_depth, lean] = GetParam();
  const Vec3 centre{0.3137, -0.4219, 0.1171};
  FunctionField field = testing::sphere(centre, 0.04, /*with_gradients=*/!lean);
  const MeshingOptions extract = lean_options(lean);
  // Every sample of the initial grid is outside; without the option the
  // tree collapses before any cell is tested (min_depth 0 tests the root,
  // which is why it finds the sphere anyway).
  if (min_depth > 0) {
    const BuildResult lost = build(field, min_depth, false, true, lean);
    EXPECT_TRUE(extract_surface(lost.octree, field, extract).faces.empty());
  }
  const BuildResult found = build(field, min_depth, true, true, lean);
  const Mesh mesh = extract_surface(found.octree, field, extract);
  const auto check = testing::check_mesh(mesh);
  ASSERT_GT(mesh.faces.size(), 20u);
  EXPECT_TRUE(check.closed && check.oriented);
  EXPECT_EQ(check.euler, 2);
  for (const Vec3& v : mesh.vertices) {
    EXPECT_NEAR(testing::length({v.x - centre.x, v.y - centre.y, v.z - centre.z}), 0.04, 2e-3);
  }
}

INSTANTIATE_TEST_SUITE_P(MinDepths, TinySphere,
                         ::testing::Combine(::testing::Values(0, 2, 3, 4), ::testing::Bool()));

class ThinRod : public ::testing::TestWithParam<bool> {};

TEST_P(ThinRod, IsFound) {
  const bool lean = GetParam();
  FunctionField field = rod(0.02, 0.5, !lean);
  const MeshingOptions extract = lean_options(lean);
  EXPECT_TRUE(extract_surface(build(field, 3, false, true, lean).octree, field, extract).faces.empty());
  for (const bool adaptive : {true, false}) {
    const Mesh mesh =
        extract_surface(build(field, 3, true, adaptive, lean).octree, field, extract);
    const auto check = testing::check_mesh(mesh);
    EXPECT_TRUE(check.closed && check.oriented);
    EXPECT_EQ(check.euler, 2);
    const double volume = 3.141592653589793 * 0.02 * 0.02 * (1.0 + 4.0 / 3.0 * 0.02);
    EXPECT_NEAR(check.signed_volume, volume, 0.25 * volume);
  }
}

INSTANTIATE_TEST_SUITE_P(Sampling, ThinRod, ::testing::Bool());

// A shape the initial grid already sees: the same mesh, and few more samples.
TEST(FindSmall, LargeShapeCostsLittleMore) {
  FunctionField field = testing::sphere({0.03, -0.01, 0.02}, 0.6);
  const BuildResult plain = build(field, 3, false);
  const BuildResult careful = build(field, 3, true);
  EXPECT_LE(careful.evaluation_count, plain.evaluation_count * 11 / 10);
  const Mesh a = extract_surface(plain.octree, field);
  const Mesh b = extract_surface(careful.octree, field);
  EXPECT_EQ(a.faces.size(), b.faces.size());
}

}  // namespace
}  // namespace karvex
