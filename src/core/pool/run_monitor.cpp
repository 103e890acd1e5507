#include "pool/run_monitor.h"

namespace karvex {

namespace {

// The calling thread's active monitor; null on every other thread.
thread_local RunMonitor* t_active = nullptr;

}  // namespace

RunMonitor::RunMonitor(RunHooks* hooks) : hooks_(hooks), previous_(t_active) {
  if (hooks_ != nullptr) t_active = this;
}

RunMonitor::~RunMonitor() {
  // No report here: reports may throw, and a run that ends by an exception
  // leaves its stage unfinished on purpose.
  if (hooks_ != nullptr) t_active = previous_;
}

RunMonitor* RunMonitor::active() { return t_active; }

void RunMonitor::begin(std::string_view stage, std::uint64_t total) {
  end();
  stage_.assign(stage);
  total_ = total;
  done_ = 0;
  reported_ = 0;
  // About a hundred reports per stage: enough for a smooth percentage,
  // few enough that a Python callback costs nothing next to the work.
  step_ = std::max<std::uint64_t>(1, total / 100);
  hooks_->progress(stage_, 0, total_);
}

void RunMonitor::reach(std::uint64_t done) {
  if (!stage_.empty() && done > done_) {
    done_ = std::min(done, total_);
    if (done_ == total_ || done_ - reported_ >= step_) report();
  }
  hooks_->poll();
}

void RunMonitor::end() {
  if (stage_.empty()) return;
  done_ = total_;
  // A stage of total 0 reported 0 of 0 when it opened: that was its last.
  if (reported_ != total_) report();
  stage_.clear();
}

void RunMonitor::report() {
  reported_ = done_;
  hooks_->progress(stage_, done_, total_);
}

RunMonitor::Suspended::Suspended() : saved_(t_active) { t_active = nullptr; }

RunMonitor::Suspended::~Suspended() { t_active = saved_; }

}  // namespace karvex
