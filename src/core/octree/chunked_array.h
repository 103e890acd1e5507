#pragma once

// Storage for the large arrays of one build: blocks of memory backed by huge
// pages, and the append-only segmented array made of them.

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace karvex {

// Memory for the large arrays of one build (corner samples and leaf
// records, see ChunkedArray below), backed by transparent huge pages where the
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

// An append-only array of plain records stored in segments that double in
// size: segment 0 holds 2^FirstBits elements, segment k >= 1 holds
// 2^(FirstBits + k - 1). Growing never moves or copies stored elements, so
// addresses stay valid and memory is touched once, as it is filled (a vector
// that doubles copies everything it holds and touches fresh pages each time,
// which for the hundreds of megabytes of a deep octree costs more than the
// work itself). Large segments come from allocate_large (huge pages); a
// segment's pages are touched only as elements are written, so the unused
// end of the last segment costs address space only. Only shrinking from the
// end is supported.
template <class T, unsigned FirstBits>
class ChunkedArray {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>,
                "ChunkedArray holds plain records only");
  static constexpr std::size_t kFirst = std::size_t{1} << FirstBits;
  static constexpr unsigned kMaxSegments = 64 - FirstBits;

 public:
  ChunkedArray() = default;
  ~ChunkedArray() { release(); }
  ChunkedArray(ChunkedArray&& other) noexcept
      : segments_(std::exchange(other.segments_, {})),
        allocated_(std::exchange(other.allocated_, 0)),
        size_(std::exchange(other.size_, 0)) {}
  ChunkedArray& operator=(ChunkedArray&& other) noexcept {
    if (this != &other) {
      release();
      segments_ = std::exchange(other.segments_, {});
      allocated_ = std::exchange(other.allocated_, 0);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }
  ChunkedArray(const ChunkedArray& other) { *this = other; }
  ChunkedArray& operator=(const ChunkedArray& other) {
    if (this == &other) return *this;
    ChunkedArray copy;
    copy.reserve(other.size_);
    for (unsigned s = 0; s < other.allocated_ && segment_begin(s) < other.size_; ++s) {
      const std::size_t count = std::min(other.size_ - segment_begin(s), segment_size(s));
      std::memcpy(static_cast<void*>(copy.segments_[s]), other.segments_[s], count * sizeof(T));
    }
    copy.size_ = other.size_;
    *this = std::move(copy);
    return *this;
  }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  T& operator[](std::size_t i) { return at_unchecked(i); }
  const T& operator[](std::size_t i) const { return at_unchecked(i); }
  T& back() { return (*this)[size_ - 1]; }

  void push_back(const T& value) {
    if (size_ == capacity()) grow();
    ::new (static_cast<void*>(&at_unchecked(size_))) T(value);
    ++size_;
  }
  // Appends a value-initialised element and returns it, for records that are
  // filled in place.
  T& emplace_back() {
    if (size_ == capacity()) grow();
    T* element = ::new (static_cast<void*>(&at_unchecked(size_))) T();
    ++size_;
    return *element;
  }
  void pop_back() { --size_; }

  // Shrinks to `count` elements; growing is only by push_back. Segments are
  // kept for reuse.
  void resize(std::size_t count) {
    if (count < size_) size_ = count;
  }

  // Makes sure that `count` elements fit without allocating again.
  void reserve(std::size_t count) {
    while (capacity() < count) grow();
  }

  // Grows to `count` elements whose contents are left as the memory holds
  // them, for records that are then written in place, possibly by several
  // threads each writing its own. Allocates like reserve (and may throw
  // before the size changes).
  void extend_to(std::size_t count) {
    reserve(count);
    if (count > size_) size_ = count;
  }

 private:
  static std::size_t segment_begin(unsigned s) { return s == 0 ? 0 : kFirst << (s - 1); }
  static std::size_t segment_size(unsigned s) { return s == 0 ? kFirst : kFirst << (s - 1); }
  std::size_t capacity() const { return allocated_ == 0 ? 0 : segment_begin(allocated_); }

  T& at_unchecked(std::size_t i) const {
    const auto s = static_cast<unsigned>(std::bit_width(i >> FirstBits));
    return segments_[s][i - segment_begin(s)];
  }

  void grow() {
    if (allocated_ == kMaxSegments) throw std::bad_alloc();
    const unsigned s = allocated_;
    if (segment_size(s) > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    segments_[s] = static_cast<T*>(allocate_large(segment_size(s) * sizeof(T)));
    ++allocated_;
  }

  void release() noexcept {
    for (unsigned s = 0; s < allocated_; ++s) free_large(segments_[s], segment_size(s) * sizeof(T));
    allocated_ = 0;
    size_ = 0;
  }

  std::array<T*, kMaxSegments> segments_{};
  unsigned allocated_ = 0;  // segments 0..allocated_-1 exist
  std::size_t size_ = 0;
};

}  // namespace karvex
