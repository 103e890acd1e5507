#pragma once

#include <cstddef>
#include <exception>

namespace karvex {

// What the calling thread was doing, kept so that an allocation failure
// (std::bad_alloc, std::length_error) can be reported with more than "out of
// memory": the task ("building the octree", depth 12) and the stage within it
// ("refining level", 9). Worker threads never set it: a failure on a worker
// is rethrown on the calling thread, whose context names the stage that ran
// the loop.
//
// Only string literals and integers are stored, so recording costs two
// stores and reporting needs no allocation. The context outlives the
// unwinding of a failure (see TaskScope), so the code that catches the
// failure at the top of the call still finds it there.
struct WorkContext {
  const char* task = nullptr;   // a literal, or nullptr when no task is running
  int task_depth = -1;          // the depth the task works to; -1: none
  const char* stage = nullptr;  // a literal, or nullptr before the first stage
  int stage_level = -1;         // the octree level the stage works on; -1: none
};

// The calling thread's context.
WorkContext& work_context() noexcept;

// Opens a task on the calling thread for its lifetime, with no stage yet.
// On a normal exit the previous context comes back; when the scope ends by
// an exception, the context is left as it was at the throw, for the catcher
// to read and then clear (clear_work_context).
class TaskScope {
 public:
  TaskScope(const char* task, int depth) noexcept
      : saved_(work_context()), uncaught_(std::uncaught_exceptions()) {
    work_context() = {task, depth, nullptr, -1};
  }
  ~TaskScope() {
    if (std::uncaught_exceptions() <= uncaught_) work_context() = saved_;
  }
  TaskScope(const TaskScope&) = delete;
  TaskScope& operator=(const TaskScope&) = delete;

 private:
  WorkContext saved_;
  int uncaught_;
};

// Names the stage of the open task that starts now (`stage` a literal;
// `level` an octree level, or -1 for none).
inline void set_work_stage(const char* stage, int level = -1) noexcept {
  WorkContext& context = work_context();
  context.stage = stage;
  context.stage_level = level;
}

// Forgets the calling thread's context.
inline void clear_work_context() noexcept { work_context() = WorkContext{}; }

// Writes "building the octree (depth 12): refining level 9" (the parts that
// are set) as a NUL-terminated string into `out` (truncated to `size` - 1
// characters) and returns its length; an empty context gives "". Allocates
// nothing and never throws.
std::size_t describe_work(const WorkContext& context, char* out, std::size_t size) noexcept;

}  // namespace karvex
