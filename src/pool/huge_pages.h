#pragma once

#include <cstddef>
#include <limits>
#include <new>

namespace karvex {

// Memory for the large arrays of one build or extraction (corner samples,
// leaf records, hash tables, batches), backed by transparent huge pages where
// the system offers them.
//
// Why: a deep octree touches several hundred megabytes once, in a few
// seconds. With 4 KiB pages every first touch is a page fault whose kernel
// bookkeeping costs more than the work done on that page; with 2 MiB pages
// the kernel's share shrinks to clearing the memory, and the TLB covers the
// large hash tables whose probes are random. Blocks of at least
// kHugeBlockBytes are mapped on a huge-page boundary and advised
// (madvise MADV_HUGEPAGE); smaller ones come from operator new. Where huge
// pages are not available the advice is ignored and the memory behaves as
// any other. Memory is returned to the system when freed.

inline constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;
// Smaller blocks would waste most of a huge page.
inline constexpr std::size_t kHugeBlockBytes = kHugePageBytes;

// `bytes` of memory aligned for any object up to alignof(std::max_align_t);
// throws std::bad_alloc. The same `bytes` must be passed to free_large.
void* allocate_large(std::size_t bytes);
void free_large(void* block, std::size_t bytes) noexcept;

// A standard allocator over allocate_large, for containers that may grow
// large (std::vector, tsl::robin_map). Stateless: all instances are equal.
template <class T>
struct LargeAllocator {
  static_assert(alignof(T) <= alignof(std::max_align_t), "over-aligned types are not supported");
  using value_type = T;

  LargeAllocator() = default;
  template <class U>
  LargeAllocator(const LargeAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(allocate_large(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t n) noexcept { free_large(p, n * sizeof(T)); }

  template <class U>
  friend bool operator==(const LargeAllocator&, const LargeAllocator<U>&) noexcept {
    return true;
  }
};

}  // namespace karvex
