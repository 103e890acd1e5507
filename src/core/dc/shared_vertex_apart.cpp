#include "dc/shared_vertex_apart.h"

#include <cmath>

#include "support/vec3_ops.h"

namespace karvex {

namespace {

using vec3_ops::cross;
using vec3_ops::dot;
using vec3_ops::sub;

double magnitude(const Vec3& a) { return std::fabs(a.x) + std::fabs(a.y) + std::fabs(a.z); }

}  // namespace

bool apart_but_at(const Vec3& v, const std::array<Vec3, 2>& p, const Vec3& p_normal,
                  const std::array<Vec3, 2>& q, const Vec3& q_normal) {
  // The corners from v, and what bounds the rounding of a height along a
  // direction m: |m| |w| for w = x - v rounded, and |m| |v| for that
  // rounding (the direction itself is taken as given, rounded or not: any
  // plane through v that parts the corners will do).
  const std::array<Vec3, 4> w{sub(p[0], v), sub(p[1], v), sub(q[0], v), sub(q[1], v)};
  const double at = magnitude(v);
  std::array<double, 4> reach;
  for (int k = 0; k < 4; ++k) reach[k] = magnitude(w[k]) + at;
  auto parts = [&](const Vec3& m) {
    const double scale = 1e-12 * magnitude(m);
    int sides[4];
    for (int k = 0; k < 4; ++k) {
      const double h = dot(m, w[k]);
      const double margin = scale * reach[k];
      // Far above the least normal number, where rounding is relative.
      sides[k] = !(margin > 1e-280) ? 0 : (h > margin ? 1 : (h < -margin ? -1 : 0));
    }
    return sides[0] != 0 && sides[0] == sides[1] && sides[2] == -sides[0] &&
           sides[3] == -sides[0];
  };
  // Across a direction between an edge of each from v (their sum), within
  // the plane of the two normals' sum, each scaled by the other's size so
  // that neither outweighs the other: side by side, one of the four pairs
  // of edges is the two facing each other, and a plane between them parts
  // the triangles.
  const double p_size = magnitude(p_normal);
  const double q_size = magnitude(q_normal);
  const Vec3 normal{p_normal.x * q_size + q_normal.x * p_size,
                    p_normal.y * q_size + q_normal.y * p_size,
                    p_normal.z * q_size + q_normal.z * p_size};
  for (int i = 0; i < 2; ++i) {
    for (int j = 2; j < 4; ++j) {
      const Vec3 between{w[i].x + w[j].x, w[i].y + w[j].y, w[i].z + w[j].z};
      if (parts(cross(normal, between))) return true;
    }
  }
  return false;
}

}  // namespace karvex
