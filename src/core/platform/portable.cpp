// The platform layer for systems other than Linux: the standard library
// alone. No quota is known, and large blocks are ordinary aligned memory.
#if !defined(__linux__)

#include <ctime>
#include <new>
#include <thread>

#include "platform/platform.h"

namespace karvex::platform {

std::size_t schedulable_cpus() {
  const unsigned threads = std::thread::hardware_concurrency();  // 0: unknown
  return threads == 0 ? 1 : threads;
}

std::optional<std::size_t> cpu_quota() { return std::nullopt; }

void* map_huge_block(std::size_t bytes) {
  return ::operator new(bytes, std::align_val_t{kHugePageBytes});
}

void unmap_huge_block(void* block, std::size_t /*bytes*/) noexcept {
  ::operator delete(block, std::align_val_t{kHugePageBytes});
}

void release_free_memory() noexcept {}

double thread_cpu_seconds() noexcept {
  return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}

}  // namespace karvex::platform

#endif
