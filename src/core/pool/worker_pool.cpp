#include "pool/worker_pool.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <system_error>

#include "pool/cpu_count.h"
#include "pool/run_monitor.h"

namespace karvex {

namespace {

// The process-wide pool (see global_pool) and its lock.
std::mutex g_pool_mutex;
WorkerPool* g_pool = nullptr;

// Every live pool, for the fork handlers; guarded by g_registry_mutex. Lock
// order: g_pool_mutex, then g_registry_mutex, then a pool's own lock.
std::mutex g_registry_mutex;
std::vector<WorkerPool*> g_pools;
bool g_fork_handlers_installed = false;

}  // namespace

// One parallel loop in flight. Shared between the caller and the workers
// that picked it up; a worker may still hold it (finding nothing left to
// claim) after the caller has returned, hence the shared ownership.
struct WorkerPool::Loop {
  Loop(std::size_t n_, std::size_t chunk_, const RangeTask& task_)
      : n(n_), chunk(chunk_), ranges((n_ + chunk_ - 1) / chunk_), task(&task_) {}

  void record_failure(std::size_t index, std::exception_ptr error) {
    std::lock_guard<std::mutex> lock(mutex);
    if (index < first_failure.load(std::memory_order_relaxed)) {
      first_failure.store(index, std::memory_order_relaxed);
      failure = std::move(error);
    }
  }

  // The caller's exception ends the loop: as a failure below every index,
  // it stops each task at its next index, skips every range not yet begun,
  // and replaces whatever a task raised.
  void cancel(std::exception_ptr error) {
    std::lock_guard<std::mutex> lock(mutex);
    first_failure.store(0, std::memory_order_relaxed);
    failure = std::move(error);
  }

  const std::size_t n;
  const std::size_t chunk;
  const std::size_t ranges;
  // Points into the caller's frame; only dereferenced for a claimed range,
  // and the caller waits for every claimed range to finish.
  const RangeTask* task;

  std::atomic<std::size_t> next_range{0};
  std::atomic<std::size_t> finished{0};
  std::atomic<std::size_t> items_done{0};  // indices of the ranges run to their end
  std::atomic<std::size_t> first_failure{std::numeric_limits<std::size_t>::max()};

