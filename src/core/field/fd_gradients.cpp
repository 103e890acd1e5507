#include "field/fd_gradients.h"

#include "support/panic.h"

namespace karvex {

std::vector<Vec3> estimate_gradients(Field& field, std::span<const Vec3> points, double h) {
  std::vector<Vec3> gradients;
  if (points.empty()) return gradients;

  std::vector<Vec3> stencil;
  stencil.reserve(6 * points.size());
  for (const Vec3& p : points) {
    stencil.push_back({p.x + h, p.y, p.z});
    stencil.push_back({p.x - h, p.y, p.z});
    stencil.push_back({p.x, p.y + h, p.z});
    stencil.push_back({p.x, p.y - h, p.z});
    stencil.push_back({p.x, p.y, p.z + h});
    stencil.push_back({p.x, p.y, p.z - h});
  }
  const EvalResult result = evaluate_batch(field, stencil);
  const std::vector<double>& v = result.values;

  // One division, then a product per component: dividing each difference by
  // 2h would round differently.
  const double k = 0.5 / h;
  gradients.reserve(points.size());
  for (std::size_t i = 0; i < points.size(); ++i) {
    const std::size_t base = 6 * i;
    // Read in stencil order so that the first missing index is the one reported.
    double s[6];
    for (std::size_t j = 0; j < 6; ++j) s[j] = checked_at(v, base + j);
    gradients.push_back({(s[0] - s[1]) * k, (s[2] - s[3]) * k, (s[4] - s[5]) * k});
  }
  return gradients;
}

std::vector<Vec3> estimate_gradients_tetrahedral(Field& field, std::span<const Vec3> points,
                                                 double h) {
  static constexpr double kVertex[4][3] = {{1, -1, -1}, {-1, -1, 1}, {-1, 1, -1}, {1, 1, 1}};
  std::vector<Vec3> gradients;
  if (points.empty()) return gradients;
  std::vector<Vec3> stencil;
  stencil.reserve(4 * points.size());
  for (const Vec3& p : points) {
    for (const auto& e : kVertex) stencil.push_back({p.x + h * e[0], p.y + h * e[1], p.z + h * e[2]});
  }
  const EvalResult result = evaluate_batch(field, stencil);
  const std::vector<double>& v = result.values;
  const double k = 0.25 / h;
  gradients.reserve(points.size());
  for (std::size_t i = 0; i < points.size(); ++i) {
    double s[4];
    for (std::size_t j = 0; j < 4; ++j) s[j] = checked_at(v, 4 * i + j);
    gradients.push_back({((s[0] - s[1]) + (s[3] - s[2])) * k, ((s[2] - s[0]) + (s[3] - s[1])) * k,
                         ((s[1] - s[0]) + (s[3] - s[2])) * k});
  }
  return gradients;
}

}  // namespace karvex
