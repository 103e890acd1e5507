#include "dc/qef.h"

#include "support/panic.h"

namespace karvex {

namespace {

template <class Q>
Vec3 solve_normal_equations(const Q& q) {
  const double r = 1.0 / q.a00;
  const double l10 = q.a01 * r;
  const double l20 = r * q.a02;
  const double e1 = 1.0 / (q.a11 - q.a01 * l10);
  const double u12 = q.a12 - q.a02 * l10;
  const double l21 = u12 * e1;
  const double e2 = (q.a22 - q.a02 * l20) - u12 * l21;
  const double y1 = q.b1 - q.b0 * l10;
  const double y2 = (q.b2 - q.b0 * l20) - y1 * l21;
  const double z = y2 / e2;
  const double y = y1 * e1 - l21 * z;
  const double x = (r * q.b0 - l10 * y) - l20 * z;
  return {x, y, z};
}

}  // namespace

Vec3 solve_qef(const Qef& q) { return solve_normal_equations(q); }

Vec3 solve_qef(const PlaneQef& q) { return solve_normal_equations(q); }

}  // namespace karvex
