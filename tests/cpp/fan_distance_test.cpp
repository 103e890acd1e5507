#include <array>
#include <cmath>
#include <cstddef>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "dc/fan_distance.h"

namespace karvex {
namespace {

// What the edge collapse did before the bounding spheres: every triangle
// measured, the first of the least distances kept.
FanTriangles::Nearest full_scan(const std::vector<std::array<Vec3, 3>>& fan, const Vec3& p,
                                double limit) {
  double best = INFINITY;
  std::size_t at = 0;
  for (std::size_t i = 0; i < fan.size(); ++i) {
    const double d = point_triangle_distance(p, fan[i][0], fan[i][1], fan[i][2]);
    if (d < best) {
      best = d;
      at = i;
    }
  }
  if (!(best <= limit)) return {FanTriangles::npos, best};
  return {at, best};
}

// The frame of random trial `trial`: every third at a thousandth of the
// size, every other far from the origin (where rounding is coarse); called
// with coordinates in the unit frame, it gives the point in that one.
struct TrialFrame {
  double scale;
  Vec3 origin;
  explicit TrialFrame(int trial)
      : scale(trial % 3 == 0 ? 1e-3 : 1.0),
        origin(trial % 2 == 0 ? Vec3{1000.0, -250.0, 3.0} : Vec3{0.1, 0.2, 0.3}) {}
  Vec3 operator()(double x, double y, double z) const {
    return Vec3{origin.x + scale * x, origin.y + scale * y, origin.z + scale * z};
  }
};

// Fans round a centre (rings of 3 to 12 neighbours, bumpy, some triangles
// repeated so that distances tie exactly), far from the origin or near it;
// points on the fan's vertices (ties between the triangles sharing them),
// near it and far off; limits from tiny to none; hints none, right and
// wrong. The answer must be the full scan's, bit for bit. One FanTriangles
// serves every trial, cleared in between as the edge collapse does, so a
// fan is often written over a larger one whose slabs were worked out.
TEST(FanTriangles, NearestIsTheFullScans) {
  std::mt19937_64 rng(11);
  FanTriangles fast;
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::size_t within = 0;
  std::size_t rejected = 0;
  for (int trial = 0; trial < 400; ++trial) {
    const TrialFrame at(trial);
    const double scale = at.scale;
    const Vec3 centre = at(0.0, 0.0, 0.3 * u(rng));
    const int n = 3 + static_cast<int>(rng() % 10);
    std::vector<Vec3> ring;
    for (int k = 0; k < n; ++k) {
      const double angle = 2.0 * M_PI * k / n + 0.2 * u(rng);
      ring.push_back(at(std::cos(angle), std::sin(angle), 0.3 * u(rng)));
    }
    std::vector<std::array<Vec3, 3>> fan;
    fast.clear();
    for (int k = 0; k < n; ++k) {
      const std::array<Vec3, 3> t{centre, ring[k], ring[(k + 1) % n]};
      const int copies = rng() % 5 == 0 ? 2 : 1;
      for (int c = 0; c < copies; ++c) {
        fan.push_back(t);
        fast.add(t);
      }
    }
    ASSERT_EQ(fast.size(), fan.size());
    for (int q = 0; q < 40; ++q) {
      Vec3 p;
      if (q % 4 == 0) {
        p = q % 8 == 0 ? centre : ring[rng() % ring.size()];
      } else {
        const double reach = q % 4 == 1 ? 0.01 : (q % 4 == 2 ? 0.3 : 3.0);
        p = at(reach * u(rng) + 0.5 * u(rng), reach * u(rng) + 0.5 * u(rng), reach * u(rng));
      }
      for (const double limit : {1e-9 * scale, 0.05 * scale, 0.5 * scale, double(INFINITY)}) {
        const FanTriangles::Nearest expected = full_scan(fan, p, limit);
        for (const std::size_t hint :
             {FanTriangles::npos, expected.index, static_cast<std::size_t>(rng() % fan.size())}) {
          const FanTriangles::Nearest got = fast.nearest_within(p, limit, hint);
          ASSERT_EQ(got.index, expected.index) << trial << " " << q << " " << limit;
          if (expected.index != FanTriangles::npos) {
            ASSERT_EQ(got.distance, expected.distance);
            ++within;
          } else {
            ++rejected;
          }
        }
      }
    }
  }
  // Both answers were exercised many times.
  EXPECT_GT(within, 10000u);
  EXPECT_GT(rejected, 10000u);
}

// PlaneGap refuses only what nearest_within refuses: fans round a centre
// known to lie within a reach of a point (the centre placed anywhere in
// that ball), bumpy and curved both ways, far from the origin or near it,
// with points on and off them and limits from tiny to about the fan's
// size; planes along the point's true normal and tilted. Whenever the gap
// says beyond, the full scan finds no triangle within the limit.
TEST(PlaneGap, RefusesOnlyWhatTheScanRefuses) {
  std::mt19937_64 rng(23);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::size_t refused = 0;
  std::size_t passed_on = 0;
  for (int trial = 0; trial < 2000; ++trial) {
    const TrialFrame at(trial);
    const double scale = at.scale;
    const double bend = 0.3 * u(rng);  // the ring's height grows with its radius squared
    const double reach = 0.05 * scale * (1.0 + u(rng));
    const Vec3 loose = at(0.0, 0.0, 0.1 * u(rng));
    const Vec3 dir{u(rng), u(rng), u(rng)};
    const double len = std::sqrt(dir.x * dir.x + dir.y * dir.y + dir.z * dir.z);
    const double t = reach * std::fabs(u(rng)) / len;
    const Vec3 centre{loose.x + t * dir.x, loose.y + t * dir.y, loose.z + t * dir.z};
    const int n = 3 + static_cast<int>(rng() % 10);
    std::vector<Vec3> ring;
    for (int k = 0; k < n; ++k) {
      const double angle = 2.0 * M_PI * k / n + 0.2 * u(rng);
      const double r = 0.5 + 0.5 * std::fabs(u(rng));
      ring.push_back(at(r * std::cos(angle), r * std::sin(angle), bend * r * r + 0.02 * u(rng)));
    }
    std::vector<std::array<Vec3, 3>> fan;
    for (int k = 0; k < n; ++k) fan.push_back({centre, ring[k], ring[(k + 1) % n]});
    for (int q = 0; q < 10; ++q) {
      const double off = q % 2 == 0 ? 0.0 : 0.2 * u(rng);
      const Vec3 p = at(0.3 * u(rng), 0.3 * u(rng), off);
      const double tilt = q % 3 == 0 ? 0.0 : 0.1 * u(rng);
      const double norm = std::sqrt(1.0 + tilt * tilt);
      const Vec3 normal{tilt / norm, 0.0, 1.0 / norm};
      PlaneGap gap(normal);
      for (const Vec3& v : ring) gap.add(v);
      gap.add_ball(loose, reach);
      for (const double limit : {1e-9 * scale, 0.01 * scale, 0.1 * scale, 0.5 * scale}) {
        if (!gap.beyond(p, limit)) {
          ++passed_on;
          continue;
        }
        ++refused;
        ASSERT_EQ(full_scan(fan, p, limit).index, FanTriangles::npos) << trial << " " << q;
      }
    }
  }
  EXPECT_GT(refused, 5000u);
  EXPECT_GT(passed_on, 5000u);
}

// No points, or a NaN among them, never refuses; a ball counts whole.
TEST(PlaneGap, NothingToGoOnNeverRefuses) {
  const Vec3 p{0.0, 0.0, 0.0};
  const Vec3 up{0.0, 0.0, 1.0};
  EXPECT_FALSE(PlaneGap(up).beyond(p, 1e-3));
  PlaneGap with_nan(up);
  with_nan.add({0.0, 0.0, 1.0});
  with_nan.add({NAN, 0.0, 1.0});
  EXPECT_FALSE(with_nan.beyond(p, 1e-3));
  PlaneGap no_normal({NAN, NAN, NAN});
  no_normal.add({0.0, 0.0, 1.0});
  EXPECT_FALSE(no_normal.beyond(p, 1e-3));
  PlaneGap ball(up);
  ball.add({0.0, 0.0, 1.0});
  EXPECT_TRUE(ball.beyond(p, 1e-3));
  EXPECT_FALSE(ball.beyond({0.0, 0.0, NAN}, 1e-3));
  ball.add_ball({5.0, 0.0, 1.0}, 0.9995);  // reaches to within the limit of the plane
  EXPECT_FALSE(ball.beyond(p, 1e-3));
}

// triangle_beyond refuses only what the exact distance refuses, wherever
// the loose corner ends within its reach: triangles from fat to slivers
// (and some collapsed to a segment), far from the origin or near it, with
// points over them, beside them and far off, and limits from tiny to about
// their size. It must also refuse often, or the edge collapse gains nothing.
TEST(TriangleBeyond, RefusesOnlyWhatTheDistanceRefuses) {
  std::mt19937_64 rng(31);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::size_t refused = 0;
  std::size_t passed_on = 0;
  for (int trial = 0; trial < 3000; ++trial) {
    const TrialFrame at(trial);
    const double scale = at.scale;
    std::array<Vec3, 3> corners{at(u(rng), u(rng), 0.1 * u(rng)), at(u(rng), u(rng), 0.1 * u(rng)),
                                at(u(rng), u(rng), 0.1 * u(rng))};
    // Slivers and segments: the third corner pulled towards the middle of
    // the other two.
    const double thin = trial % 5 == 0 ? 1e-6 : (trial % 5 == 1 ? 0.0 : 1.0);
    const Vec3 mid{0.5 * (corners[0].x + corners[1].x), 0.5 * (corners[0].y + corners[1].y),
                   0.5 * (corners[0].z + corners[1].z)};
    corners[2] = {mid.x + thin * (corners[2].x - mid.x), mid.y + thin * (corners[2].y - mid.y),
                  mid.z + thin * (corners[2].z - mid.z)};
    const std::size_t loose = rng() % 3;
    const double reach = trial % 4 == 0 ? 0.0 : 0.05 * scale * std::fabs(u(rng));
    for (int q = 0; q < 10; ++q) {
      const double spread = q % 3 == 0 ? 0.05 : (q % 3 == 1 ? 0.5 : 2.0);
      const Vec3 p = at(spread * u(rng), spread * u(rng), 0.2 * u(rng));
      for (const double limit : {1e-9 * scale, 0.01 * scale, 0.1 * scale, 0.5 * scale}) {
        if (!triangle_beyond(p, corners, loose, reach, limit)) {
          ++passed_on;
          continue;
        }
        ++refused;
        // The loose corner at the ends of its reach and within it.
        for (int m = 0; m < 4; ++m) {
          Vec3 dir{u(rng), u(rng), u(rng)};
          const double len = std::sqrt(dir.x * dir.x + dir.y * dir.y + dir.z * dir.z);
          const double t = (m < 2 ? 1.0 : std::fabs(u(rng))) * reach / len;
          std::array<Vec3, 3> moved = corners;
          moved[loose] = {corners[loose].x + t * dir.x, corners[loose].y + t * dir.y,
                          corners[loose].z + t * dir.z};
          ASSERT_FALSE(point_triangle_distance(p, moved[0], moved[1], moved[2]) <= limit)
              << trial << " " << q << " " << limit;
        }
      }
    }
  }
  EXPECT_GT(refused, 20000u);
  EXPECT_GT(passed_on, 20000u);
}

// A NaN anywhere, or a triangle with no directions left, never refuses.
TEST(TriangleBeyond, NothingToGoOnNeverRefuses) {
  const std::array<Vec3, 3> flat{Vec3{0.0, 0.0, 1.0}, Vec3{1.0, 0.0, 1.0}, Vec3{0.0, 1.0, 1.0}};
  const Vec3 p{0.2, 0.2, 0.0};
  EXPECT_TRUE(triangle_beyond(p, flat, 0, 0.5, 0.4));
  EXPECT_FALSE(triangle_beyond(p, flat, 0, 0.5, 0.6));  // the loose corner reaches down
  EXPECT_FALSE(triangle_beyond({0.2, NAN, 0.0}, flat, 0, 0.5, 0.4));
  EXPECT_FALSE(triangle_beyond(p, flat, 0, NAN, 0.4));
  std::array<Vec3, 3> with_nan = flat;
  with_nan[2].z = NAN;
  EXPECT_FALSE(triangle_beyond(p, with_nan, 0, 0.0, 0.4));
  const std::array<Vec3, 3> point{flat[0], flat[0], flat[0]};
  EXPECT_FALSE(triangle_beyond(p, point, 0, 0.0, 0.4));
}

}  // namespace
}  // namespace karvex
