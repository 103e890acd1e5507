#pragma once

// What the caller of a long native run hears from it while it works: the
// progress of each stage against a total known when the stage begins, and a
// poll that lets the caller end the run (an interrupt, a cancelled job).
// Both are called on the calling thread only, between chunks of work, never
// on a worker thread and never while a chunk is half done.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace karvex {

// The caller's side. Implementations live with the caller (the Python
// binding forwards to a callable and checks for pending signals).
class RunHooks {
 public:
  // `done` of `total` units of `stage` are finished. Per stage the first
  // report has done == 0, done never decreases and the last report has
  // done == total; the total never changes. Stages are reported in the
  // order they run; a name is used by one stage of a run only. May throw
  // to end the run, like poll().
  virtual void progress(std::string_view stage, std::uint64_t done, std::uint64_t total) = 0;

  // Called every few milliseconds of work at most. May throw: the exception
  // leaves the entry point unchanged once every worker has stopped (workers
  // stop at their next chunk), and nothing the run made survives.
  virtual void poll() = 0;

 protected:
  ~RunHooks() = default;
};

// The run in progress on the calling thread: its hooks and its open stage.
// Constructing one makes it the thread's active monitor until it is
// destroyed (monitors nest; the inner one wins). Without hooks (null) every
// call does nothing, so stages may report unconditionally. Stages find the
// monitor through active() rather than through their parameters: the pool
// and the stages' loops poll it without every signature in between
// carrying it.
class RunMonitor {
 public:
  explicit RunMonitor(RunHooks* hooks);
  ~RunMonitor();
  RunMonitor(const RunMonitor&) = delete;
  RunMonitor& operator=(const RunMonitor&) = delete;

  // The thread's active monitor with hooks, or null (always null on worker
  // threads, and while the calling thread runs a chunk of a parallel loop).
  static RunMonitor* active();

  // Closes the open stage (reporting it complete) and opens `stage` at 0 of
  // `total`.
  void begin(std::string_view stage, std::uint64_t total);
  // Adds `units` to the open stage's count (never beyond its total), reports
  // it when another percent is done, and polls.
  void advance(std::uint64_t units) { reach(done_ + units); }
  // Raises the open stage's count to `done` (clamped to the total; a lower
  // value changes nothing), reports it when another percent is done, and
  // polls.
  void reach(std::uint64_t done);
  // Reports the open stage complete and closes it.
  void end();
  // Polls the caller.
  void poll() { hooks_->poll(); }

  std::uint64_t done() const { return done_; }

  // Makes the thread's monitor inactive for the life of the object: a
  // parallel loop's chunk runs under it, so that a loop nested in a chunk
  // neither polls nor counts.
  class Suspended {
   public:
    Suspended();
    ~Suspended();
    Suspended(const Suspended&) = delete;
    Suspended& operator=(const Suspended&) = delete;

   private:
    RunMonitor* saved_;
  };

 private:
  void report();

  RunHooks* hooks_;
  RunMonitor* previous_;
  std::string stage_;  // empty: no stage open
  std::uint64_t total_ = 0;
  std::uint64_t done_ = 0;
  std::uint64_t reported_ = 0;  // the count last reported
  std::uint64_t step_ = 1;      // report when done passes reported_ + step_
};

// Indices a sequential loop runs between two polls. The slowest loops cost
// about a microsecond per index: a few milliseconds per block.
inline constexpr std::size_t kPollBlock = 4096;

// body(i) for every i in [0, n) in order on the calling thread, advancing
// the open stage by one per index and polling after every kPollBlock
// indices (nothing extra without an active monitor).
template <class Body>
void monitored_for(std::size_t n, Body&& body) {
  RunMonitor* monitor = RunMonitor::active();
  for (std::size_t start = 0; start < n; start += kPollBlock) {
    const std::size_t end = std::min(n, start + kPollBlock);
    for (std::size_t i = start; i < end; ++i) body(i);
    if (monitor) monitor->advance(end - start);
  }
}

// Opens a stage on the thread's active monitor, if any.
inline void begin_stage(std::string_view stage, std::uint64_t total) {
  if (RunMonitor* monitor = RunMonitor::active()) monitor->begin(stage, total);
}

// Closes the open stage of the thread's active monitor, if any.
inline void end_stage() {
  if (RunMonitor* monitor = RunMonitor::active()) monitor->end();
}

// Polls the thread's active monitor, if any.
inline void poll_run() {
  if (RunMonitor* monitor = RunMonitor::active()) monitor->poll();
}

// Advances the open stage of the thread's active monitor, if any, and polls.
inline void advance_stage(std::uint64_t units) {
  if (RunMonitor* monitor = RunMonitor::active()) monitor->advance(units);
}

// Raises the open stage's count to `done` (RunMonitor::reach), if there is an
// active monitor, and polls.
inline void reach_stage(std::uint64_t done) {
  if (RunMonitor* monitor = RunMonitor::active()) monitor->reach(done);
}

}  // namespace karvex
