#pragma once

#include <cstddef>

namespace karvex {

// Memory for the large arrays of one build (corner samples and leaf
// records, see ChunkedArray), backed by transparent huge pages where the
// system offers them.
//
// Why: a deep octree touches several hundred megabytes once, in a few
// seconds. With 4 KiB pages every first touch is a page fault whose kernel
// bookkeeping costs more than the work done on that page; with 2 MiB pages
// the kernel's share shrinks to clearing the memory, and the TLB covers the
// large arrays that are read at random. Blocks of at least
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

}  // namespace karvex
