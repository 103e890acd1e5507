#pragma once

// The benchmarks' C++ sphere: radius 0.8 about the origin, with analytic unit
// gradients (zero at the centre), as a Field that counts its calls and points
// and the time spent inside it, so that drivers can report the time outside.

#include <chrono>
#include <cmath>
#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "field/field.h"
#include "platform/platform.h"

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

class SphereField : public Field {
 public:
  EvalResult evaluate(std::span<const Vec3> points) override {
    const auto start = std::chrono::steady_clock::now();
    const double cpu_start = platform::thread_cpu_seconds();
    EvalResult r = sphere_samples(points);
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    cpu_seconds += platform::thread_cpu_seconds() - cpu_start;
    points_evaluated += points.size();
    ++calls;
    return r;
  }

  double seconds = 0.0;      // wall time inside the field
  double cpu_seconds = 0.0;  // CPU time of the calling thread inside the field
  std::size_t points_evaluated = 0;
  std::size_t calls = 0;
};

}  // namespace karvex::bench
