#include "dc/fold_candidates.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "support/panic.h"

namespace karvex {

namespace {

struct Box {
  Vec3 lo;
  Vec3 hi;
};

Box box_of(const std::vector<Vec3>& positions, const Triangle& t) {
  const Vec3& a = checked_at(positions, t[0]);
  const Vec3& b = checked_at(positions, t[1]);
  const Vec3& c = checked_at(positions, t[2]);
  return {{std::min({a.x, b.x, c.x}), std::min({a.y, b.y, c.y}), std::min({a.z, b.z, c.z})},
          {std::max({a.x, b.x, c.x}), std::max({a.y, b.y, c.y}), std::max({a.z, b.z, c.z})}};
}

// Cube numbers along each axis fit in this many bits of a key.
constexpr unsigned kAxisBits = 20;
// An unmarked box reaching more cubes than this is kept unlooked-at.
constexpr std::int64_t kMostCubes = 64;

// The grid: cube (i, j, k) holds the points x with floor(x / width) == i
// along the first axis, and so on. x -> floor(x / width) never decreases as
// x grows (division by a positive number and floor both keep the order), so
// a box from lo to hi reaches the cubes from lo's to hi's.
class Grid {
 public:
  Grid(double width, const Vec3& least) : width_(width), least_(cube(least)) {}

  std::array<std::int64_t, 3> cube(const Vec3& p) const {
    return {static_cast<std::int64_t>(std::floor(p.x / width_)),
            static_cast<std::int64_t>(std::floor(p.y / width_)),
            static_cast<std::int64_t>(std::floor(p.z / width_))};
  }

  std::uint64_t key(std::int64_t i, std::int64_t j, std::int64_t k) const {
    return (static_cast<std::uint64_t>(i - least_[0]) << (2 * kAxisBits)) |
           (static_cast<std::uint64_t>(j - least_[1]) << kAxisBits) |
           static_cast<std::uint64_t>(k - least_[2]);
  }

  // Calls `each` with the key of every cube the box reaches, until it
  // returns true; whether it did.
  template <class Each>
  bool any_cube(const Box& box, Each each) const {
    const auto lo = cube(box.lo);
    const auto hi = cube(box.hi);
    for (std::int64_t i = lo[0]; i <= hi[0]; ++i) {
      for (std::int64_t j = lo[1]; j <= hi[1]; ++j) {
        for (std::int64_t k = lo[2]; k <= hi[2]; ++k) {
          if (each(key(i, j, k))) return true;
        }
      }
    }
    return false;
  }

  // How many cubes the box reaches.
  std::int64_t cubes(const Box& box) const {
    const auto lo = cube(box.lo);
    const auto hi = cube(box.hi);
    return (hi[0] - lo[0] + 1) * (hi[1] - lo[1] + 1) * (hi[2] - lo[2] + 1);
  }

 private:
  double width_;
  std::array<std::int64_t, 3> least_;
};

}  // namespace

std::vector<std::uint64_t> fold_candidates(const std::vector<Vec3>& positions,
                                           const std::vector<Triangle>& triangles,
                                           const std::vector<std::uint8_t>& marked) {
  const auto everything = [&] {
    std::vector<std::uint64_t> all(triangles.size());
    std::iota(all.begin(), all.end(), std::uint64_t{0});
    return all;
  };
  std::size_t count = 0;
  double width = 0.0;
  bool finite = true;
  Box extent{{INFINITY, INFINITY, INFINITY}, {-INFINITY, -INFINITY, -INFINITY}};
  for (std::size_t t = 0; t < triangles.size(); ++t) {
    const Box box = box_of(positions, triangles[t]);
    for (const std::uint64_t v : triangles[t]) {
      const Vec3& p = positions[v];
      finite = finite && std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
    }
    extent = {{std::min(extent.lo.x, box.lo.x), std::min(extent.lo.y, box.lo.y),
               std::min(extent.lo.z, box.lo.z)},
              {std::max(extent.hi.x, box.hi.x), std::max(extent.hi.y, box.hi.y),
               std::max(extent.hi.z, box.hi.z)}};
    if (checked_at(marked, t) == 0) continue;
    ++count;
    width = std::max({width, box.hi.x - box.lo.x, box.hi.y - box.lo.y, box.hi.z - box.lo.z});
  }
  if (count == 0) return {};
  // Filing costs about what the search saves on the triangles it drops.
  if (4 * count >= 3 * triangles.size()) return everything();
  const double span = std::max(
      {extent.hi.x - extent.lo.x, extent.hi.y - extent.lo.y, extent.hi.z - extent.lo.z});
  const double reach = std::max({std::fabs(extent.lo.x), std::fabs(extent.lo.y),
                                 std::fabs(extent.lo.z), std::fabs(extent.hi.x),
                                 std::fabs(extent.hi.y), std::fabs(extent.hi.z)});
  // Every cube number must be a whole number far inside an int64, and those
  // from the extent's least to its largest must fit their bits (a few more
  // than span / width: floor rounds each end). A coordinate that is not
  // finite (min and max would pass over NaN) files nothing.
  if (!finite || !(width > 0.0) || !(reach / width < 0x1p52) ||
      !(span / width < double{1u << kAxisBits} - 4.0)) {
    return everything();
  }
  const Grid grid(width, extent.lo);
  std::vector<std::uint64_t> reached;
  for (std::size_t t = 0; t < triangles.size(); ++t) {
    if (marked[t] == 0) continue;
    grid.any_cube(box_of(positions, triangles[t]), [&](std::uint64_t key) {
      reached.push_back(key);
      return false;
    });
  }
  std::sort(reached.begin(), reached.end());
  reached.erase(std::unique(reached.begin(), reached.end()), reached.end());
  std::vector<std::uint64_t> kept;
  for (std::size_t t = 0; t < triangles.size(); ++t) {
    if (marked[t] != 0) {
      kept.push_back(t);
      continue;
    }
    const Box box = box_of(positions, triangles[t]);
    if (grid.cubes(box) > kMostCubes ||
        grid.any_cube(box, [&](std::uint64_t key) {
          return std::binary_search(reached.begin(), reached.end(), key);
        })) {
      kept.push_back(t);
    }
  }
  return kept;
}

}  // namespace karvex
