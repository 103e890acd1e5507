#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

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

TEST(TetrahedralGradients, OneCallOfFourPointsEachExactOnLinearFields) {
  FunctionField f([](const Vec3& p) { return p.x + 2 * p.y + 3 * p.z; });
  std::vector<Vec3> points{{0.1, 0.2, 0.3}, {1, 2, 3}};
  const auto g = estimate_gradients_tetrahedral(f, points, 1e-3);
  ASSERT_EQ(f.batch_sizes, std::vector<std::size_t>{8});
  for (const Vec3& v : g) {
    EXPECT_NEAR(v.x, 1.0, 1e-9);
    EXPECT_NEAR(v.y, 2.0, 1e-9);
    EXPECT_NEAR(v.z, 3.0, 1e-9);
  }
  EXPECT_TRUE(estimate_gradients_tetrahedral(f, {}, 1e-3).empty());
  EXPECT_EQ(f.calls, 1u);
}

// Against analytic gradients of curved fields: the pure second derivatives
// cancel, the mixed ones leave an error h * (H_yz, H_xz, H_xy), so it halves
// with h; at the extraction's step (a hundredth of a cell) the estimates
// agree with the exact gradients to a few parts in ten thousand.
TEST(TetrahedralGradients, MatchAnalyticGradientsToSecondOrder) {
  const std::vector<std::pair<FunctionField, FunctionField::GradientFn>> fields = [] {
    std::vector<std::pair<FunctionField, FunctionField::GradientFn>> out;
    out.emplace_back(FunctionField([](const Vec3& p) { return testing::length(p) - 0.5; }),
                     [](const Vec3& p) {
                       const double r = testing::length(p);
                       return Vec3{p.x / r, p.y / r, p.z / r};
                     });
    out.emplace_back(FunctionField([](const Vec3& p) {
                       return std::sin(3 * p.x) * std::cos(2 * p.y) + p.z * p.z * p.x;
                     }),
                     [](const Vec3& p) {
                       return Vec3{3 * std::cos(3 * p.x) * std::cos(2 * p.y) + p.z * p.z,
                                   -2 * std::sin(3 * p.x) * std::sin(2 * p.y), 2 * p.z * p.x};
                     });
    return out;
  }();
  const std::vector<Vec3> points{{0.3, -0.2, 0.35}, {-0.1, 0.45, 0.05}, {0.2, 0.1, -0.4}};
  for (auto [field, exact] : fields) {
    double previous = 0.0;
    for (const double h : {1e-4, 5e-5}) {
      const auto g = estimate_gradients_tetrahedral(field, points, h);
      double worst = 0.0;
      for (std::size_t i = 0; i < points.size(); ++i) {
        const Vec3 e = exact(points[i]);
        worst = std::max(worst, testing::length({g[i].x - e.x, g[i].y - e.y, g[i].z - e.z}));
      }
      EXPECT_LT(worst, 6.0 * h);  // |H_jk| <= 6 on both fields at these points
      if (previous > 0.0) {
        EXPECT_NEAR(worst, previous / 2.0, previous * 0.1);
      }
      previous = worst;
    }
  }
}

TEST(TetrahedralGradients, TooFewValuesReportsFirstMissingIndex) {
  ShortField f(3);
  std::vector<Vec3> points{{0, 0, 0}, {1, 1, 1}};
  try {
    estimate_gradients_tetrahedral(f, points, 1e-3);
    FAIL();
  } catch (const InvariantFailure& e) {
    EXPECT_STREQ(e.what(), "index out of bounds: the len is 3 but the index is 3");
  }
}

}  // namespace
}  // namespace karvex
