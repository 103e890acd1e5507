#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "dc/collapse_folds.h"
#include "pool/worker_pool.h"
#include "validity/self_intersections.h"

namespace karvex {
namespace {

// Two bumpy sheets of n x n unit squares, split into triangles, the second
// `gap` above the first: the shape of a thin wall or two close blobs, where
// a collapse on one sheet can push a triangle through the other.
struct Sheets {
  std::vector<Vec3> positions;
  std::vector<Triangle> triangles;
  int n = 0;

  std::uint64_t vertex(int sheet, int i, int j) const {
    return static_cast<std::uint64_t>(sheet * (n + 1) * (n + 1) + i * (n + 1) + j);
  }
};

Sheets two_sheets(int n, double gap, std::mt19937_64& rng) {
  std::uniform_real_distribution<double> bump(-0.05, 0.05);
  Sheets s;
  s.n = n;
  for (int sheet = 0; sheet < 2; ++sheet) {
    for (int i = 0; i <= n; ++i) {
      for (int j = 0; j <= n; ++j) s.positions.push_back({double(i), double(j), sheet * gap + bump(rng)});
    }
    for (int i = 0; i < n; ++i) {
      for (int j = 0; j < n; ++j) {
        const auto a = s.vertex(sheet, i, j), b = s.vertex(sheet, i + 1, j);
        const auto c = s.vertex(sheet, i + 1, j + 1), d = s.vertex(sheet, i, j + 1);
        s.triangles.push_back({a, b, c});
        s.triangles.push_back({a, c, d});
      }
    }
  }
  return s;
}

// The triangles round vertex v with v moved to `to`.
std::vector<ChangedTriangle> lifted(const Sheets& s, std::uint64_t v, const Vec3& to) {
  std::vector<ChangedTriangle> changed;
  for (std::size_t f = 0; f < s.triangles.size(); ++f) {
    const Triangle& t = s.triangles[f];
    if (t[0] != v && t[1] != v && t[2] != v) continue;
    ChangedTriangle c{f, t, {}};
    for (int k = 0; k < 3; ++k) c.corners[k] = t[k] == v ? to : s.positions[t[k]];
    changed.push_back(c);
  }
  return changed;
}

// The validity pass's verdict on the mesh with the changes made: a changed
// triangle without area or meeting any other improperly.
bool whole_mesh_folds(const Sheets& s, const std::vector<ChangedTriangle>& changed) {
  std::vector<Vec3> positions = s.positions;
  std::vector<Triangle> triangles = s.triangles;
  std::vector<std::uint8_t> flags(triangles.size(), 0);
  for (const ChangedTriangle& c : changed) {
    triangles[c.face] = c.vertices;
    for (int k = 0; k < 3; ++k) positions[c.vertices[k]] = c.corners[k];
    flags[c.face] = 1;
  }
  std::vector<double> coordinates;
  for (const Vec3& p : positions) coordinates.insert(coordinates.end(), {p.x, p.y, p.z});
  std::vector<std::int64_t> corners;
  for (const Triangle& t : triangles) {
    for (const std::uint64_t v : t) corners.push_back(static_cast<std::int64_t>(v));
  }
  const validity::MeshView view{coordinates.data(), positions.size(), corners.data(),
                                triangles.size()};
  const validity::SelfIntersections found =
      validity::find_self_intersections(view, flags.data(), global_pool());
  for (const ChangedTriangle& c : changed) {
    if (found.zero_area[c.face]) return true;
  }
  return !found.pairs.empty();
}

// Moving one vertex of the lower sheet up and about: the guard's verdict is
// the whole mesh's exact test's, through the other sheet, between the moved
// triangles, and flat (zero area) alike. Moves stay within the guard's
// reach (a few cells).
TEST(FoldGuard, AgreesWithTheTestOfTheWholeMesh) {
  std::mt19937_64 rng(3);
  int folding = 0;
  int clear = 0;
  for (int trial = 0; trial < 300; ++trial) {
    const double gap = trial % 2 == 0 ? 0.3 : 0.8;
    const Sheets s = two_sheets(6, gap, rng);
    std::vector<std::uint8_t> dead(s.triangles.size(), 0);
    FoldGuard guard(s.positions, s.triangles, dead);
    std::uniform_int_distribution<int> inner(1, s.n - 1);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    const int i = inner(rng), j = inner(rng);
    const std::uint64_t v = s.vertex(0, i, j);
    Vec3 to = s.positions[v];
    to.x += 0.7 * u(rng);
    to.y += 0.7 * u(rng);
    to.z += trial % 5 == 0 ? 0.0 : 1.2 * u(rng);
    // Onto a neighbour: the triangles with both have no area.
    if (trial % 7 == 0) to = s.positions[s.vertex(0, i + 1, j)];
    const std::vector<ChangedTriangle> changed = lifted(s, v, to);
    const bool expected = whole_mesh_folds(s, changed);
    EXPECT_EQ(guard.folds(changed, {}), expected) << "trial " << trial;
    (expected ? folding : clear) += 1;
  }
  EXPECT_GT(folding, 30);
  EXPECT_GT(clear, 30);
}

// A triangle removed, or moved away and filed again, no longer counts; the
// triangles the collapse removes are never offered.
TEST(FoldGuard, FollowsDropsAndRefiles) {
  std::mt19937_64 rng(4);
  Sheets s = two_sheets(4, 0.3, rng);
  std::vector<std::uint8_t> dead(s.triangles.size(), 0);
  FoldGuard guard(s.positions, s.triangles, dead);
  // Lift a lower vertex through the upper sheet.
  const std::uint64_t v = s.vertex(0, 2, 2);
  const std::vector<ChangedTriangle> changed = lifted(s, v, {2.0, 2.0, 0.6});
  ASSERT_TRUE(guard.folds(changed, {}));
  // The upper sheet's triangles over it, every one gone: nothing to meet.
  std::vector<std::size_t> upper;
  for (std::size_t f = s.triangles.size() / 2; f < s.triangles.size(); ++f) upper.push_back(f);
  EXPECT_FALSE(guard.folds(changed, upper));
  for (const std::size_t f : upper) guard.drop(f);
  EXPECT_FALSE(guard.folds(changed, {}));
  // Put back far above: still clear; put back where they were: folds again.
  for (int i = 0; i <= s.n; ++i) {
    for (int j = 0; j <= s.n; ++j) s.positions[s.vertex(1, i, j)].z += 5.0;
  }
  for (const std::size_t f : upper) guard.refile(f);
  EXPECT_FALSE(guard.folds(changed, {}));
  for (int i = 0; i <= s.n; ++i) {
    for (int j = 0; j <= s.n; ++j) s.positions[s.vertex(1, i, j)].z -= 5.0;
  }
  for (const std::size_t f : upper) guard.refile(f);
  EXPECT_TRUE(guard.folds(changed, {}));
}

// A triangle moved a little (within the cells it was filed in) is met where
// it stands now: a vertex lifted to just below the upper sheet clears it,
// meets it once the sheet is lowered past it, and clears it again once the
// sheet over it is raised into a tent.
TEST(FoldGuard, RefilesSmallMoves) {
  std::mt19937_64 rng(5);
  Sheets s = two_sheets(4, 0.3, rng);
  std::vector<std::uint8_t> dead(s.triangles.size(), 0);
  FoldGuard guard(s.positions, s.triangles, dead);
  const std::uint64_t v = s.vertex(0, 2, 2);
  const std::vector<ChangedTriangle> changed = lifted(s, v, {2.0, 2.0, 0.22});
  ASSERT_FALSE(whole_mesh_folds(s, changed));
  EXPECT_FALSE(guard.folds(changed, {}));
  for (int i = 0; i <= s.n; ++i) {
    for (int j = 0; j <= s.n; ++j) s.positions[s.vertex(1, i, j)].z -= 0.15;
  }
  for (std::size_t f = s.triangles.size() / 2; f < s.triangles.size(); ++f) guard.refile(f);
  ASSERT_TRUE(whole_mesh_folds(s, changed));
  EXPECT_TRUE(guard.folds(changed, {}));
  // The upper vertex over it raised into a tent clear of the lifted one,
  // after the guard has read its triangles: read again where they stand.
  s.positions[s.vertex(1, 2, 2)].z = 0.5;
  for (std::size_t f = s.triangles.size() / 2; f < s.triangles.size(); ++f) guard.refile(f);
  ASSERT_FALSE(whole_mesh_folds(s, changed));
  EXPECT_FALSE(guard.folds(changed, {}));
}

}  // namespace
}  // namespace karvex
