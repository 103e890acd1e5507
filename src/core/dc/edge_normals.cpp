#include "dc/edge_normals.h"

#include <cmath>
#include <cstdlib>

#include "support/panic.h"

namespace karvex {

namespace {

constexpr double kTetrahedron[4][3] = {{1, -1, -1}, {-1, -1, 1}, {-1, 1, -1}, {1, 1, 1}};

double& component(Vec3& v, unsigned axis) { return axis == 0 ? v.x : (axis == 1 ? v.y : v.z); }

double component(const Vec3& v, unsigned axis) {
  return axis == 0 ? v.x : (axis == 1 ? v.y : v.z);
}

// The axis an edge runs along: its largest component.
unsigned edge_axis(const Vec3& edge) {
  const double x = std::abs(edge.x), y = std::abs(edge.y), z = std::abs(edge.z);
  if (x >= y && x >= z) return 0;
  return y >= z ? 1 : 2;
}

Vec3 offset(const Vec3& p, unsigned axis, double h) {
  Vec3 q = p;
  component(q, axis) += h;
  return q;
}

bool paired(const EdgeNormalQuery& q) {
  return std::isfinite(q.slope) && std::isfinite(q.value) && component(q.edge, edge_axis(q.edge)) != 0.0;
}

}  // namespace

std::vector<Vec3> estimate_edge_normals(Field& field, std::span<const EdgeNormalQuery> queries,
                                        double h, double iso_value, std::uint64_t& samples) {
  std::vector<Vec3> gradients;
  if (queries.empty()) return gradients;
  std::vector<Vec3> stencil;
  stencil.reserve(2 * queries.size());
  for (const EdgeNormalQuery& q : queries) {
    const Vec3& p = q.point;
    if (paired(q)) {
      const unsigned axis = edge_axis(q.edge);
      stencil.push_back(offset(p, (axis + 1) % 3, h));
      stencil.push_back(offset(p, (axis + 2) % 3, h));
    } else {
      for (const auto& e : kTetrahedron) {
        stencil.push_back({p.x + h * e[0], p.y + h * e[1], p.z + h * e[2]});
      }
    }
  }
  const EvalResult result = evaluate_batch(field, stencil);
  samples += stencil.size();
  const std::vector<double>& v = result.values;
  const double k = 0.25 / h;
  gradients.reserve(queries.size());
  std::size_t at = 0;
  for (const EdgeNormalQuery& q : queries) {
    Vec3 g{0.0, 0.0, 0.0};
    if (paired(q)) {
      const unsigned axis = edge_axis(q.edge);
      const double s1 = checked_at(v, at) - iso_value, s2 = checked_at(v, at + 1) - iso_value;
      at += 2;
      component(g, axis) = q.slope / component(q.edge, axis);
      component(g, (axis + 1) % 3) = (s1 - q.value) / h;
      component(g, (axis + 2) % 3) = (s2 - q.value) / h;
    } else {
      double s[4];
      for (std::size_t j = 0; j < 4; ++j) s[j] = checked_at(v, at + j);
      at += 4;
      g = {((s[0] - s[1]) + (s[3] - s[2])) * k, ((s[2] - s[0]) + (s[3] - s[1])) * k,
           ((s[1] - s[0]) + (s[3] - s[2])) * k};
    }
    gradients.push_back(g);
  }
  return gradients;
}

}  // namespace karvex