  std::mutex mutex;  // guards `failure`; pairs with `all_finished`
  std::condition_variable all_finished;
  std::exception_ptr failure;  // the failure of index first_failure
};

WorkerPool::WorkerPool(std::size_t workers) {
  // Registered before any thread starts, so that nothing can throw once one
  // runs (see below).
  register_pool(this);
  const std::size_t background = workers > 1 ? workers - 1 : 0;
  // Workers never handle signals: the interpreter expects them on its own
  // threads, and a worker has nothing to do with them. The caller's mask is
  // restored however the loop below ends.
  sigset_t all;
  sigfillset(&all);
  struct RestoreMask {
    sigset_t previous;
    ~RestoreMask() { pthread_sigmask(SIG_SETMASK, &previous, nullptr); }
  } restore;
  pthread_sigmask(SIG_BLOCK, &all, &restore.previous);
  // No reservation up front: the count may be any number a user configured,
  // far beyond what the system will run, and the pool simply stops where
  // thread creation (or growing the list) fails. Nothing may escape once a
  // thread runs: destroying a joinable std::thread terminates the process.
  for (std::size_t i = 0; i < background; ++i) {
    try {
      threads_.emplace_back([this] { worker_main(); });
    } catch (const std::system_error&) {
      break;  // out of threads: run with those we have
    } catch (const std::bad_alloc&) {
      break;
    }
  }
}

WorkerPool::~WorkerPool() {
  unregister_pool(this);
  if (orphaned_) {
    // In a forked child the threads do not exist: nothing to wake or join.
    // Detaching only marks the descriptors the child copied from the parent.
    // The condition variable is left undestroyed: destroying it would wait
    // for the waiters it still counts, the threads that are gone.
    for (std::thread& thread : threads_) thread.detach();
    static_cast<void>(work_ready_.release());
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  work_ready_->notify_all();
  for (std::thread& thread : threads_) thread.join();
}

void WorkerPool::run(std::size_t n, std::size_t min_chunk, const RangeTask& task) {
  if (n == 0) return;
  RunMonitor* monitor = RunMonitor::active();
  // The open stage counts this loop's indices on top of what it had.
  const std::uint64_t base = monitor ? monitor->done() : 0;
  // About four ranges per thread of execution balances uneven work without
  // making ranges so small that claiming them costs more than running them.
  const std::size_t spread = workers() * 4;
  std::size_t chunk = std::max({std::size_t{1}, min_chunk, (n + spread - 1) / spread});
  // A monitored run polls between ranges: keep them short. Range sizes
  // never change a result.
  if (monitor) chunk = std::min(chunk, std::max(min_chunk, kMonitoredChunk));

  if (orphaned_ || threads_.empty() || chunk >= n) {
    Loop loop(n, chunk, task);
    work_as_caller(loop, monitor, base, false);
    if (loop.failure) std::rethrow_exception(loop.failure);
    return;
  }

  auto loop = std::make_shared<Loop>(n, chunk, task);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(loop);
  }
  work_ready_->notify_all();
  const bool polling = work_as_caller(*loop, monitor, base, orphaned_);
  if (orphaned_) {
    // A report forked this process and this is the child: the loop's lock
    // and wake-up may be frozen by threads that are gone; touch neither.
    require_finished_after_fork(*loop);
  } else {
    retire(loop);
    wait_for_ranges(*loop, polling ? monitor : nullptr, base);
  }
  // Take the failure out of the loop so that the exception object is
  // released on this thread, whichever thread drops the loop last.
  std::exception_ptr failure = std::move(loop->failure);
  if (failure) std::rethrow_exception(std::move(failure));
}

bool WorkerPool::work_on_one(Loop& loop) {
  const std::size_t r = loop.next_range.fetch_add(1, std::memory_order_relaxed);
  if (r >= loop.ranges) return false;
  const std::size_t begin = r * loop.chunk;
  const std::size_t end = std::min(loop.n, begin + loop.chunk);
  // A range wholly above a recorded failure cannot change which failure
  // is reported: skip it.
  if (begin < loop.first_failure.load(std::memory_order_relaxed)) {
    LoopRange range(begin, end, r, &loop.first_failure);
    try {
      (*loop.task)(range);
      loop.items_done.fetch_add(end - begin, std::memory_order_relaxed);
    } catch (...) {
      loop.record_failure(range.current_, std::current_exception());
    }
  }
  if (loop.finished.fetch_add(1, std::memory_order_acq_rel) + 1 == loop.ranges) {
    // Taking the lock orders this wake-up after the caller's predicate check.
    {
      std::lock_guard<std::mutex> lock(loop.mutex);
    }
    loop.all_finished.notify_all();
  }
  return true;
}

void WorkerPool::work_on(Loop& loop) {
  while (work_on_one(loop)) {
  }
}

bool WorkerPool::work_as_caller(Loop& loop, RunMonitor* monitor, std::uint64_t base,
                                const bool& orphaned) {
  if (monitor == nullptr) {
    work_on(loop);
    return false;
  }
  while (true) {
    bool claimed = false;
    {
      // A loop nested in a task neither polls nor counts.
      const RunMonitor::Suspended quiet;
      claimed = work_on_one(loop);
    }
    try {
      monitor->reach(base + loop.items_done.load(std::memory_order_relaxed));
    } catch (...) {
      // In the child of a fork made by the report, the loop's lock may be
      // held by a thread that is gone: end the loop without it.
      if (orphaned) throw;
      loop.cancel(std::current_exception());
      work_on(loop);  // the ranges left are skipped, but must be counted
      return false;
    }
    if (!claimed) return true;
  }
}

void WorkerPool::wait_for_ranges(Loop& loop, RunMonitor* monitor, std::uint64_t base) {
  const auto all_done = [&] {
    return loop.finished.load(std::memory_order_acquire) == loop.ranges;
  };
  std::unique_lock<std::mutex> lock(loop.mutex);
  if (monitor != nullptr) {
    while (!loop.all_finished.wait_for(lock, std::chrono::milliseconds(2), all_done)) {
      lock.unlock();
      try {
        monitor->reach(base + loop.items_done.load(std::memory_order_relaxed));
      } catch (...) {
        if (orphaned_) throw;  // forked by the report: as in work_as_caller
        loop.cancel(std::current_exception());
        lock.lock();
        break;
      }
      if (orphaned_) {
        require_finished_after_fork(loop);
        return;
      }
      lock.lock();
    }
  }
  loop.all_finished.wait(lock, all_done);
}

void WorkerPool::require_finished_after_fork(const Loop& loop) {
  if (loop.finished.load(std::memory_order_acquire) == loop.ranges) return;
  throw std::runtime_error(
      "the process forked in a callback while worker threads were running a stage of this "
      "call; the call cannot finish in the child process, where those threads do not exist "
      "(start a new call there, or fork outside the call)");
}

void WorkerPool::retire(const std::shared_ptr<Loop>& loop) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = std::find(queue_.begin(), queue_.end(), loop);
  if (it != queue_.end()) queue_.erase(it);
}

