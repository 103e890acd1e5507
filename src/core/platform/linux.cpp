// The platform layer on Linux: the affinity mask, the control-group CPU
// quota, huge pages through mmap and madvise, freed heap pages given back,
// and the thread's CPU clock.
#if defined(__linux__)

#include <sched.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <sys/mman.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <limits>
#include <new>
#include <sstream>

#include "platform/cgroup_quota.h"
#include "platform/platform.h"

namespace karvex::platform {

namespace {

std::optional<std::string> read_file(const std::string& path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::size_t round_up_to_huge_page(std::size_t bytes) {
  return (bytes + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
}

}  // namespace

std::size_t schedulable_cpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    return static_cast<std::size_t>(std::max(1, CPU_COUNT(&set)));
  }
  // More CPUs than a cpu_set_t holds: grow the mask until the kernel accepts it.
  for (int cpus = 2 * CPU_SETSIZE; cpus <= (1 << 20); cpus *= 2) {
    cpu_set_t* dynamic = CPU_ALLOC(cpus);
    if (dynamic == nullptr) break;
    const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
    CPU_ZERO_S(bytes, dynamic);
    const bool ok = sched_getaffinity(0, bytes, dynamic) == 0;
    const int count = ok ? CPU_COUNT_S(bytes, dynamic) : 0;
    CPU_FREE(dynamic);
    if (ok) return static_cast<std::size_t>(std::max(1, count));
  }
  return 1;
}

std::optional<std::size_t> cpu_quota() {
  const auto cgroups = read_file("/proc/self/cgroup");
  const auto mountinfo = read_file("/proc/self/mountinfo");
  if (!cgroups || !mountinfo) return std::nullopt;
  return cgroup_cpu_quota(*cgroups, *mountinfo, read_file);
}

void* map_huge_block(std::size_t bytes) {
  if (bytes > std::numeric_limits<std::size_t>::max() - 2 * kHugePageBytes) throw std::bad_alloc();
  const std::size_t size = round_up_to_huge_page(bytes);
  // Map one huge page more than needed and trim both ends, so that the
  // block starts on a huge-page boundary: only whole, aligned 2 MiB ranges
  // can be backed by huge pages.
  const std::size_t mapped = size + kHugePageBytes;
  void* raw = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = (start + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
  const std::size_t head = aligned - start;
  const std::size_t tail = mapped - head - size;
  if (head != 0) munmap(raw, head);
  if (tail != 0) munmap(reinterpret_cast<void*>(aligned + size), tail);
  void* block = reinterpret_cast<void*>(aligned);
  // Advice only: a kernel without transparent huge pages refuses it, and the
  // block is then an ordinary mapping.
  madvise(block, size, MADV_HUGEPAGE);
  return block;
}

void unmap_huge_block(void* block, std::size_t bytes) noexcept {
  if (block != nullptr) munmap(block, round_up_to_huge_page(bytes));
}

void release_free_memory() noexcept {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

double thread_cpu_seconds() noexcept {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

}  // namespace karvex::platform

#endif
