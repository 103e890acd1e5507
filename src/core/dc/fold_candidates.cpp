#include "dc/fold_candidates.h"

#include <algorithm>
#include <array>
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

// At most this many cubes (a bit each); a finer grid is not made.
constexpr std::int64_t kMostGridCubes = std::int64_t{1} << 24;
// An unmarked box reaching more cubes than this is kept unlooked-at.
constexpr std::int64_t kMostCubes = 64;

// floor(q) for |q| well inside an int64, without a library call.
std::int64_t floor_of(double q) {
  const auto i = static_cast<std::int64_t>(q);  // towards zero
  return static_cast<double>(i) > q ? i - 1 : i;
}

// The grid: cube (i, j, k) holds the points x with floor(x / width) == i
// along the first axis, and so on, counted from the extent's least cube.
// x -> floor(x / width) never decreases as x grows (division by a positive
// number and floor both keep the order), so a box from lo to hi reaches the
// cubes from lo's to hi's, and every point of the extent lies in the grid.
class Grid {
 public:
  Grid(double width, const Box& extent) : width_(width), least_(cube(extent.lo)) {
    const auto top = cube(extent.hi);
    for (unsigned a = 0; a < 3; ++a) size_[a] = top[a] - least_[a] + 1;
  }

  std::int64_t cube_count() const { return size_[0] * size_[1] * size_[2]; }

  // Calls `each` with the number of every cube the box reaches, until it
  // returns true; whether it did.
  template <class Each>
  bool any_cube(const Box& box, Each each) const {
    const auto lo = cube(box.lo);
    const auto hi = cube(box.hi);
    for (std::int64_t i = lo[0]; i <= hi[0]; ++i) {
      for (std::int64_t j = lo[1]; j <= hi[1]; ++j) {
        for (std::int64_t k = lo[2]; k <= hi[2]; ++k) {
          const std::int64_t at =
              ((i - least_[0]) * size_[1] + (j - least_[1])) * size_[2] + (k - least_[2]);
          if (each(static_cast<std::size_t>(at))) return true;
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
  std::array<std::int64_t, 3> cube(const Vec3& p) const {
    return {floor_of(p.x / width_), floor_of(p.y / width_), floor_of(p.z / width_)};
  }

  double width_;
  std::array<std::int64_t, 3> least_;
  std::array<std::int64_t, 3> size_{};
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
  for (std::size_t t = 0; t < triangles.size(); ++t) count += checked_at(marked, t) != 0;
  if (count == 0) return {};
  // Filing pays only where the marked triangles are a small part of the mesh
  // (their neighbours in the grid come with them).
  if (4 * count >= triangles.size()) return everything();
  double width = 0.0;
  bool finite = true;
  Box extent{{INFINITY, INFINITY, INFINITY}, {-INFINITY, -INFINITY, -INFINITY}};
  std::vector<Box> boxes(triangles.size());
  for (std::size_t t = 0; t < triangles.size(); ++t) {
    for (const std::uint64_t v : triangles[t]) {
      const Vec3& p = checked_at(positions, v);
      finite = finite && std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
    }
    const Box& box = boxes[t] = box_of(positions, triangles[t]);
    extent = {{std::min(extent.lo.x, box.lo.x), std::min(extent.lo.y, box.lo.y),
               std::min(extent.lo.z, box.lo.z)},
              {std::max(extent.hi.x, box.hi.x), std::max(extent.hi.y, box.hi.y),
               std::max(extent.hi.z, box.hi.z)}};
    if (marked[t] == 0) continue;
    width = std::max({width, box.hi.x - box.lo.x, box.hi.y - box.lo.y, box.hi.z - box.lo.z});
  }
  const double span = std::max(
      {extent.hi.x - extent.lo.x, extent.hi.y - extent.lo.y, extent.hi.z - extent.lo.z});
  const double reach = std::max({std::fabs(extent.lo.x), std::fabs(extent.lo.y),
                                 std::fabs(extent.lo.z), std::fabs(extent.hi.x),
                                 std::fabs(extent.hi.y), std::fabs(extent.hi.z)});
  // Every cube number must be a whole number far inside an int64, and the
  // grid small (a few more cubes a side than span / width: floor rounds each
  // end). A coordinate that is not finite (min and max pass over NaN) files
  // nothing.
  if (!finite || !(width > 0.0) || !(reach / width < 0x1p52) || !(span / width < 0x1p20)) {
    return everything();
  }
  const Grid grid(width, extent);
  if (grid.cube_count() > kMostGridCubes) return everything();
  std::vector<std::uint8_t> reached(static_cast<std::size_t>(grid.cube_count()), 0);
  for (std::size_t t = 0; t < triangles.size(); ++t) {
    if (marked[t] == 0) continue;
    grid.any_cube(boxes[t], [&](std::size_t at) {
      reached[at] = 1;
      return false;
    });
  }
  std::vector<std::uint64_t> kept;
  for (std::size_t t = 0; t < triangles.size(); ++t) {
    if (marked[t] != 0 || grid.cubes(boxes[t]) > kMostCubes ||
        grid.any_cube(boxes[t], [&](std::size_t at) { return reached[at] != 0; })) {
      kept.push_back(t);
    }
  }
  return kept;
}

}  // namespace karvex
