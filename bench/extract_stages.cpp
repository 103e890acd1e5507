// Per-stage times of construction and Dual Contouring outside the field, for
// a sphere of radius 0.8 in [-1, 1]^3 with analytic gradients, and the
// speed-up of the parallel stages from 1 to 2 workers.
//
//   extract_stages [max_depth ...] [--repeat=N]      (default: 8 9, N = 3)
//
// Each octree is built once; the extraction runs N times per worker count
// and every stage reports its fastest run, which keeps the numbers steady on
// a shared machine. Prints one JSON object per (max_depth, adaptive, workers).

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "construction/build.h"
#include "dc/extract.h"
#include "dc/stage_timing.h"
#include "field/field.h"
#include "pool/worker_pool.h"
#include "sphere_samples.h"

namespace {

using namespace karvex;
using Clock = std::chrono::steady_clock;

double since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// CPU seconds of the calling thread: steadier than wall time on a machine
// shared with other work.
double thread_cpu() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// The sphere field, counting points and the time spent inside it.
class Sphere : public Field {
 public:
  EvalResult evaluate(std::span<const Vec3> points) override {
    const Clock::time_point start = Clock::now();
    const double cpu_start = thread_cpu();
    EvalResult r = bench::sphere_samples(points);
    seconds += since(start);
    cpu_seconds += thread_cpu() - cpu_start;
    points_evaluated += points.size();
    return r;
  }
  double seconds = 0.0;
  double cpu_seconds = 0.0;
  std::size_t points_evaluated = 0;
};

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
  const double build_cpu_start = thread_cpu();
  const BuildResult built = build_octree(field, BBox{{-1, -1, -1}, {1, 1, 1}}, options);
  const double build = since(build_start) - field.seconds;
  const double build_cpu = thread_cpu() - build_cpu_start - field.cpu_seconds;
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

}  // namespace

int main(int argc, char** argv) {
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
