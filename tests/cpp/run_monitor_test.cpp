// Runs watched through RunHooks: progress per stage, cancellation of parallel
// loops from poll(), and the options that come with them (every piece, a
// pool per call).
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "construction/build.h"
#include "dc/cleanup.h"
#include "dc/extract.h"
#include "fields.h"
#include "mesh_check.h"
#include "pool/run_monitor.h"
#include "pool/worker_pool.h"
#include "support/panic.h"

namespace karvex {
namespace {

using testing::FunctionField;

struct Stop : std::runtime_error {
  Stop() : std::runtime_error("stop") {}
};

// Records every report; poll() throws Stop from its `stop_at`-th call on.
class RecordingHooks final : public RunHooks {
 public:
  explicit RecordingHooks(std::uint64_t stop_at = 0) : stop_at_(stop_at) {}

  void progress(std::string_view stage, std::uint64_t done, std::uint64_t total) override {
    reports.emplace_back(std::string(stage), done, total);
  }
  void poll() override {
    ++polls;
    if (stop_at_ != 0 && polls >= stop_at_) throw Stop();
  }

  std::vector<std::tuple<std::string, std::uint64_t, std::uint64_t>> reports;
  std::atomic<std::uint64_t> polls{0};  // read by worker threads in one test

 private:
  std::uint64_t stop_at_;
};

const BBox kBox{{-1, -1, -1}, {1, 1, 1}};

FunctionField two_spheres() { return testing::two_spheres({-0.45, 0, 0}, 0.35, {0.5, 0, 0}, 0.25); }

// Builds and contours under one monitor, as the binding does.
// The contouring options of a run on `pool`.
MeshingOptions on(WorkerPool* pool, bool keep_all) {
  MeshingOptions options;
  options.run.pool = pool;
  options.keep_all = keep_all;
  return options;
}

Mesh mesh_with(Field& field, std::uint8_t max_depth, bool adaptive, MeshingOptions controls,
               RunHooks* hooks) {
  const RunMonitor monitor(hooks);
  MeshingOptions options;
  options.max_depth = max_depth;
  options.adaptive = adaptive;
  const Octree tree = build_octree(field, kBox, options).octree;
  return extract_surface(tree, field, controls);
}

TEST(RunMonitor, EveryStageStartsAtZeroRisesAndEndsAtItsTotal) {
  for (const bool adaptive : {false, true}) {
    FunctionField field = two_spheres();
    RecordingHooks hooks;
    WorkerPool pool(3);
    mesh_with(field, 6, adaptive, on(&pool, true), &hooks);
    std::vector<std::string> order;
    std::map<std::string, std::vector<std::pair<std::uint64_t, std::uint64_t>>> stages;
    for (const auto& [stage, done, total] : hooks.reports) {
      if (stages.find(stage) == stages.end()) order.push_back(stage);
      stages[stage].emplace_back(done, total);
    }
    ASSERT_GE(order.size(), 10u);
    EXPECT_EQ(order.front(), "initial grid");
    EXPECT_EQ(order.back(), "pieces");
    // Reports of one stage are contiguous: a stage is closed before the next.
    std::string previous;
    std::size_t switches = 0;
    for (const auto& report : hooks.reports) {
      if (std::get<0>(report) != previous) ++switches;
      previous = std::get<0>(report);
    }
    EXPECT_EQ(switches, order.size());
    for (const auto& [stage, counts] : stages) {
      EXPECT_EQ(counts.front().first, 0u) << stage;
      EXPECT_EQ(counts.back().first, counts.back().second) << stage;
      for (std::size_t i = 1; i < counts.size(); ++i) {
        EXPECT_EQ(counts[i].second, counts[0].second) << stage << ": the total changed";
        EXPECT_GE(counts[i].first, counts[i - 1].first) << stage;
      }
    }
    for (const char* stage : {"surface cells", "crossings", "vertices", "faces", "octree level 5"}) {
      EXPECT_EQ(stages.count(stage), 1u) << stage;
    }
    EXPECT_GT(hooks.polls.load(), hooks.reports.size() / 2);
  }
}

TEST(RunMonitor, KeepAllKeepsBothSpheresAndDropsNothingElse) {
  FunctionField field = two_spheres();
  const Mesh largest = mesh_with(field, 6, true, {}, nullptr);
  MeshingOptions controls;
  controls.keep_all = true;
  const Mesh all = mesh_with(field, 6, true, controls, nullptr);
  const auto one = testing::check_mesh(largest);
  const auto both = testing::check_mesh(all);
  EXPECT_EQ(one.euler, 2);
  EXPECT_EQ(both.euler, 4);  // two spheres
  EXPECT_TRUE(both.closed && both.oriented && both.indices_valid);
  EXPECT_GT(all.faces.size(), largest.faces.size());
  // Every vertex is used by some face.
  std::set<std::uint64_t> used;
  for (const auto& face : all.faces) used.insert(face.begin(), face.end());
  EXPECT_EQ(used.size(), all.vertices.size());
  // The larger sphere's piece is the largest: its volume is the bigger share.
  EXPECT_GT(one.signed_volume, 0.7 * both.signed_volume);
}

TEST(RunMonitor, KeepAllRenumbersUsedVerticesInOrder) {
  const std::vector<Vec3> vertices{{0, 0, 0}, {1, 0, 0}, {2, 0, 0}, {3, 0, 0},
                                   {4, 0, 0}, {5, 0, 0}, {6, 0, 0}};
  // Vertices 0 and 4 are unused; two pieces.
  const Mesh mesh = keep_all_components(vertices, {{1, 2, 3}, {6, 5, 3}});
  EXPECT_EQ(mesh.faces, (std::vector<Triangle>{{0, 1, 2}, {4, 3, 2}}));
  ASSERT_EQ(mesh.vertices.size(), 5u);
  EXPECT_EQ(mesh.vertices[3].x, 5.0);
  EXPECT_THROW(keep_all_components(vertices, {{1, 2, 7}}), InvariantFailure);
  EXPECT_TRUE(keep_all_components(vertices, {}).vertices.empty());
}

// Keeping every piece hands the lists back as they are when every vertex is
// used, and renumbers them otherwise; keys travel with their vertices, and
// either way the stage advances by the units cleanup_units counts.
TEST(RunMonitor, KeepAllHandsBackFullyUsedListsAsTheyAre) {
  const std::vector<Vec3> vertices{{0, 0, 0}, {1, 0, 0}, {2, 0, 0}, {3, 0, 0}};
  const std::vector<VertexKey> keys{{0, 0}, {10, 1}, {20, 2}, {30, 3}};
  for (const bool all : {true, false}) {
    const std::vector<Triangle> triangles =
        all ? std::vector<Triangle>{{0, 1, 2}, {3, 2, 1}} : std::vector<Triangle>{{1, 2, 3}};
    RecordingHooks hooks;
    const RunMonitor monitor(&hooks);
    const std::uint64_t units = cleanup_units(true, vertices.size(), triangles.size());
    begin_stage("pieces", units);
    const Mesh mesh = keep_all_components(vertices, triangles, keys);
    EXPECT_EQ(monitor.done(), units);
    const std::vector<Triangle> faces = all ? triangles : std::vector<Triangle>{{0, 1, 2}};
    const std::vector<VertexKey> kept =
        all ? keys : std::vector<VertexKey>(keys.begin() + 1, keys.end());
    EXPECT_EQ(mesh.faces, faces);
    EXPECT_EQ(mesh.vertex_keys, kept);
    ASSERT_EQ(mesh.vertices.size(), all ? 4u : 3u);
    EXPECT_EQ(mesh.vertices[0].x, all ? 0.0 : 1.0);
  }
}

TEST(RunMonitor, SameMeshForAnyPoolSizeWhenWatched) {
  FunctionField field = testing::torus(0.55, 0.2);
  WorkerPool one(1), two(2), three(3);
  RecordingHooks hooks;
  const Mesh reference = mesh_with(field, 7, false, on(&one, true), &hooks);
  const Mesh unwatched = mesh_with(field, 7, false, on(&one, true), nullptr);
  EXPECT_EQ(reference.faces, unwatched.faces);
  EXPECT_EQ(reference.vertices, unwatched.vertices);
  for (WorkerPool* pool : {&two, &three}) {
    RecordingHooks more;
    const Mesh mesh = mesh_with(field, 7, false, on(pool, true), &more);
    EXPECT_EQ(mesh.faces, reference.faces);
    EXPECT_EQ(mesh.vertices, reference.vertices);
  }
}

class Cancellation : public ::testing::TestWithParam<std::size_t> {};
INSTANTIATE_TEST_SUITE_P(Workers, Cancellation, ::testing::Values(1, 2, 3));

TEST_P(Cancellation, ThrowingPollStopsTheLoopAndRethrowsOnTheCaller) {
  WorkerPool pool(GetParam());
  const std::size_t n = 64 * kMonitoredChunk;
  const std::thread::id caller = std::this_thread::get_id();
  std::atomic<std::size_t> ran{0};
  RecordingHooks hooks(/*stop_at=*/3);
  {
    const RunMonitor monitor(&hooks);
    RunMonitor::active()->begin("loop", n);
    EXPECT_THROW(
        pool.run(n, 1,
                 [&](LoopRange& range) {
                   // Worker threads hold their first index until the caller
                   // has given up, so what they run afterwards is what
                   // cancellation failed to stop; they fail there, but the
                   // caller's exception wins.
                   if (std::this_thread::get_id() != caller) {
                     const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
                     while (hooks.polls < 3 && std::chrono::steady_clock::now() < give_up) {
                       std::this_thread::yield();
                     }
                     std::this_thread::sleep_for(std::chrono::milliseconds(1));
                     if (range.keep_going(range.begin() + 1)) throw std::logic_error("not stopped");
                     return;
                   }
                   for (std::size_t i = range.begin(); range.keep_going(i); ++i) {
                     ran.fetch_add(1, std::memory_order_relaxed);
                   }
                 }),
        Stop);
  }
  // The caller ran its three ranges, polling after each; nothing else ran.
  EXPECT_EQ(ran.load(), 3 * kMonitoredChunk);
  EXPECT_EQ(hooks.polls.load(), 3u);
  // The pool is still usable, and unwatched loops never poll.
  const auto squares =
      parallel_map<std::size_t>(pool, n, [](std::size_t i) { return i * i; }, 1);
  EXPECT_EQ(squares[n - 1], (n - 1) * (n - 1));
  EXPECT_EQ(hooks.polls.load(), 3u);
}

TEST_P(Cancellation, ThrowingPollEndsAWholeExtraction) {
  FunctionField field = testing::torus(0.55, 0.2);
  WorkerPool pool(GetParam());
  for (const std::uint64_t stop_at : {1u, 5u, 40u}) {
    RecordingHooks hooks(stop_at);
    EXPECT_THROW(mesh_with(field, 7, false, on(&pool, false), &hooks), Stop);
    EXPECT_EQ(hooks.polls.load(), stop_at);
  }
}

}  // namespace
}  // namespace karvex
