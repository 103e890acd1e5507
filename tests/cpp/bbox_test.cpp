#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "support/bbox.h"
#include "support/panic.h"

namespace karvex {
namespace {

TEST(CubeFromBox, PadsShorterAxesEqually) {
  Cube cube = cube_from_box({{0, 0, 0}, {2, 1, 1}});
  EXPECT_EQ(cube.size, 2.0);
  EXPECT_EQ(cube.origin, (Vec3{0.0, -0.5, -0.5}));
}

TEST(CubeFromBox, NanExtentLosesToAnyNumber) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  Cube cube = cube_from_box({{0, 0, 0}, {nan, 1, 3}});
  EXPECT_EQ(cube.size, 3.0);
}

TEST(CubeEdges, AxisBlocksStartAtMinimumCorner) {
  for (int axis = 0; axis < 3; ++axis) {
    const CubeEdge& e = cube_edge(4 * axis);
    EXPECT_EQ(e.u, 0);
    EXPECT_EQ(e.v, 1 << axis);
    for (int k = 0; k < 4; ++k) {
      const CubeEdge& edge = cube_edge(4 * axis + k);
      EXPECT_EQ(edge.v - edge.u, 1 << axis) << "edge " << 4 * axis + k;
    }
  }
  EXPECT_THROW(cube_edge(12), InvariantFailure);
}

TEST(FormatDouble, MatchesMessageStyle) {
  EXPECT_EQ(format_double(1.0), "1.0");
  EXPECT_EQ(format_double(-0.25), "-0.25");
  EXPECT_EQ(format_double(std::numeric_limits<double>::quiet_NaN()), "NaN");
  EXPECT_EQ(format_double(1e20), "1e20");
  EXPECT_EQ(format_double(1.5e-7), "1.5e-7");
}

TEST(CheckedClamp, FailsOnCrossedOrNanBounds) {
  EXPECT_EQ(checked_clamp(5.0, 0.0, 1.0), 1.0);
  EXPECT_TRUE(std::isnan(checked_clamp(std::nan(""), 0.0, 1.0)));
  try {
    checked_clamp(0.5, 2.0, 1.0);
    FAIL();
  } catch (const InvariantFailure& e) {
    EXPECT_STREQ(e.what(), "min > max, or either was NaN. min = 2.0, max = 1.0");
  }
  EXPECT_THROW(checked_clamp(0.5, std::nan(""), 1.0), InvariantFailure);
}

}  // namespace
}  // namespace karvex
