#pragma once

// A list of trivially copyable values that keeps its first N in place and
// moves to the heap only beyond them: for the per-vertex and per-triangle
// lists of the mesh passes, nearly all of which stay that short, so that a
// mesh's worth of them costs no allocation each.
//
// The order is a vector's: push_back appends, erase shifts the rest down.
// Once on the heap a list stays there (clear keeps the capacity).

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>

namespace karvex {

template <class T, std::size_t N>
class SmallList {
  static_assert(std::is_trivially_copyable_v<T> && N > 0);

 public:
  T* begin() { return data(); }
  T* end() { return data() + size_; }
  const T* begin() const { return data(); }
  const T* end() const { return data() + size_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T& front() { return data()[0]; }
  const T& front() const { return data()[0]; }

  void clear() { size_ = 0; }
  void push_back(const T& value) {
    if (size_ == capacity_) grow();
    data()[size_++] = value;
  }
  // Removes the value at `at` (within the list), keeping the order of the rest.
  void erase(const T* at) {
    T* const to = begin() + (at - begin());
    std::copy(to + 1, end(), to);
    --size_;
  }

 private:
  T* data() { return heap_ ? heap_.get() : in_place_.data(); }
  const T* data() const { return heap_ ? heap_.get() : in_place_.data(); }
  void grow() {
    const std::size_t capacity = 2 * capacity_;
    std::unique_ptr<T[]> bigger(new T[capacity]);
    std::copy(begin(), end(), bigger.get());
    heap_ = std::move(bigger);
    capacity_ = capacity;
  }

  std::array<T, N> in_place_{};
  std::unique_ptr<T[]> heap_;
  std::size_t size_ = 0;
  std::size_t capacity_ = N;
};

}  // namespace karvex
