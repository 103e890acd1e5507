#include "dc/triangle_level_bound.h"

#include <algorithm>
#include <cmath>

namespace karvex {

namespace {

// The quadratic with values v at the corners and m at the midpoints of the
// edges (k, k + 1), at barycentric coordinates (l0, l1, l2).
struct Quadratic {
  std::array<double, 3> v;
  std::array<double, 3> m;

  double at(double l0, double l1, double l2) const {
    const std::array<double, 3> l{l0, l1, l2};
    double sum = 0.0;
    for (int k = 0; k < 3; ++k) sum += v[k] * l[k] * (2.0 * l[k] - 1.0);
    for (int k = 0; k < 3; ++k) sum += 4.0 * m[k] * l[k] * l[(k + 1) % 3];
    return sum;
  }
};

}  // namespace

double triangle_level_bound(const TriangleLevels& levels) {
  const Quadratic q{levels.corner, {levels.edge[0][0], levels.edge[1][0], levels.edge[2][0]}};
  double largest = 0.0;
  bool nan = false;
  auto consider = [&](double value) {
    if (std::isnan(value)) nan = true;
    largest = std::max(largest, std::fabs(value));
  };
  for (const double v : levels.corner) consider(v);
  for (const auto& e : levels.edge) {
    for (const double v : e) consider(v);
  }
  consider(levels.centre);
  // Along edge (k, k + 1) from corner k the quadratic is
  // a (1 - s)(1 - 2s) + 4 m s (1 - s) + b s (2s - 1).
  for (int k = 0; k < 3; ++k) {
    const double a = levels.corner[k];
    const double b = levels.corner[(k + 1) % 3];
    const double m = levels.edge[k][0];
    const double curvature = 4.0 * (a + b - 2.0 * m);  // twice the s^2 coefficient
    const double slope = 4.0 * m - 3.0 * a - b;          // the derivative at s = 0
    if (curvature != 0.0) {
      const double s = -slope / curvature;
      if (s > 0.0 && s < 1.0) {
        std::array<double, 3> l{0.0, 0.0, 0.0};
        l[k] = 1.0 - s;
        l[(k + 1) % 3] = s;
        consider(q.at(l[0], l[1], l[2]));
      }
    }
  }
  // Inside: in coordinates (x, y) = (l1, l2), l0 = 1 - x - y, the quadratic
  // is v0 + dx x + dy y + (A x^2 + 2 B x y + C y^2) / 2, its coefficients
  // read off its values at corner 0, the corners and the midpoints.
  {
    const double v0 = q.at(1.0, 0.0, 0.0);
    const double vx = q.at(0.0, 1.0, 0.0);
    const double vy = q.at(0.0, 0.0, 1.0);
    const double mx = q.at(0.5, 0.5, 0.0);
    const double my = q.at(0.5, 0.0, 0.5);
    const double mxy = q.at(0.0, 0.5, 0.5);
    const double A = 4.0 * (vx + v0 - 2.0 * mx);
    const double C = 4.0 * (vy + v0 - 2.0 * my);
    const double B = 4.0 * (mxy - mx - my + v0);
    const double dx = 4.0 * mx - 3.0 * v0 - vx;
    const double dy = 4.0 * my - 3.0 * v0 - vy;
    const double det = A * C - B * B;
    if (det != 0.0 && std::isfinite(det)) {
      const double x = (-C * dx + B * dy) / det;
      const double y = (B * dx - A * dy) / det;
      if (x > 0.0 && y > 0.0 && x + y < 1.0) consider(q.at(1.0 - x - y, x, y));
    }
  }
  // What the quadratic misses, measured at the samples it was not made from.
  double missed = 0.0;
  auto departs = [&](double sampled, double l0, double l1, double l2) {
    missed = std::max(missed, std::fabs(sampled - q.at(l0, l1, l2)));
  };
  for (int k = 0; k < 3; ++k) {
    std::array<double, 3> l{0.0, 0.0, 0.0};
    l[k] = 0.75;
    l[(k + 1) % 3] = 0.25;
    departs(levels.edge[k][1], l[0], l[1], l[2]);
    l[k] = 0.25;
    l[(k + 1) % 3] = 0.75;
    departs(levels.edge[k][2], l[0], l[1], l[2]);
  }
  departs(levels.centre, 1.0 / 3.0, 1.0 / 3.0, 1.0 / 3.0);
  if (nan || std::isnan(missed)) return NAN;
  return largest + missed;
}

}  // namespace karvex
