#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "pool/range_parts.h"

namespace karvex {

class WorkerPool;
class RunMonitor;

// The share of a parallel loop handed to one task: the indices [begin, end).
// Tasks iterate as
//   for (std::size_t i = range.begin(); range.keep_going(i); ++i) { ... }
// so that the pool knows which index an escaping exception belongs to and
// can skip the rest of a range once a lower index has failed.
class LoopRange {
 public:
  std::size_t begin() const { return begin_; }
  std::size_t end() const { return end_; }
  // Position of this range among the loop's ranges (ranges are contiguous
  // and ascending, so range order is index order).
  std::size_t index() const { return index_; }

  // True while i is inside the range and no failure has been recorded at an
  // index below i. Records i as the index being worked on.
  bool keep_going(std::size_t i) {
    current_ = i;
    return i < end_ && i < first_failure_->load(std::memory_order_relaxed);
  }

 private:
  friend class WorkerPool;
  LoopRange(std::size_t begin, std::size_t end, std::size_t index,
            const std::atomic<std::size_t>* first_failure)
      : begin_(begin), end_(end), index_(index), current_(begin), first_failure_(first_failure) {}

  std::size_t begin_;
  std::size_t end_;
  std::size_t index_;
  std::size_t current_;
  const std::atomic<std::size_t>* first_failure_;
};

// A fork-join pool of plain threads. A loop over [0, n) is cut into
// contiguous ranges that the workers and the calling thread claim one at a
// time; the caller returns only when every range has finished or been
// skipped, so task bodies may refer to the caller's stack.
//
// Failures: an exception escaping a task is caught on the thread that ran
// it, attributed to the index the task was at, and ranges that start above
// the lowest failing index seen so far are skipped. Ranges below it still
// run, so the exception rethrown on the caller (the original object, of its
// original type) is always the one of the lowest failing index, whatever
// the number of workers or the scheduling.
//
// Several threads may run loops on one pool at once, and a task may itself
// run a loop: the caller of a loop always works on its own loop's ranges,
// so progress never waits for a busy worker.
//
// Monitored runs: when the calling thread has an active RunMonitor, ranges
// are at most kMonitoredChunk indices, and between its own ranges (and
// every few milliseconds while it waits for the workers) the caller raises
// the open stage's count by the indices finished so far and polls. A poll
// or report that throws cancels the loop: every thread stops at its next
// index, and once all have stopped the caller's exception is rethrown
// (it wins over any failure of a task).
class WorkerPool {
 public:
  using RangeTask = std::function<void(LoopRange&)>;

  // A pool of `workers` (at least 1) threads of execution: the calling
  // thread plus workers - 1 background threads. With 1 worker every loop
  // runs on the caller alone. If the system refuses to create a thread, the
  // pool keeps those it has (results never depend on the count).
  explicit WorkerPool(std::size_t workers);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Threads of execution a loop can use (background threads + caller).
  std::size_t workers() const { return orphaned_ ? 1 : threads_.size() + 1; }

  // For the child of a fork(): the pool's threads do not exist there, and
  // its condition variable may be frozen in a state that only they could
  // have left (a broadcast would wait for them forever). From now on every
  // loop runs on the calling thread alone and never touches them, so a call
  // that was in progress when its process forked can still finish in the
  // child. Every live pool is orphaned this way in a forked child (the
  // process-wide one and each call's own): fork handlers, installed when the
  // first pool is made, keep the pools' locks consistent across the fork.
  //
  // A loop that was running when a callback forked (a progress report
  // between ranges) cannot finish in the child if background threads held
  // some of its ranges: those threads are gone with their half-done work.
  // The caller then throws std::runtime_error (saying to start a new call
  // there) instead of waiting for them; the parent is unaffected.
  void orphan_after_fork() noexcept { orphaned_ = true; }

  // Runs `task` over ranges covering [0, n) of at least `min_chunk`
  // indices each (the last may be shorter) and waits for all of them. An
  // empty loop returns at once. Rethrows the failure of the lowest index.
  void run(std::size_t n, std::size_t min_chunk, const RangeTask& task);

 private:
  struct Loop;

