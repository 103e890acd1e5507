#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <vector>

#include "support/vec3.h"

namespace karvex {

// The triangles of a collapse's new fan, for the question the edge collapse
// asks of every sample of the mesh it started from: which triangle of the
// fan is nearest, and is it within the tolerance.
//
// The answer is the full scan's (the least point_triangle_distance, the
// first triangle in fan order among equals), found with fewer exact
// distances: each triangle carries a bounding sphere about its centroid and
// three slabs that hold it (one across each edge, within its plane), and a
// triangle whose sphere or one of whose slabs lies farther than both the
// best distance so far and the limit is not measured. The rejection keeps a
// margin far above the rounding of the distances, so it never drops a
// triangle the scan would have chosen, and the answers are the same bits.
// The spheres are kept apart from the rest: most triangles are rejected by
// theirs, and the scan reads no more of them.
class FanTriangles {
 public:
  struct Nearest {
    std::size_t index;  // into the fan, or npos when none is within the limit
    double distance;
  };
  static constexpr std::size_t npos = ~std::size_t{0};

  void clear();
  void add(const std::array<Vec3, 3>& corners);
  std::size_t size() const { return count_; }
  const std::array<Vec3, 3>& corners(std::size_t i) const { return triangles_[i].corners; }

  // The nearest triangle to `p` when the least distance is at most `limit`
  // (NaN distances never count), else npos. `hint` (a fan index, or npos)
  // is measured first: the triangle that kept `p` before is usually still
  // the nearest, and a tight bound early rejects the most. Works out the
  // triangles' slabs on first need: not to be called from two threads at once.
  Nearest nearest_within(const Vec3& p, double limit, std::size_t hint = npos) const;

 private:
  struct Entry {
    std::array<Vec3, 3> corners;
    // Unit directions (each edge's outward normal within the plane) and
    // the least and greatest heights of the corners along each: a point's
    // distance to the triangle is at least how far its height lies outside
    // any of those ranges. Worked out when first needed (slabs_of).
    mutable bool slabs = false;
    mutable std::array<Vec3, 3> directions;
    mutable std::array<double, 3> low;
    mutable std::array<double, 3> high;
  };
  static void slabs_of(const Entry& e);
  // The first `count_` entries of both lists are the fan's; those past it
  // are left from a larger fan, kept to be written over rather than built
  // again (a collapse builds a fan per candidate).
  std::size_t count_ = 0;
  std::vector<Entry> triangles_;
  // A triangle's bounding sphere about its centroid, and the largest
  // coordinate magnitude of the centroid plus the radius (the triangle's
  // part of the rejection margin).
  struct Sphere {
    Vec3 centre;
    double radius;
    double magnitude;
  };
  std::vector<Sphere> spheres_;  // per triangle
};

// A refusal of nearest_within before its fan is built: the gap between a
// point `p` and every triangle with corners among the points added, across
// the plane through `p` normal to `normal` (unit length; any direction
// gives a bound, the surface's normal a tight one). When all the points lie
// beyond that plane on one side by more than the limit, so does each such
// triangle (it lies in their convex hull), and nearest_within finds none
// within the limit. A point known only to lie within `reach` of a centre
// counts as its whole ball. The test keeps a margin far above the rounding
// of the heights and of point_triangle_distance's closest points, so it
// refuses only what nearest_within refuses. The points' heights along
// `normal` are kept, so each `p` asked about costs one dot product.
class PlaneGap {
 public:
  explicit PlaneGap(const Vec3& normal) : normal_(normal) {}
  void add(const Vec3& corner);
  void add_ball(const Vec3& centre, double reach);
  // True when every point added lies beyond the plane through `p` by more
  // than `limit` on one side; false for no points, or any NaN.
  bool beyond(const Vec3& p, double limit) const;

 private:
  Vec3 normal_;
  double lowest_ = INFINITY;    // least height along the normal, ball or point
  double highest_ = -INFINITY;  // greatest
  double magnitude_ = 0.0;      // largest coordinate magnitude seen, with the reaches
  bool nan_ = false;
};

// A refusal of nearest_within for one triangle before one of its corners
// is placed: true when `p` lies farther than `limit` from every triangle
// whose corners are `corners` with corner `loose` moved anywhere within
// `reach` of where it is given. Such a triangle lies between two parallel
// planes wherever the given one does, each moved out by `reach`; the
// planes tried are the given triangle's own and those across each of its
// edges within it, so a point over the triangle is refused by its height
// and one off to the side by how far off it is. The heights keep the same
// margin as PlaneGap's, so it refuses only what nearest_within refuses.
// False for a degenerate triangle whose directions are lost, or any NaN.
bool triangle_beyond(const Vec3& p, const std::array<Vec3, 3>& corners, std::size_t loose,
                     double reach, double limit);

// Distance from `p` to the triangle (a, b, c) (the closest point found by
// Voronoi region, Ericson 2005).
double point_triangle_distance(const Vec3& p, const Vec3& a, const Vec3& b, const Vec3& c);

}  // namespace karvex
