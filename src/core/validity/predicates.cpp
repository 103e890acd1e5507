// Orientation predicates: a floating-point filter, then exact expansions.
// The building blocks (two_sum, two_diff, two_product by Dekker's split,
// scaling and summing expansions with zero elimination) follow Shewchuk's
// paper; they need round-to-nearest without contraction into fused
// multiply-adds, which the build's -ffp-contract=off guarantees.
#include "validity/predicates.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>

namespace karvex::validity {

namespace {

constexpr double kEps = kPredicateEps;
constexpr double kO3Bound = kOrient3dBound;
constexpr double kO2Bound = kOrient2dBound;
constexpr double kTiny = kPredicateTiny;
constexpr double kSplitter = 134217729.0;  // 2^27 + 1

// A value as an increasing-magnitude list of non-overlapping doubles, in a
// buffer of fixed size: the longest expansion of orient3d's determinant has
// 192 components (3 terms of 2 x (2 x 2 + 2 x 2) x 2 x ... below), so the
// exact path never allocates. `size` components are in use.
constexpr int kCapacity = 192;
struct Expansion {
  double part[kCapacity];
  int size = 0;
};

// The used components only: a whole buffer is far longer than most values.
void copy(const Expansion& from, Expansion& to) {
  std::copy(from.part, from.part + from.size, to.part);
  to.size = from.size;
}

void two_sum(double a, double b, double& x, double& y) {
  x = a + b;
  const double bv = x - a;
  const double av = x - bv;
  y = (a - av) + (b - bv);
}

void two_diff(double a, double b, double& x, double& y) {
  x = a - b;
  const double bv = a - x;
  const double av = x + bv;
  y = (a - av) + (bv - b);
}

void split(double a, double& hi, double& lo) {
  const double c = kSplitter * a;
  const double big = c - a;
  hi = c - big;
  lo = a - hi;
}

void two_product(double a, double b, double& x, double& y) {
  x = a * b;
  double ahi, alo, bhi, blo;
  split(a, ahi, alo);
  split(b, bhi, blo);
  const double err1 = x - ahi * bhi;
  const double err2 = err1 - alo * bhi;
  const double err3 = err2 - ahi * blo;
  y = alo * blo - err3;
}

// h = e + f, zeros removed (Shewchuk's expansion sum: e grown by each
// component of f; quadratic, but the expansions here are short). At most
// e.size + f.size components; h must not be e or f.
void sum(const Expansion& e, const Expansion& f, Expansion& h) {
  Expansion grown;
  const Expansion* from = &e;
  Expansion* to = &h;
  if (f.size == 0) {
    copy(e, h);
    return;
  }
  // Alternate between h and a scratch buffer so that the last grow lands in h.
  if (f.size % 2 == 0) to = &grown;
  for (int k = 0; k < f.size; ++k) {
    double q = f.part[k];
    int n = 0;
    for (int i = 0; i < from->size; ++i) {
      double x, y;
      two_sum(q, from->part[i], x, y);
      q = x;
      if (y != 0.0) to->part[n++] = y;
    }
    if (q != 0.0) to->part[n++] = q;
    to->size = n;
    from = to;
    to = to == &h ? &grown : &h;
  }
}

// h = e * b, zeros removed; at most 2 e.size components.
void scale(const Expansion& e, double b, Expansion& h) {
  h.size = 0;
  if (e.size == 0 || b == 0.0) return;
  double q, lo;
  two_product(e.part[0], b, q, lo);
  if (lo != 0.0) h.part[h.size++] = lo;
  for (int i = 1; i < e.size; ++i) {
    double p1, p0;
    two_product(e.part[i], b, p1, p0);
    double s, t;
    two_sum(q, p0, s, t);
    if (t != 0.0) h.part[h.size++] = t;
    two_sum(p1, s, q, t);
    if (t != 0.0) h.part[h.size++] = t;
  }
  if (q != 0.0) h.part[h.size++] = q;
}

// h = e * f; at most 2 e.size f.size components.
void product(const Expansion& e, const Expansion& f, Expansion& h) {
  if (f.size == 1) {
    scale(e, f.part[0], h);
    return;
  }
  Expansion term, spare;
  Expansion* total = &h;
  Expansion* next = &spare;
  total->size = 0;
  for (int k = 0; k < f.size; ++k) {
    scale(e, f.part[k], term);
    sum(*total, term, *next);
    std::swap(total, next);
  }
  if (total != &h) copy(*total, h);
}

void negate(Expansion& e) {
  for (int i = 0; i < e.size; ++i) e.part[i] = -e.part[i];
}

// e = a - b exactly.
void difference(double a, double b, Expansion& e) {
  double x, y;
  two_diff(a, b, x, y);
  e.size = 0;
  if (y != 0.0) e.part[e.size++] = y;
  if (x != 0.0) e.part[e.size++] = x;
}

int sign_of(const Expansion& e) {
  // The largest component is the last and decides the sign.
  if (e.size == 0) return 0;
  return e.part[e.size - 1] > 0.0 ? 1 : -1;
}

int sign_of(double x) { return (x > 0.0) - (x < 0.0); }

// The power of two that brings the largest magnitude among `values` near 1
// (0 for all zeros).
template <std::size_t N>
int scale_exponent(const std::array<double, N>& values) {
  double largest = 0.0;
  for (double v : values) largest = std::max(largest, std::fabs(v));
  if (largest == 0.0) return 0;
  int exponent = 0;
  std::frexp(largest, &exponent);
  return -exponent;
}

// h = 2x2 minor p.x * q.y - q.x * p.y of two-component differences (at most
// 16 components).
void minor(const Expansion& px, const Expansion& py, const Expansion& qx, const Expansion& qy, Expansion& h) {
  Expansion left, right;
  product(px, qy, left);
  product(qx, py, right);
  negate(right);
  sum(left, right, h);
}

int exact_orient3d(const Point3& a, const Point3& b, const Point3& c, const Point3& d) {
  std::array<double, 12> all{a[0], a[1], a[2], b[0], b[1], b[2], c[0], c[1], c[2], d[0], d[1], d[2]};
  const int shift = scale_exponent(all);
  for (double& v : all) v = std::ldexp(v, shift);
  Expansion diff[9];  // ad, bd, cd by coordinate
  for (int p = 0; p < 3; ++p) {
    for (int k = 0; k < 3; ++k) difference(all[3 * p + k], all[9 + k], diff[3 * p + k]);
  }
  const Expansion* ad = &diff[0];
  const Expansion* bd = &diff[3];
  const Expansion* cd = &diff[6];
  Expansion m, t1, t2, t3, partial, det;
  minor(bd[0], bd[1], cd[0], cd[1], m);
  product(ad[2], m, t1);
  minor(cd[0], cd[1], ad[0], ad[1], m);
  product(bd[2], m, t2);
  minor(ad[0], ad[1], bd[0], bd[1], m);
  product(cd[2], m, t3);
  sum(t1, t2, partial);
  sum(partial, t3, det);
  return sign_of(det);
}

int exact_orient2d(const Point2& a, const Point2& b, const Point2& c) {
  std::array<double, 6> all{a[0], a[1], b[0], b[1], c[0], c[1]};
  const int shift = scale_exponent(all);
  for (double& v : all) v = std::ldexp(v, shift);
  Expansion acx, acy, bcx, bcy, det;
  difference(all[0], all[4], acx);
  difference(all[1], all[5], acy);
  difference(all[2], all[4], bcx);
  difference(all[3], all[5], bcy);
  minor(acx, acy, bcx, bcy, det);
  return sign_of(det);
}

}  // namespace

int orient3d(const Point3& a, const Point3& b, const Point3& c, const Point3& d) {
  int sign = 0;
  if (orient3d_filtered(a, b, c, d, sign)) return sign;
  return exact_orient3d(a, b, c, d);
}

int orient2d(const Point2& a, const Point2& b, const Point2& c) {
  const double acx = a[0] - c[0], acy = a[1] - c[1];
  const double bcx = b[0] - c[0], bcy = b[1] - c[1];
  // A column of exact zero differences, or two equal points: collinear.
  if ((acx == 0.0 && bcx == 0.0) || (acy == 0.0 && bcy == 0.0) || (acx == 0.0 && acy == 0.0) ||
      (bcx == 0.0 && bcy == 0.0) || (a[0] == b[0] && a[1] == b[1])) {
    return 0;
  }
  const double left = acx * bcy;
  const double right = acy * bcx;
  const double det = left - right;
  const double permanent = std::fabs(left) + std::fabs(right);
  if (std::fabs(det) > kO2Bound * permanent && permanent >= kTiny) return sign_of(det);
  return exact_orient2d(a, b, c);
}

}  // namespace karvex::validity
