#include <cmath>

#include <gtest/gtest.h>

#include "field/fd_gradients.h"
#include "fields.h"
#include "support/panic.h"

namespace karvex {
namespace {

using testing::FunctionField;
using testing::ShortField;

TEST(EstimateGradients, EmptyBatchMakesNoCall) {
  FunctionField f([](const Vec3& p) { return p.x; });
  EXPECT_TRUE(estimate_gradients(f, {}, 1e-3).empty());
  EXPECT_EQ(f.calls, 0u);
}

TEST(EstimateGradients, OneCallOfSixPointsEach) {
  FunctionField f([](const Vec3& p) { return p.x + 2 * p.y + 3 * p.z; });
  std::vector<Vec3> points{{0.1, 0.2, 0.3}, {1, 2, 3}};
  auto g = estimate_gradients(f, points, 1e-3);
  ASSERT_EQ(f.batch_sizes, std::vector<std::size_t>{12});
  for (const Vec3& v : g) {
    EXPECT_NEAR(v.x, 1.0, 1e-9);
    EXPECT_NEAR(v.y, 2.0, 1e-9);
    EXPECT_NEAR(v.z, 3.0, 1e-9);
  }
}

TEST(EstimateGradients, CentralDifferenceIsExactForSquareAtZero) {
  FunctionField f([](const Vec3& p) { return p.x * p.x; });
  std::vector<Vec3> points{{0, 0, 0}};
  EXPECT_EQ(estimate_gradients(f, points, 1e-2)[0].x, 0.0);
}

TEST(EstimateGradients, TooFewValuesReportsFirstMissingIndex) {
  ShortField f(2);  // one sixth of the 12 stencil points
  std::vector<Vec3> points{{0, 0, 0}, {1, 1, 1}};
  try {
    estimate_gradients(f, points, 1e-3);
    FAIL();
  } catch (const InvariantFailure& e) {
    EXPECT_STREQ(e.what(), "index out of bounds: the len is 2 but the index is 2");
  }
}

}  // namespace
}  // namespace karvex
