#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

namespace karvex {

// An append-only array of plain records stored in fixed-size chunks of
// 2^ChunkBits elements. Growing never moves or copies stored elements, so
// addresses stay valid and memory is touched once, as it is filled (a vector
// that doubles copies everything it holds and touches fresh pages each time,
// which for the hundreds of megabytes of a deep octree costs more than the
// work itself). Only shrinking from the end is supported.
template <class T, unsigned ChunkBits>
class ChunkedArray {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>,
                "ChunkedArray holds plain records only");
  static constexpr std::size_t kChunk = std::size_t{1} << ChunkBits;

  struct FreeChunk {
    void operator()(T* p) const { ::operator delete(p, std::align_val_t{alignof(T)}); }
  };
  using Chunk = std::unique_ptr<T, FreeChunk>;

 public:
  ChunkedArray() = default;
  ChunkedArray(ChunkedArray&&) noexcept = default;
  ChunkedArray& operator=(ChunkedArray&&) noexcept = default;
  ChunkedArray(const ChunkedArray& other) { *this = other; }
  ChunkedArray& operator=(const ChunkedArray& other) {
    if (this == &other) return *this;
    ChunkedArray copy;
    for (std::size_t first = 0; first < other.size_; first += kChunk) {
      const std::size_t count = other.size_ - first < kChunk ? other.size_ - first : kChunk;
      copy.chunks_.push_back(new_chunk());
      std::memcpy(static_cast<void*>(copy.chunks_.back().get()),
                  other.chunks_[first >> ChunkBits].get(), count * sizeof(T));
    }
    copy.size_ = other.size_;
    *this = std::move(copy);
    return *this;
  }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  T& operator[](std::size_t i) { return chunks_[i >> ChunkBits].get()[i & (kChunk - 1)]; }
  const T& operator[](std::size_t i) const {
    return chunks_[i >> ChunkBits].get()[i & (kChunk - 1)];
  }
  T& back() { return (*this)[size_ - 1]; }

  void push_back(const T& value) {
    if ((size_ >> ChunkBits) == chunks_.size()) {
      chunks_.reserve(chunks_.size() + 1);  // so that the push below cannot fail
      chunks_.push_back(new_chunk());
    }
    ::new (static_cast<void*>(&(*this)[size_])) T(value);
    ++size_;
  }
  void pop_back() { --size_; }

  // Shrinks to `count` elements; growing is only by push_back. Chunks are
  // kept for reuse.
  void resize(std::size_t count) {
    if (count < size_) size_ = count;
  }

  // Makes sure that `count` elements fit without allocating again.
  void reserve(std::size_t count) {
    const std::size_t chunks = (count + kChunk - 1) >> ChunkBits;
    chunks_.reserve(chunks);
    while (chunks_.size() < chunks) chunks_.push_back(new_chunk());
  }

 private:
  static Chunk new_chunk() {
    // Raw storage: pages are touched only as elements are written.
    return Chunk(static_cast<T*>(::operator new(kChunk * sizeof(T), std::align_val_t{alignof(T)})));
  }

  std::vector<Chunk> chunks_;
  std::size_t size_ = 0;
};

}  // namespace karvex
