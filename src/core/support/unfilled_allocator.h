#pragma once

#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

namespace karvex {

// An allocator whose vectors, when resized, leave their new elements
// unwritten instead of filling them (Vec3's zeros, an integer's 0): for
// arrays of millions of elements that parallel loops write in full right
// after the resize. A filled resize writes every byte on the calling thread
// alone, and the kernel clears each fresh page as it is first touched, so
// that thread also takes every page fault; unfilled, the workers that write
// the elements take the faults, each for its own pages.
//
// Only for types that are copied as bytes and need no destruction (Vec3,
// integers): storage for them from the allocator already holds objects of
// the type, whose values are simply not yet written. Reading an element
// before it is written reads garbage; every element must be written.
// Construction with arguments (push_back, assign, insert) constructs as usual.
template <class T>
class UnfilledAllocator : public std::allocator<T> {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

 public:
  template <class U>
  struct rebind {
    using other = UnfilledAllocator<U>;
  };

  UnfilledAllocator() = default;
  template <class U>
  UnfilledAllocator(const UnfilledAllocator<U>&) noexcept {}

  // Value-initialisation by the vector (resize, the sized constructor):
  // nothing is written.
  template <class U>
  void construct(U*) noexcept {}
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

template <class T, class U>
bool operator==(const UnfilledAllocator<T>&, const UnfilledAllocator<U>&) noexcept {
  return true;
}

// A vector whose resize leaves the new elements to be written by the caller.
template <class T>
using UnfilledVector = std::vector<T, UnfilledAllocator<T>>;

}  // namespace karvex
