#pragma once

// What the core asks of the operating system: how many CPUs this process may
// use, large blocks of memory backed by huge pages, freed heap memory handed
// back, and the CPU time of the calling thread. Everything else in the core
// is standard C++.
//
// linux.cpp implements this with sched_getaffinity, the control-group CPU
// quota, mmap/madvise and malloc_trim; portable.cpp with the standard
// library alone, for every other system. Both files are always compiled and the preprocessor
// keeps one of them, so a port to another system adds one file and one
// condition.

#include <cstddef>
#include <optional>

namespace karvex::platform {

// CPUs this process may run on: on Linux the CPUs in its affinity mask, on
// other systems the hardware threads the standard library reports. At least 1.
std::size_t schedulable_cpus();

// The tightest CPU quota a control group puts on this process, rounded down
// to whole CPUs but at least 1; nullopt when there is none (or the system has
// no control groups).
std::optional<std::size_t> cpu_quota();

// Huge pages: 2 MiB, the size x86-64 and aarch64 Linux use by default.
inline constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;

// A block of `bytes` (> 0) of uninitialised memory aligned to
// kHugePageBytes, which the system is asked to back with huge pages where it
// can (advice only: the block is ordinary memory otherwise). Throws
// std::bad_alloc. The same `bytes` must be given to unmap_huge_block.
void* map_huge_block(std::size_t bytes);
void unmap_huge_block(void* block, std::size_t bytes) noexcept;

// Hands the pages of freed heap memory back to the system. Arrays below the
// allocator's mapping threshold (which rises as large blocks are freed) are
// carved from the heaps, whose freed space stays resident until reused; a
// stage that frees such arrays and then allocates others of other sizes
// would otherwise hold both at once. On Linux with the GNU C library,
// malloc_trim; elsewhere nothing.
void release_free_memory() noexcept;

// CPU seconds the calling thread has used (benchmark timing): on Linux its
// CPU-time clock; elsewhere the process's CPU clock, which counts every
// thread.
double thread_cpu_seconds() noexcept;

}  // namespace karvex::platform
