// Octree construction alone, with a C++ sphere field, for profilers
// (perf, valgrind --tool=callgrind) and quick timings without Python:
//
//   octree_profile [min_depth] [max_depth] [balance 0|1] [repeat]
//                                                   (default: 4 9 0 3)
//
// The sphere has radius 0.8 in [-1, 1]^3 and analytic gradients, as in
// bench/octree_build.py. Prints, per build, the time outside the field per
// evaluated point, and the fastest of the builds.

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

#include "construction/build.h"
#include "field/field.h"
#include "sphere_samples.h"

namespace {

using namespace karvex;
using Clock = std::chrono::steady_clock;

double since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// CPU seconds of this process so far, user and system: steadier than wall
// time on a machine shared with other work.
struct CpuTime {
  double user = 0.0;
  double system = 0.0;
};
CpuTime cpu_time() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return {static_cast<double>(usage.ru_utime.tv_sec) +
              1e-6 * static_cast<double>(usage.ru_utime.tv_usec),
          static_cast<double>(usage.ru_stime.tv_sec) +
              1e-6 * static_cast<double>(usage.ru_stime.tv_usec)};
}

class Sphere : public Field {
 public:
  EvalResult evaluate(std::span<const Vec3> points) override {
    const Clock::time_point start = Clock::now();
    EvalResult r = bench::sphere_samples(points);
    seconds += since(start);
    ++calls;
    return r;
  }
  double seconds = 0.0;
  std::size_t calls = 0;
};

}  // namespace

int main(int argc, char** argv) {
  MeshingOptions options;
  options.min_depth = static_cast<std::uint8_t>(argc > 1 ? std::atoi(argv[1]) : 4);
  options.max_depth = static_cast<std::uint8_t>(argc > 2 ? std::atoi(argv[2]) : 9);
  options.adaptive = argc > 3 && std::atoi(argv[3]) != 0;
  const int repeat = std::max(1, argc > 4 ? std::atoi(argv[4]) : 3);

  double best = INFINITY;
  double best_user = INFINITY;
  double best_system = INFINITY;
  for (int r = 0; r < repeat; ++r) {
    Sphere field;
    const CpuTime cpu_start = cpu_time();
    const Clock::time_point start = Clock::now();
    const BuildResult built = build_octree(field, BBox{{-1, -1, -1}, {1, 1, 1}}, options);
    const double outside = since(start) - field.seconds;
    const CpuTime cpu_end = cpu_time();
    const OctreeStats stats = count_nodes(built.octree);
    std::printf(
        "build %d: %.3f s outside the field (%.1f ns/point; cpu user %.3f s, system %.3f s), "
        "field %.3f s in %zu calls, %llu evaluations, %llu leaves, %llu internal\n",
        r + 1, outside, outside / static_cast<double>(built.evaluation_count) * 1e9,
        cpu_end.user - cpu_start.user, cpu_end.system - cpu_start.system, field.seconds,
        field.calls, static_cast<unsigned long long>(built.evaluation_count),
        static_cast<unsigned long long>(stats.leaf_count),
        static_cast<unsigned long long>(stats.internal_count));
    best = std::min(best, outside / static_cast<double>(built.evaluation_count) * 1e9);
    best_user = std::min(best_user, cpu_end.user - cpu_start.user);
    best_system = std::min(best_system, cpu_end.system - cpu_start.system);
  }
  std::printf("best: %.1f ns/point outside the field; least cpu: user %.3f s, system %.3f s\n",
              best, best_user, best_system);
  return 0;
}
