#pragma once

// The benchmarks' C++ sphere: radius 0.8 about the origin, with analytic unit
// gradients (zero at the centre).

#include <cmath>
#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "field/field.h"

namespace karvex::bench {

inline EvalResult sphere_samples(std::span<const Vec3> points) {
  EvalResult r;
  r.values.resize(points.size());
  std::vector<Vec3> g(points.size());
  for (std::size_t i = 0; i < points.size(); ++i) {
    const Vec3& p = points[i];
    const double n = std::sqrt(p.x * p.x + p.y * p.y + p.z * p.z);
    r.values[i] = n - 0.8;
    g[i] = n > 0.0 ? Vec3{p.x / n, p.y / n, p.z / n} : Vec3{0, 0, 0};
  }
  r.gradients = std::move(g);
  return r;
}

}  // namespace karvex::bench