void WorkerPool::worker_main() {
  while (true) {
    std::shared_ptr<Loop> loop;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      work_ready_->wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;  // stopping, nothing left
      loop = queue_.front();
    }
    work_on(*loop);
    retire(loop);
  }
}

// ---------------------------------------------------------------------------
// Fork handling and the process-wide pool.

void WorkerPool::register_pool(WorkerPool* pool) {
  std::lock_guard<std::mutex> lock(g_registry_mutex);
  if (!g_fork_handlers_installed) {
    if (pthread_atfork(prepare_fork, parent_after_fork, child_after_fork) != 0) {
      throw std::bad_alloc();  // the only documented failure is ENOMEM
    }
    g_fork_handlers_installed = true;
  }
  g_pools.push_back(pool);
}

void WorkerPool::unregister_pool(WorkerPool* pool) noexcept {
  std::lock_guard<std::mutex> lock(g_registry_mutex);
  const auto it = std::find(g_pools.begin(), g_pools.end(), pool);
  if (it != g_pools.end()) g_pools.erase(it);
}

// Holding the locks across fork() keeps the child from inheriting one
// half-taken by a thread that does not exist there. A pool's own lock is
// held by its threads only for moments, never while they run a task.
void WorkerPool::prepare_fork() noexcept {
  g_pool_mutex.lock();
  g_registry_mutex.lock();
  for (WorkerPool* pool : g_pools) pool->mutex_.lock();
}

void WorkerPool::parent_after_fork() noexcept {
  for (WorkerPool* pool : g_pools) pool->mutex_.unlock();
  g_registry_mutex.unlock();
  g_pool_mutex.unlock();
}

// The parents' workers do not exist in the child. Every pool is orphaned
// (never joined: joining a thread that does not exist is undefined; a call
// that forked from a callback still holds its pools and finishes on one
// thread) and forgotten, and the next call creates a fresh process-wide
// pool.
void WorkerPool::child_after_fork() noexcept {
  for (WorkerPool* pool : g_pools) {
    pool->orphan_after_fork();
    pool->mutex_.unlock();
  }
  g_pools.clear();
  g_pool = nullptr;
  g_registry_mutex.unlock();
  g_pool_mutex.unlock();
}

WorkerPool& global_pool() {
  std::lock_guard<std::mutex> lock(g_pool_mutex);
  if (g_pool == nullptr) g_pool = new WorkerPool(configured_worker_count());
  return *g_pool;
}

}  // namespace karvex
