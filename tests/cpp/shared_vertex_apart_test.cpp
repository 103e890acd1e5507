#include <array>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "dc/shared_vertex_apart.h"
#include "validity/self_intersections.h"

namespace karvex {
namespace {

Vec3 normal_of(const Vec3& a, const Vec3& b, const Vec3& c) {
  const Vec3 u{b.x - a.x, b.y - a.y, b.z - a.z};
  const Vec3 w{c.x - a.x, c.y - a.y, c.z - a.z};
  return {u.y * w.z - u.z * w.y, u.z * w.x - u.x * w.z, u.x * w.y - u.y * w.x};
}

bool apart(const Vec3& v, const std::array<Vec3, 2>& p, const std::array<Vec3, 2>& q) {
  return apart_but_at(v, p, normal_of(v, p[0], p[1]), q, normal_of(v, q[0], q[1]));
}

// The exact test of the validity pass on the pair (v, p0, p1), (v, q0, q1).
bool exact_meet(const Vec3& v, const std::array<Vec3, 2>& p, const std::array<Vec3, 2>& q) {
  const double coordinates[15] = {v.x,    v.y,    v.z,    p[0].x, p[0].y, p[0].z, p[1].x, p[1].y,
                                  p[1].z, q[0].x, q[0].y, q[0].z, q[1].x, q[1].y, q[1].z};
  const std::int64_t faces[6] = {0, 1, 2, 0, 3, 4};
  const validity::MeshView view{coordinates, 5, faces, 2};
  const std::vector<std::int8_t> axes{validity::plane_axis(view, 0), validity::plane_axis(view, 1)};
  return validity::triangles_meet(view, axes, 0, 1);
}

struct Case {
  const char* name;
  Vec3 v;
  std::array<Vec3, 2> p;
  std::array<Vec3, 2> q;
  bool apart;
};

// Side by side on a plane and on a saddle settle; wedges that overlap,
// triangles that cross, one lying on the other's edge, a NaN do not.
const Case kCases[] = {
    {"side by side, flat", {0, 0, 0}, {{{1, 0, 0}, {1, 1, 0}}}, {{{0, 1, 0}, {-1, 1, 0}}}, true},
    {"side by side, saddle", {0, 0, 0}, {{{1, 0, 0.3}, {1, 1, -0.2}}}, {{{-1, 0, 0.3}, {-1, -1, -0.2}}}, true},
    {"overlapping wedges, flat", {0, 0, 0}, {{{1, 0, 0}, {1, 1, 0}}}, {{{1, 0.5, 0}, {0, 1, 0}}}, false},
    {"crossing", {0, 0, 0}, {{{2, -1, 0}, {2, 1, 0}}}, {{{1, 0, -1}, {1, 0, 1}}}, false},
    {"touching along an edge's length", {0, 0, 0}, {{{1, 0, 0}, {1, 1, 0}}}, {{{1, 1, 0}, {0, 1, 1}}}, false},
    {"NaN corner", {0, 0, 0}, {{{1, 0, 0}, {1, 1, 0}}}, {{{NAN, 1, 0}, {-1, 1, 0}}}, false},
};

TEST(SharedVertexApart, Cases) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(apart(c.v, c.p, c.q), c.apart);
    // Either way round.
    EXPECT_EQ(apart(c.v, c.q, c.p), c.apart);
    if (c.apart) {
      EXPECT_FALSE(exact_meet(c.v, c.p, c.q));
    }
  }
}

// Never a pair the exact test finds meeting, on random pairs about a vertex
// (fans of a bumpy surface, and pairs at random, far from it and at large
// coordinates), and most side-by-side pairs settled.
TEST(SharedVertexApart, NeverPartsWhatMeets) {
  std::mt19937_64 rng(29);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  std::uniform_real_distribution<double> angle(0.0, 6.283185307179586);
  for (const double offset : {0.0, 1e3}) {
    int settled = 0;
    int side_by_side = 0;
    for (int trial = 0; trial < 20000; ++trial) {
      const Vec3 v{offset + unit(rng), offset + unit(rng), unit(rng)};
      const bool fan = trial % 2 == 0;
      auto corner = [&](double a) {
        if (!fan) return Vec3{v.x + unit(rng), v.y + unit(rng), v.z + unit(rng)};
        // On a saddle z = 0.3 (x^2 - y^2) about v, at angle a.
        const double r = 0.5 + 0.5 * std::fabs(unit(rng));
        const double x = r * std::cos(a);
        const double y = r * std::sin(a);
        return Vec3{v.x + x, v.y + y, v.z + 0.3 * (x * x - y * y)};
      };
      const double a0 = angle(rng);
      const double a1 = a0 + 0.3 + std::fabs(unit(rng));
      const double b0 = a1 + (fan ? 0.05 : unit(rng));
      const double b1 = b0 + 0.3 + std::fabs(unit(rng));
      const std::array<Vec3, 2> p{corner(a0), corner(a1)};
      const std::array<Vec3, 2> q{corner(b0), corner(b1)};
      const bool said = apart(v, p, q);
      if (said) {
        ASSERT_FALSE(exact_meet(v, p, q)) << "trial " << trial;
      }
      if (fan && b1 < a0 + 6.283185307179586) {
        ++side_by_side;
        settled += said;
      }
    }
    EXPECT_GT(settled, side_by_side * 9 / 10);
  }
}

}  // namespace
}  // namespace karvex
