#include "support/alloc_context.h"

#include <cstdio>

namespace karvex {

namespace {

// Appends to a fixed buffer, keeping it NUL-terminated; what does not fit
// is cut off.
class FixedText {
 public:
  FixedText(char* out, std::size_t size) : out_(out), size_(size) { out_[0] = '\0'; }

  void text(const char* s) { advance(std::snprintf(out_ + used_, size_ - used_, "%s", s)); }
  void number(int n) { advance(std::snprintf(out_ + used_, size_ - used_, "%d", n)); }
  std::size_t length() const { return used_; }

 private:
  void advance(int written) {
    if (written < 0) return;
    const std::size_t room = size_ - used_ - 1;
    used_ += static_cast<std::size_t>(written) < room ? static_cast<std::size_t>(written) : room;
  }

  char* out_;
  std::size_t size_;
  std::size_t used_ = 0;
};

}  // namespace

WorkContext& work_context() noexcept {
  thread_local WorkContext context;
  return context;
}

std::size_t describe_work(const WorkContext& context, char* out, std::size_t size) noexcept {
  if (size == 0) return 0;
  FixedText line(out, size);
  if (context.task == nullptr) return 0;
  line.text(context.task);
  if (context.task_depth >= 0) {
    line.text(" (depth ");
    line.number(context.task_depth);
    line.text(")");
  }
  if (context.stage != nullptr) {
    line.text(": ");
    line.text(context.stage);
    if (context.stage_level >= 0) {
      line.text(" ");
      line.number(context.stage_level);
    }
  }
  return line.length();
}

}  // namespace karvex
