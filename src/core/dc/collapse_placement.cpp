#include "dc/collapse_placement.h"

#include <algorithm>
#include <cmath>

namespace karvex {

namespace {

// Below this cosine between the centre's normal and one of its fan's, the
// vertex is taken to be on a sharp feature (about 37 degrees).
constexpr double kFeatureCosine = 0.8;

double dot(const Vec3& a, const Vec3& b) { return (a.x * b.x + a.y * b.y) + a.z * b.z; }
Vec3 sub(const Vec3& a, const Vec3& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }

bool known(const Vec3& n) { return std::isfinite(n.x) && std::isfinite(n.y) && std::isfinite(n.z); }

// How far the chord (p, q) lies against the normal at its midpoint, both
// ends on the surface: (n_q - n_p).(q - p) / 8, l^2 / 8R on a sphere of
// radius R with outward normals.
double sag(const SurfaceVertex& p, const SurfaceVertex& q) {
  return dot(sub(q.normal, p.normal), sub(q.at, p.at)) / 8.0;
}

// A signed distance predicted as value + slope * offset (slope > 0).
struct Line {
  double value;
  double slope;
};

}  // namespace

double straddling_offset(const SurfaceVertex& centre,
                         const std::vector<std::pair<SurfaceVertex, SurfaceVertex>>& fan,
                         double limit) {
  if (fan.empty() || !(limit > 0.0) || !known(centre.normal)) return 0.0;
  std::vector<Line> lines{{0.0, 1.0}};  // the centre itself
  lines.reserve(1 + 3 * fan.size());
  for (const auto& [p, q] : fan) {
    if (!known(p.normal) || !known(q.normal)) return 0.0;
    if (dot(p.normal, centre.normal) < kFeatureCosine ||
        dot(q.normal, centre.normal) < kFeatureCosine) {
      return 0.0;
    }
    const double sag_p = sag(centre, p);
    const double sag_q = sag(centre, q);
    // Each edge from the centre is in two triangles; the second copy of a
    // line changes nothing.
    lines.push_back({0.5 * p.offset - sag_p, 0.5});
    lines.push_back({0.5 * q.offset - sag_q, 0.5});
    lines.push_back({(p.offset + q.offset) / 3.0 - (4.0 / 9.0) * ((sag_p + sag_q) + sag(p, q)),
                     1.0 / 3.0});
  }
  // min over t of max_i |v_i + s_i t|: the largest of the lines rises with
  // t and the largest of their negatives falls, so the minimum is where
  // some line i meets the negative of some line j, at the highest such
  // meeting point: t = -(v_i + v_j) / (s_i + s_j), height
  // (v_i s_j - v_j s_i) / (s_i + s_j).
  double best_height = -INFINITY;
  double best = 0.0;
  for (const Line& i : lines) {
    for (const Line& j : lines) {
      const double height = (i.value * j.slope - j.value * i.slope) / (i.slope + j.slope);
      if (height > best_height) {
        best_height = height;
        best = -(i.value + j.value) / (i.slope + j.slope);
      }
    }
  }
  if (!std::isfinite(best)) return 0.0;
  return std::clamp(best, -limit, limit);
}

}  // namespace karvex
