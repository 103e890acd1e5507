#pragma once

#include <cstdint>
#include <vector>

#include "dc/component_table.h"
#include "dc/crossings.h"
#include "support/vec3.h"

namespace karvex {

// Quadratic error function of one vertex slot (Ju et al. 2002, dual
// contouring of Hermite data): the normal equations A^T A x = A^T b of the
// tangent planes n . x = n . p at its crossings, each plane with weight 1,
// plus a pull of weight 1e-4 towards every crossing point, which keeps the
// matrix positive definite once count >= 1. The sum of the planes' squared
// offsets and of the crossing points are kept too: they are not needed to
// solve, but simplification (simplify.h) measures the error of merged Qefs
// with them.
struct Qef {
  double a00 = 0.0, a01 = 0.0, a02 = 0.0, a11 = 0.0, a12 = 0.0, a22 = 0.0;  // upper triangle
  double b0 = 0.0, b1 = 0.0, b2 = 0.0;
  double offsets = 0.0;                 // sum of d^2 over the planes
  double p0 = 0.0, p1 = 0.0, p2 = 0.0;  // sum of the crossing points
  std::uint32_t count = 0;              // crossings added
};

// The part of a Qef that solving reads: the normal equations and the count,
// without what only simplification measures (80 bytes a slot instead of 112,
// for runs that do not simplify). Added to and solved exactly as a Qef.
struct PlaneQef {
  double a00 = 0.0, a01 = 0.0, a02 = 0.0, a11 = 0.0, a12 = 0.0, a22 = 0.0;  // upper triangle
  double b0 = 0.0, b1 = 0.0, b2 = 0.0;
  std::uint32_t count = 0;  // crossings added
};
static_assert(sizeof(PlaneQef) == 80);

// Adds the tangent plane n . x = d of one crossing (point p, unit normal n,
// d = (px*nx + py*ny) + pz*nz) to the normal equations of a Qef or a
// PlaneQef, with weight 1 and a pull of weight 1e-4 towards p, and counts
// it. Returns d.
template <class Q>
double add_plane(Q& q, const Vec3& p, const Vec3& n) {
  const double d = (p.x * n.x + p.y * n.y) + p.z * n.z;
  q.a00 += n.x * n.x + 1e-4;
  q.a01 += n.x * n.y;
  q.a02 += n.x * n.z;
  q.a11 += n.y * n.y + 1e-4;
  q.a12 += n.y * n.z;
  q.a22 += n.z * n.z + 1e-4;
  q.b0 += d * n.x + 1e-4 * p.x;
  q.b1 += d * n.y + 1e-4 * p.y;
  q.b2 += d * n.z + 1e-4 * p.z;
  q.count += 1;
  return d;
}

// Adds one crossing (point p, unit normal n) to a Qef: its plane
// (add_plane), the squared offset d^2 and the point.
inline void add_crossing(Qef& q, const Vec3& p, const Vec3& n) {
  const double d = add_plane(q, p, n);
  q.offsets += d * d;
  q.p0 += p.x;
  q.p1 += p.y;
  q.p2 += p.z;
}

inline void add_crossing(PlaneQef& q, const Vec3& p, const Vec3& n) { add_plane(q, p, n); }

// Two normals of one slot further apart than the threshold angle: their dot
// product (nx*nx' + ny*ny') + nz*nz' is below cos_threshold (a NaN product is
// not).
inline bool normals_disagree(const Vec3& a, const Vec3& b, double cos_threshold) {
  return (a.x * b.x + a.y * b.y) + a.z * b.z < cos_threshold;
}

// Solves A x = b of a Qef with count >= 1 by elimination without pivoting,
// in a fixed order of operations; no truncation, no fallback.
Vec3 solve_qef(const Qef& q);
Vec3 solve_qef(const PlaneQef& q);

}  // namespace karvex
