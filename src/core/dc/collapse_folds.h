#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "dc/mesh.h"
#include "support/vec3.h"

namespace karvex {

// A triangle as a collapse would leave it: its vertex numbers and where
// its corners would stand.
struct ChangedTriangle {
  std::size_t face = 0;
  Triangle vertices{};
  std::array<Vec3, 3> corners{};
};

// The live triangles of the edge collapse filed by grid cell, so that a
// collapse whose new triangles would pass through others is refused when
// it is tried, not found after the whole pass (which then has to run
// again). The test is the validity pass's exact one (plane_axis,
// triangles_meet): a changed triangle must have an area and meet no other
// triangle, changed or not, other than at the vertices and the edge they
// share. Pairs whose corners (those not shared) lie plainly on one side
// of the other's plane, by a margin far above rounding, are passed without
// it, and so are pairs sharing one vertex that a plane through it parts
// (apart_but_at: side by side on a surface curved like a saddle, where
// neither lies on one side of the other's plane).
//
// Cells are twice the mean triangle's largest extent, and made again at
// twice the mean when collapses have grown it past one cell, so that a
// query reads a few cells with a few triangles each. A triangle is filed in
// each cell its bounding box overlaps when that is at most kReach cells
// along every axis, otherwise in a list every query scans (flat regions
// collapse to large triangles, and few); a query whose box overlaps more
// cells than are filed reads every filed cell. The answer depends on
// nothing but the mesh: no order of cells or entries enters it.
class FoldGuard {
 public:
  // Files every triangle not `dead`. `positions` and `triangles` are the
  // collapse's own, read again on every refile and query.
  FoldGuard(const std::vector<Vec3>& positions, const std::vector<Triangle>& triangles,
            const std::vector<std::uint8_t>& dead);

  // Triangle f changed (its vertices or where they stand): filed again.
  void refile(std::size_t f);
  // Triangle f is gone.
  void drop(std::size_t f);

  // Whether the collapse making `changed` and removing `gone` would leave a
  // changed triangle without area, or meeting a live triangle (not among
  // `gone`) or another changed one improperly. Triangles not in `changed`
  // stand where `positions` puts them.
  bool folds(const std::vector<ChangedTriangle>& changed, const std::vector<std::size_t>& gone);

 private:
  static constexpr std::int64_t kReach = 4;
  struct Box {
    Vec3 low;
    Vec3 high;
  };
  struct CellBox {
    std::array<std::int64_t, 3> low{};
    std::array<std::int64_t, 3> high{};
    bool large = false;  // in `large_`, not in cells
    bool filed = false;
    double extent = 0.0;  // the box's largest side
    Box box;              // of the triangle, where it was filed
  };

  std::int64_t cell_of(double coordinate, int axis) const;
  CellBox cells_of(const Box& box) const;
  static std::uint64_t key(std::int64_t x, std::int64_t y, std::int64_t z);
  Box box_of(std::size_t f) const;
  void file(std::size_t f);
  void regrid_if_outgrown();
  // A triangle's plane for the quick test of meets(): its normal (edges
  // from corner 0), the product of its edges' magnitudes and the magnitude
  // of the normal, each times the margin's factor (apart()'s terms), the
  // magnitude of corner 0 and of each corner; `flat` when it has (nearly)
  // no area.
  struct Plane {
    Vec3 normal;
    double scale_term = 0.0;
    double normal_term = 0.0;
    double origin_magnitude = 0.0;
    std::array<double, 3> corner_magnitude{};
    bool flat = true;
    bool known = false;  // see Shape
    // The exact test's projection axis (axis_of), worked out on first need.
    mutable std::int8_t axis = kAxisUnknown;
  };
  static constexpr std::int8_t kAxisUnknown = -2;
  // validity::plane_axis of the triangle with vertices `ids` and corners
  // `corners`: kept in `plane`, as a triangle meets several others.
  static std::int8_t axis_of(const Triangle& ids, const std::array<Vec3, 3>& corners,
                             const Plane& plane);
  static Plane plane_of(const std::array<Vec3, 3>& corners);
  // A filed triangle's corners and plane, worked out when first asked and
  // kept until it is refiled or dropped (a live triangle's corners move
  // only through refile()).
  struct Shape {
    std::array<Vec3, 3> corners{};
    Plane plane;  // plane.known: corners and plane are current
  };
  const Shape& shape_of(std::size_t f);
  static bool apart(const Triangle& p_ids, const std::array<Vec3, 3>& p, const Plane& plane,
                    const Triangle& q_ids, const std::array<Vec3, 3>& q, const Plane& q_plane);
  bool meets(const ChangedTriangle& t, const Plane& t_plane, const Triangle& other_vertices,
             const std::array<Vec3, 3>& other_corners, const Plane& other_plane);

  const std::vector<Vec3>& positions_;
  const std::vector<Triangle>& triangles_;
  Vec3 origin_;
  double side_ = 1.0;
  double extent_sum_ = 0.0;  // of the filed triangles
  std::size_t filed_count_ = 0;
  std::unordered_map<std::uint64_t, std::vector<std::uint32_t>> cells_;
  std::vector<std::uint32_t> large_;
  std::vector<CellBox> filed_;          // per triangle
  std::vector<std::uint32_t> seen_;     // per triangle, the query that last saw it
  std::uint32_t query_ = 0;
  std::vector<std::uint32_t> scratch_;  // a query's candidates
  std::vector<std::int8_t> axes_;       // meets()'s two plane axes
  std::vector<Box> boxes_;              // a query's changed triangles' boxes
  std::vector<Plane> planes_;           // and their planes
  std::vector<Shape> shapes_;           // per triangle, see shape_of()
};

}  // namespace karvex
