#pragma once

// Exact orientation predicates on float64 points.
//
// Each is evaluated first in floating point and its sign kept wherever the
// result exceeds the a-priori error bound of that very sequence of operations
// (Shewchuk 1997, "Adaptive precision floating-point arithmetic and fast
// robust geometric predicates": the bounds he calls o3derrboundA and
// ccwerrboundA, which cover the rounding of the coordinate differences too).
// The rare cases the filter cannot decide (almost always exactly degenerate
// ones: points on a common plane or line) are recomputed exactly with
// floating-point expansions, sums of non-overlapping doubles whose total is
// the exact value.
//
// The exact path is exact for finite coordinates as long as no partial
// product underflows: coordinates are first scaled by a power of two (exact)
// so that the largest is near 1, which holds when the nonzero coordinates of
// one call lie within about 2^300 of each other in magnitude.

#include <array>
#include <cmath>

namespace karvex::validity {

using Point3 = std::array<double, 3>;
using Point2 = std::array<double, 2>;

// Sign (-1, 0, +1) of det[a - d, b - d, c - d]: positive when d lies below
// the plane through a, b, c (on the side opposite to (b - a) x (c - a)),
// zero exactly when the four points are coplanar.
int orient3d(const Point3& a, const Point3& b, const Point3& c, const Point3& d);


// Sign of det[a - c, b - c]: positive when a, b, c turn counter-clockwise,
// zero exactly when they are collinear.
int orient2d(const Point2& a, const Point2& b, const Point2& c);

// Half an ulp of 1, orient2d's error bound, and the permanent below which
// partial products may have underflowed and the bound does not hold (such
// cases go to the exact path).
inline constexpr double kPredicateEps = 0x1p-53;
inline constexpr double kOrient2dBound = (3.0 + 16.0 * kPredicateEps) * kPredicateEps;
inline constexpr double kPredicateTiny = 1e-250;
// orient3d's error bound.
inline constexpr double kOrient3dBound = (7.0 + 56.0 * kPredicateEps) * kPredicateEps;

// orient2d, with its floating-point filter inline for hot loops: the same
// operations and bound, so the same sign; orient2d itself where the filter
// cannot tell (exact zeros among them).
inline int orient2d_inline(const Point2& a, const Point2& b, const Point2& c) {
  const double left = (a[0] - c[0]) * (b[1] - c[1]);
  const double right = (a[1] - c[1]) * (b[0] - c[0]);
  const double det = left - right;
  const double permanent = std::fabs(left) + std::fabs(right);
  if (std::fabs(det) > kOrient2dBound * permanent && permanent >= kPredicateTiny) return (det > 0.0) - (det < 0.0);
  return orient2d(a, b, c);
}

// orient3d's floating-point filter alone, inline for the pair tests: true
// with `sign` set when the rounded determinant's sign is certain (or the
// points are plainly on an axis-aligned plane), false where only the exact
// path could tell.
inline bool orient3d_filtered(const Point3& a, const Point3& b, const Point3& c, const Point3& d, int& sign) {
  const double adx = a[0] - d[0], ady = a[1] - d[1], adz = a[2] - d[2];
  const double bdx = b[0] - d[0], bdy = b[1] - d[1], bdz = b[2] - d[2];
  const double cdx = c[0] - d[0], cdy = c[1] - d[1], cdz = c[2] - d[2];
  // Points on a common axis-aligned plane, common in meshes of CAD shapes,
  // are coplanar (x - y rounds to zero only when x == y).
  if ((adx == 0.0 && bdx == 0.0 && cdx == 0.0) || (ady == 0.0 && bdy == 0.0 && cdy == 0.0) ||
      (adz == 0.0 && bdz == 0.0 && cdz == 0.0)) {
    sign = 0;
    return true;
  }
  const double bc = bdx * cdy, cb = cdx * bdy;
  const double ca = cdx * ady, ac = adx * cdy;
  const double ab = adx * bdy, ba = bdx * ady;
  const double det = adz * (bc - cb) + bdz * (ca - ac) + cdz * (ab - ba);
  const double permanent = (std::fabs(bc) + std::fabs(cb)) * std::fabs(adz) +
                           (std::fabs(ca) + std::fabs(ac)) * std::fabs(bdz) +
                           (std::fabs(ab) + std::fabs(ba)) * std::fabs(cdz);
  if (std::fabs(det) > kOrient3dBound * permanent && permanent >= kPredicateTiny) {
    sign = (det > 0.0) - (det < 0.0);
    return true;
  }
  return false;
}

}  // namespace karvex::validity
