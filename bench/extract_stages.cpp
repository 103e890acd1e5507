// The C++ stage driver: times outside the field for the benchmarks' sphere
// (radius 0.8 in [-1, 1]^3, analytic gradients, bench/sphere_samples.h),
// without Python, in one of two modes.
//
//   extract_stages [max_depth ...] [--repeat=N]      (default: 8 9, N = 3)
//
// Per-stage times of construction and Dual Contouring, and the speed-up of
// the parallel stages from 1 to 2 workers. Each octree is built once; the
// extraction runs N times per worker count and every stage reports its
// fastest run, which keeps the numbers steady on a shared machine. Prints
// one JSON object per (max_depth, adaptive, workers).
//
//   extract_stages --build [min_depth] [max_depth] [adaptive 0|1] [repeat]
//                                                    (default: 4 9 0 3)
//
// Octree construction alone, for profilers (perf, valgrind
// --tool=callgrind) and quick timings: per build, the time outside the field
// per evaluated point, and the fastest of the builds.

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "construction/build.h"
#include "dc/extract.h"
#include "dc/stage_timing.h"
#include "field/field.h"
#include "octree/octree.h"
#include "platform/platform.h"
#include "pool/worker_pool.h"
#include "sphere_samples.h"

namespace {

using namespace karvex;
using Clock = std::chrono::steady_clock;

double since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

using Sphere = bench::SphereField;

const BBox kBox{{-1, -1, -1}, {1, 1, 1}};

// Stage name and its member, in pipeline order.
struct StageName {
  const char* name;
  ExtractTimings::Stage ExtractTimings::* stage;
  bool parallel;
};

constexpr StageName kStages[] = {
    {"cells", &ExtractTimings::cells, false},   {"crossings", &ExtractTimings::crossings, true},
    {"locate", &ExtractTimings::locate, false}, {"normals", &ExtractTimings::normals, false},
    {"qefs", &ExtractTimings::qefs, false},     {"solve", &ExtractTimings::solve, true},
    {"emit", &ExtractTimings::emit, false},     {"projection", &ExtractTimings::projection, true},
    {"faces", &ExtractTimings::faces, true},    {"cleanup", &ExtractTimings::cleanup, false},
};

void run(unsigned max_depth, bool adaptive, int repeat) {
  Sphere field;
  MeshingOptions options;
  options.min_depth = 3;
  options.max_depth = max_depth;
  options.adaptive = adaptive;
  const Clock::time_point build_start = Clock::now();
  const double build_cpu_start = platform::thread_cpu_seconds();
  const BuildResult built = build_octree(field, kBox, options);
  const double build = since(build_start) - field.seconds;
  const double build_cpu = platform::thread_cpu_seconds() - build_cpu_start - field.cpu_seconds;
  const std::size_t build_points = field.points_evaluated;

  for (std::size_t workers : {1, 2}) {
    WorkerPool pool(workers);
    std::vector<double> best(std::size(kStages), INFINITY);
    std::vector<double> best_cpu(std::size(kStages), INFINITY);
    std::size_t triangles = 0;
    std::size_t extract_points = 0;
    for (int r = 0; r < repeat; ++r) {
      Sphere dc_field;
      ExtractTimings t;
      MeshingOptions contouring;
      contouring.run = {&pool, nullptr, &t};
      triangles = extract_surface(built.octree, dc_field, contouring).faces.size();
      extract_points = dc_field.points_evaluated;
      for (std::size_t s = 0; s < std::size(kStages); ++s) {
        const ExtractTimings::Stage& stage = t.*kStages[s].stage;
        best[s] = std::min(best[s], stage.seconds - stage.field_seconds);
        best_cpu[s] = std::min(best_cpu[s], stage.cpu_seconds - stage.field_cpu_seconds);
      }
    }
    double parallel = 0.0;
    double extract = 0.0;
    std::printf(
        "{\"max_depth\": %u, \"adaptive\": %s, \"workers\": %zu, \"triangles\": %zu, "
        "\"evaluations\": %zu, \"build\": %.6f",
        max_depth, adaptive ? "true" : "false", workers, triangles, build_points + extract_points,
        build);
    for (std::size_t s = 0; s < std::size(kStages); ++s) {
      std::printf(", \"%s\": %.6f", kStages[s].name, best[s]);
      extract += best[s];
      if (kStages[s].parallel) parallel += best[s];
    }
    // The calling thread's CPU time: all of the work when there is one worker.
    double extract_cpu = 0.0;
    std::printf(", \"build_cpu\": %.6f", build_cpu);
    for (std::size_t s = 0; s < std::size(kStages); ++s) {
      std::printf(", \"%s_cpu\": %.6f", kStages[s].name, best_cpu[s]);
      extract_cpu += best_cpu[s];
    }
    std::printf(", \"extract_cpu\": %.6f", extract_cpu);
    std::printf(", \"extract\": %.6f, \"parallel_stages\": %.6f}\n", extract, parallel);
    std::fflush(stdout);
  }
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

// Construction alone: argv holds [min_depth] [max_depth] [adaptive] [repeat].
int profile_build(int argc, char** argv) {
  MeshingOptions options;
  options.min_depth = argc > 0 ? std::atoi(argv[0]) : 4;
  options.max_depth = argc > 1 ? std::atoi(argv[1]) : 9;
  options.adaptive = argc > 2 && std::atoi(argv[2]) != 0;
  const int repeat = std::max(1, argc > 3 ? std::atoi(argv[3]) : 3);

  double best = INFINITY;
  double best_user = INFINITY;
  double best_system = INFINITY;
  for (int r = 0; r < repeat; ++r) {
    Sphere field;
    const CpuTime cpu_start = cpu_time();
    const Clock::time_point start = Clock::now();
    const BuildResult built = build_octree(field, kBox, options);
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

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--build") == 0) return profile_build(argc - 2, argv + 2);
  std::vector<unsigned> depths;
  int repeat = 3;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--repeat=", 9) == 0) {
      repeat = std::max(1, std::atoi(argv[i] + 9));
    } else {
      depths.push_back(static_cast<unsigned>(std::atoi(argv[i])));
    }
  }
  if (depths.empty()) depths = {8, 9};
  for (unsigned depth : depths) {
    for (bool adaptive : {false, true}) run(depth, adaptive, repeat);
  }
  return 0;
}
