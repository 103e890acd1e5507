#pragma once

// A standard allocator over allocate_large, for vectors that are filled in
// full, read and freed within a stage: batch buffers of millions of points.

#include <cstddef>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "octree/chunked_array.h"

namespace karvex {

// Blocks of kHugeBlockBytes or more come from huge pages (allocate_large),
// smaller ones from operator new. Elements are default-initialised, not
// value-initialised: resize() does not write zeros over memory that is about
// to be overwritten (types with default member initialisers still run them).
// Stateless: any two instances are interchangeable.
template <class T>
struct LargeBlockAllocator {
  using value_type = T;

  LargeBlockAllocator() = default;
  template <class U>
  LargeBlockAllocator(const LargeBlockAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(allocate_large(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t n) noexcept { free_large(p, n * sizeof(T)); }

  template <class U>
  void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }

  template <class U>
  friend bool operator==(const LargeBlockAllocator&, const LargeBlockAllocator<U>&) noexcept {
    return true;
  }
};

template <class T>
using LargeVector = std::vector<T, LargeBlockAllocator<T>>;

}  // namespace karvex