  void worker_main();
  // Claims and runs one range of `loop`; false when none was left.
  static bool work_on_one(Loop& loop);
  // Claims and runs ranges of `loop` until none is left unclaimed.
  static void work_on(Loop& loop);
  // The calling thread's share of `loop`: its ranges, each followed by a
  // report (the open stage at `base` plus the indices finished) and a poll
  // when `monitor` is set. A throwing poll cancels the loop
  // (the caller then still claims and skips the ranges left); returns false
  // in that case.
  // `orphaned` is the pool's flag: a report that forks makes it true in the
  // child, where a throwing report then ends the loop without its lock.
  static bool work_as_caller(Loop& loop, RunMonitor* monitor, std::uint64_t base,
                             const bool& orphaned);
  // Waits until every range of `loop` has finished, polling `monitor` (when
  // set) every few milliseconds meanwhile; a throwing poll cancels the loop.
  // Throws if a poll forked the process and the child cannot finish `loop`.
  void wait_for_ranges(Loop& loop, RunMonitor* monitor, std::uint64_t base);
  // In a forked child: throws std::runtime_error unless every range of
  // `loop` has finished (the others were held by threads that are gone).
  static void require_finished_after_fork(const Loop& loop);
  void retire(const std::shared_ptr<Loop>& loop);

  // Fork handlers over every live pool (see orphan_after_fork).
  static void register_pool(WorkerPool* pool);
  static void unregister_pool(WorkerPool* pool) noexcept;
  static void prepare_fork() noexcept;
  static void parent_after_fork() noexcept;
  static void child_after_fork() noexcept;

  std::mutex mutex_;
  // On the heap so that an orphaned pool can leave it undestroyed.
  std::unique_ptr<std::condition_variable> work_ready_ =
      std::make_unique<std::condition_variable>();
  std::deque<std::shared_ptr<Loop>> queue_;  // loops with ranges left to claim
  bool stopping_ = false;
  bool orphaned_ = false;  // set only in a forked child, by child_after_fork
  std::vector<std::thread> threads_;
};

// The process-wide pool, created on first use with configured_worker_count()
// workers and never freed. In a child forked after use, the first call makes
// a fresh pool (the parent's threads do not exist in the child); the old one
// is orphaned (see WorkerPool::orphan_after_fork) for the callers that still
// hold it, as is every pool a call made for itself.
WorkerPool& global_pool();

// Loops smaller than this run on the calling thread alone: waking workers
// costs more than the work.
inline constexpr std::size_t kDefaultMinChunk = 256;

// The longest range of a monitored run (unless a loop asks for longer
// ones): a few milliseconds of the costliest per-index work, so that the
// caller polls often and workers stop soon after a cancellation.
inline constexpr std::size_t kMonitoredChunk = 4096;

// body(i) for every i in [0, n), on the pool; for bodies that write only
// their own index's results. Failures as in WorkerPool::run.
template <class Body>
void parallel_for(WorkerPool& pool, std::size_t n, Body&& body,
                  std::size_t min_chunk = kDefaultMinChunk) {
  pool.run(n, min_chunk, [&](LoopRange& range) {
    for (std::size_t i = range.begin(); range.keep_going(i); ++i) body(i);
  });
}

// result[i] = item(i) for every i in [0, n), computed on the pool. T must be
// default-constructible. Failures as in WorkerPool::run.
template <class T, class Item>
std::vector<T> parallel_map(WorkerPool& pool, std::size_t n, Item&& item,
                            std::size_t min_chunk = kDefaultMinChunk) {
  std::vector<T> result(n);
  parallel_for(pool, n, [&](std::size_t i) { result[i] = item(i); }, min_chunk);
  return result;
}

// The concatenation, in index order, of the lists that emit(i, out) appends
// to `out` for every i in [0, n). Each range collects into a list of its own;
// the lists are joined in range order, so the result is the same for any
// number of workers. Failures as in WorkerPool::run.
template <class T, class Emit>
std::vector<T> parallel_concat(WorkerPool& pool, std::size_t n, Emit&& emit,
                               std::size_t min_chunk = kDefaultMinChunk) {
  RangeParts<T> parts;
  pool.run(n, min_chunk, [&](LoopRange& range) {
    std::vector<T> out;
    for (std::size_t i = range.begin(); range.keep_going(i); ++i) emit(i, out);
    parts.add(range.index(), std::move(out));
  });
  return parts.join();
}

}  // namespace karvex
