#include "dc/fan_distance.h"

#include <algorithm>
#include <cmath>

#include "support/vec3_ops.h"

namespace karvex {

namespace {

using vec3_ops::cross;
using vec3_ops::dot;
using vec3_ops::sub;

double largest_magnitude(const Vec3& p) {
  return std::max({std::fabs(p.x), std::fabs(p.y), std::fabs(p.z)});
}

}  // namespace

void FanTriangles::clear() { count_ = 0; }

void FanTriangles::add(const std::array<Vec3, 3>& corners) {
  const Vec3 centre{(corners[0].x + corners[1].x + corners[2].x) / 3.0,
                    (corners[0].y + corners[1].y + corners[2].y) / 3.0,
                    (corners[0].z + corners[1].z + corners[2].z) / 3.0};
  // One root: it rounds monotonically, so the root of the largest square
  // is the largest root.
  double squared = 0.0;
  for (const Vec3& c : corners) {
    const Vec3 d = sub(c, centre);
    squared = std::max(squared, dot(d, d));
  }
  const double radius = std::sqrt(squared);
  const Sphere sphere{centre, radius, largest_magnitude(centre) + radius};
  if (count_ < triangles_.size()) {
    // The slabs are worked out again on first need.
    Entry& e = triangles_[count_];
    e.corners = corners;
    e.slabs = false;
    spheres_[count_] = sphere;
  } else {
    triangles_.push_back({corners, false, {}, {}, {}});
    spheres_.push_back(sphere);
  }
  ++count_;
}

void FanTriangles::slabs_of(const Entry& e) {
  const std::array<Vec3, 3>& c = e.corners;
  const Vec3 normal = cross(sub(c[1], c[0]), sub(c[2], c[0]));
  for (int k = 0; k < 3; ++k) {
    // A degenerate triangle's directions are NaN, and never reject.
    const Vec3 d = cross(sub(c[(k + 1) % 3], c[k]), normal);
    const double length = std::sqrt(dot(d, d));
    const Vec3 u{d.x / length, d.y / length, d.z / length};
    e.directions[k] = u;
    // The heights of all three corners, as rounded: the slab holds the
    // corners whatever the direction's rounding, so the whole triangle.
    const double h0 = dot(u, c[0]);
    const double h1 = dot(u, c[1]);
    const double h2 = dot(u, c[2]);
    e.low[k] = std::min({h0, h1, h2});
    e.high[k] = std::max({h0, h1, h2});
  }
  e.slabs = true;
}

FanTriangles::Nearest FanTriangles::nearest_within(const Vec3& p, double limit,
                                                   std::size_t hint) const {
  double best = INFINITY;
  std::size_t at = npos;
  const double p_magnitude = largest_magnitude(p);
  // How far beyond `bound` (the least of the best distance so far and the
  // limit) triangle i must lie to be skipped. Rounding in either distance,
  // in the squares below and in the slabs' heights is a few units in the
  // last place of the coordinates (|p - centre| is at most twice their
  // magnitude); the margin is a million times that. Skipped only when it
  // could neither be the best so far nor within the limit.
  auto reject_of = [&](std::size_t i, double bound) {
    return bound + 2e-9 * (p_magnitude + spheres_[i].magnitude);
  };
  // Every point of the triangle lies within `radius` of its centre, so its
  // distance is at least |p - centre| - radius. Compared squared: most
  // triangles are rejected here, without a root.
  // p's coordinates held apart from `p`, which the calls below take by
  // reference: the loop need not read them again after each.
  const double px = p.x;
  const double py = p.y;
  const double pz = p.z;
  auto sphere_beyond = [&](std::size_t i, double reject) {
    const Sphere& s = spheres_[i];
    const double reach = s.radius + reject;
    const Vec3 d{px - s.centre.x, py - s.centre.y, pz - s.centre.z};
    return dot(d, d) > reach * reach;
  };
  auto nearer = [&](std::size_t i) {
    const std::array<Vec3, 3>& c = triangles_[i].corners;
    const double distance = point_triangle_distance(p, c[0], c[1], c[2]);
    // The full scan keeps the first of equal distances.
    if (distance < best || (distance == best && i < at)) {
      best = distance;
      at = i;
    }
  };
  auto measure = [&](std::size_t i) {
    const Entry& e = triangles_[i];
    const double reject = reject_of(i, std::min(best, limit));
    if (sphere_beyond(i, reject)) return;
    // The slabs: a NaN height never rejects.
    if (!e.slabs) slabs_of(e);
    for (int k = 0; k < 3; ++k) {
      const Vec3& u = e.directions[k];
      const double h = (u.x * px + u.y * py) + u.z * pz;
      if (h - e.high[k] > reject || e.low[k] - h > reject) return;
    }
    nearer(i);
  };
  const std::size_t count = count_;
  // The hint is measured outright: it is most often the nearest, which its
  // bounds cannot reject. Should it lie beyond the limit, the bound it sets
  // for the rest is still the limit.
  if (hint < count) nearer(hint);
  const std::size_t skipped = std::min(hint, count);
  for (std::size_t i = 0; i < skipped; ++i) measure(i);
  for (std::size_t i = skipped + 1; i < count; ++i) measure(i);
  if (!(best <= limit)) return {npos, best};
  return {at, best};
}

void PlaneGap::add(const Vec3& corner) { add_ball(corner, 0.0); }

void PlaneGap::add_ball(const Vec3& centre, double reach) {
  const double height = dot(normal_, centre);
  if (std::isnan(height) || std::isnan(reach)) nan_ = true;
  lowest_ = std::min(lowest_, height - reach);
  highest_ = std::max(highest_, height + reach);
  magnitude_ = std::max(magnitude_, largest_magnitude(centre) + reach);
}

bool PlaneGap::beyond(const Vec3& p, double limit) const {
  const double height = dot(normal_, p);
  if (nan_ || std::isnan(height) || !(lowest_ <= highest_)) return false;
  // The heights round by a few units in the last place of the coordinates,
  // and a closest point of point_triangle_distance strays from its triangle
  // by about as much; the margin is a million times that, and a normal
  // off unit length by rounding is covered by the relative term.
  const double margin = 1e-9 * (magnitude_ + largest_magnitude(p)) + 1e-9 * limit;
  if (!std::isfinite(margin)) return false;
  return lowest_ - height > limit + margin || highest_ - height < -(limit + margin);
}

bool triangle_beyond(const Vec3& p, const std::array<Vec3, 3>& corners, std::size_t loose,
                     double reach, double limit) {
  double magnitude = largest_magnitude(p);
  for (const Vec3& c : corners) magnitude = std::max(magnitude, largest_magnitude(c));
  const double margin = 1e-9 * (2.0 * magnitude + reach) + 1e-9 * limit;
  if (!std::isfinite(margin)) return false;
  // Whether the triangles lie more than the limit beyond p along `d`: any
  // direction bounds the distance, and a NaN one never refuses. Heights
  // along `d` unscaled, so the limit, reach and margin are scaled by its
  // length instead.
  auto separated = [&](const Vec3& d) {
    const double length = std::sqrt(dot(d, d));
    if (!(length > 0.0)) return false;
    const double gap = (limit + margin) * length;
    const double spread = reach * length;
    double low = INFINITY;
    double high = -INFINITY;
    for (std::size_t k = 0; k < 3; ++k) {
      const double h = dot(d, corners[k]);
      if (std::isnan(h)) return false;
      low = std::min(low, k == loose ? h - spread : h);
      high = std::max(high, k == loose ? h + spread : h);
    }
    const double at = dot(d, p);
    return low - at > gap || at - high > gap;
  };
  const Vec3 normal = cross(sub(corners[1], corners[0]), sub(corners[2], corners[0]));
  if (separated(normal)) return true;
  for (std::size_t k = 0; k < 3; ++k) {
    if (separated(cross(sub(corners[(k + 1) % 3], corners[k]), normal))) return true;
  }
  return false;
}

double point_triangle_distance(const Vec3& p, const Vec3& a, const Vec3& b, const Vec3& c) {
  const Vec3 ab = sub(b, a);
  const Vec3 ac = sub(c, a);
  const Vec3 ap = sub(p, a);
  auto length = [&](const Vec3& q) {
    const Vec3 d = sub(p, q);
    return std::sqrt(dot(d, d));
  };
  auto along = [](const Vec3& o, const Vec3& d, double s) {
    return Vec3{o.x + s * d.x, o.y + s * d.y, o.z + s * d.z};
  };
  const double d1 = dot(ab, ap);
  const double d2 = dot(ac, ap);
  if (d1 <= 0.0 && d2 <= 0.0) return length(a);
  const Vec3 bp = sub(p, b);
  const double d3 = dot(ab, bp);
  const double d4 = dot(ac, bp);
  if (d3 >= 0.0 && d4 <= d3) return length(b);
  const double vc = d1 * d4 - d3 * d2;
  if (vc <= 0.0 && d1 >= 0.0 && d3 <= 0.0) return length(along(a, ab, d1 / (d1 - d3)));
  const Vec3 cp = sub(p, c);
  const double d5 = dot(ab, cp);
  const double d6 = dot(ac, cp);
  if (d6 >= 0.0 && d5 <= d6) return length(c);
  const double vb = d5 * d2 - d1 * d6;
  if (vb <= 0.0 && d2 >= 0.0 && d6 <= 0.0) return length(along(a, ac, d2 / (d2 - d6)));
  const double va = d3 * d6 - d5 * d4;
  if (va <= 0.0 && (d4 - d3) >= 0.0 && (d5 - d6) >= 0.0) {
    return length(along(b, sub(c, b), (d4 - d3) / ((d4 - d3) + (d5 - d6))));
  }
  const double sum = va + vb + vc;
  if (!(sum > 0.0)) {  // degenerate: the nearest of its edges
    return std::min({point_triangle_distance(p, a, a, b), point_triangle_distance(p, b, b, c),
                     point_triangle_distance(p, c, c, a)});
  }
  const double v = vb / sum;
  const double w = vc / sum;
  return length({a.x + ab.x * v + ac.x * w, a.y + ab.y * v + ac.y * w,
                 a.z + ab.z * v + ac.z * w});
}

}  // namespace karvex
