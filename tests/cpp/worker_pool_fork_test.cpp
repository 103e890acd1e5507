// fork() while pools exist: every pool, the process-wide one and each a call
// made for itself, is safe in the child; a loop the child cannot finish (its
// ranges held by threads that are gone) is refused instead of waited for.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

#include <gtest/gtest.h>

#include "forked_child.h"

#include "pool/run_monitor.h"
#include "pool/worker_pool.h"

namespace karvex {
namespace {

using testing::wait_for_child;

std::size_t sum_on(WorkerPool& pool) {
  auto v = parallel_map<std::size_t>(pool, 100000, [](std::size_t i) { return i % 7; });
  std::size_t s = 0;
  for (std::size_t x : v) s += x;
  return s;
}

// Polls run `on_poll` (the caller's callbacks, where a user may fork).
class ForkingHooks final : public RunHooks {
 public:
  explicit ForkingHooks(std::function<void()> on_poll) : on_poll_(std::move(on_poll)) {}
  void progress(std::string_view, std::uint64_t, std::uint64_t) override {}
  void poll() override { on_poll_(); }

 private:
  std::function<void()> on_poll_;
};

#if defined(__SANITIZE_ADDRESS__)
// See ForkedChildRunsLoops: the sanitizer's runtime can deadlock in such a child.
#define SKIP_UNDER_ASAN() GTEST_SKIP() << "fork with running threads under the address sanitizer"
#else
#define SKIP_UNDER_ASAN() static_cast<void>(0)
#endif

// A pool made for one call, forked while its threads wait for work: the
// child runs loops on it alone, on new pools, and destroys it without
// waking or joining threads it does not have.
TEST(WorkerPoolFork, OwnPoolIsSafeInTheChild) {
  SKIP_UNDER_ASAN();
  for (const std::size_t workers : {2, 4}) {
    auto own = std::make_unique<WorkerPool>(workers);
    const std::size_t expected = sum_on(*own);
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
      bool ok = own->workers() == 1 && sum_on(*own) == expected;
      own.reset();
      WorkerPool fresh(workers);
      ok = ok && fresh.workers() == workers && sum_on(fresh) == expected &&
           sum_on(global_pool()) == expected;
      _exit(ok ? 0 : 1);
    }
    EXPECT_EQ(wait_for_child(child), 0) << workers << " workers";
    EXPECT_EQ(sum_on(*own), expected);
  }
}

// A poll forks while a background thread is inside one of the loop's
// ranges: the parent's loop finishes; the child's caller refuses it at
// once and can then run new loops.
TEST(WorkerPoolFork, LoopHeldByGoneThreadsIsRefusedInTheChild) {
  SKIP_UNDER_ASAN();
  WorkerPool pool(2);
  const std::thread::id caller = std::this_thread::get_id();
  std::atomic<bool> worker_inside{false};
  std::atomic<bool> release{false};
  bool forked = false;
  pid_t child = -1;
  ForkingHooks hooks([&] {
    if (!forked && worker_inside.load()) {
      forked = true;
      child = fork();
      if (child != 0) release.store(true);  // the parent lets its worker go on
    }
  });
  std::atomic<std::size_t> count{0};
  try {
    RunMonitor monitor(&hooks);
    monitor.begin("stage", 64);
    parallel_for(
        pool, 64,
        [&](std::size_t) {
          if (std::this_thread::get_id() != caller) {
            if (!worker_inside.exchange(true)) {
              while (!release.load()) std::this_thread::yield();
            }
          } else {
            // Keep a range for the worker to take.
            while (!worker_inside.load()) std::this_thread::yield();
          }
          count.fetch_add(1);
        },
        1);
  } catch (const std::runtime_error& error) {
    const bool refused = child == 0 &&
                         std::string(error.what()).find("start a new call there") !=
                             std::string::npos;
    const bool ok = refused && sum_on(pool) == sum_on(global_pool());
    _exit(ok ? 0 : 1);
  }
  if (child == 0) _exit(2);  // the child finished a loop it could not have
  ASSERT_NE(child, -1);
  EXPECT_EQ(count.load(), 64u);
  EXPECT_EQ(wait_for_child(child), 0);
}

}  // namespace
}  // namespace karvex
