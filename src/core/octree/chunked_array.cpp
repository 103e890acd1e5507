#include "octree/chunked_array.h"

#include <new>

#include "platform/platform.h"

namespace karvex {

static_assert(kHugePageBytes == platform::kHugePageBytes);

void* allocate_large(std::size_t bytes) {
  if (bytes < kHugeBlockBytes) return ::operator new(bytes);
  return platform::map_huge_block(bytes);
}

void free_large(void* block, std::size_t bytes) noexcept {
  if (block == nullptr) return;
  if (bytes < kHugeBlockBytes) {
    ::operator delete(block);
    return;
  }
  platform::unmap_huge_block(block, bytes);
}

}  // namespace karvex
