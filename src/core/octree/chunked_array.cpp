#include "octree/chunked_array.h"

#include <sys/mman.h>

#include <cstdint>
#include <limits>
#include <new>

namespace karvex {

namespace {

std::size_t round_up_to_huge_page(std::size_t bytes) {
  return (bytes + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
}

}  // namespace

void* allocate_large(std::size_t bytes) {
  if (bytes < kHugeBlockBytes) return ::operator new(bytes);
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

void free_large(void* block, std::size_t bytes) noexcept {
  if (block == nullptr) return;
  if (bytes < kHugeBlockBytes) {
    ::operator delete(block);
    return;
  }
  munmap(block, round_up_to_huge_page(bytes));
}

}  // namespace karvex
