#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "field/field.h"
#include "support/vec3.h"

namespace karvex {

// Forwards to the caller's field, but asks it only about points it has not
// answered yet: each answer (value, and gradient when the field gave one) is
// kept under the point's exact bits, and a batch goes on as one call of its
// points not seen before, each once, in batch order (none: no call). The
// checks of the simplification sample the same points again and again (a
// vertex is a corner of six triangles, a pass that refuses one cell samples
// every other one again, a converged Newton step stands still), and a
// user's field may be expensive.
//
// For a field whose answer at a point depends on that point alone the
// results are those of the field itself, bit for bit. A field that answers
// a point differently in different batches (a network evaluated by matrix
// products) gives the first answer throughout.
//
// At most `capacity` answers are kept (at most 2^31 - 1): a call whose new
// answers would pass that forgets the old ones before keeping them (where
// depends only on the sequence of batches, so results stay independent of
// workers); a batch of more points than that goes to the field as it is.
// The answers kept all come with gradients or all without: a batch that
// recalls some and whose new answers differ in that is asked of the field
// whole and handed on as it comes, keeping nothing new; one that recalls
// none keeps its own answers only. A field that returns fewer values or
// gradient rows than it was asked about fails with the index message, as
// the readers of its batches do, and a failed call leaves the memory as it
// was before it.
class RecallingField final : public Field {
 public:
  static constexpr std::size_t kDefaultCapacity = std::size_t{1} << 19;

  explicit RecallingField(Field& inner, std::size_t capacity = kDefaultCapacity);

  EvalResult evaluate(std::span<const Vec3> points) override;
  bool pointwise() const override { return inner_.pointwise(); }

  // Forgets every answer and gives the memory back.
  void forget();

  // Points asked about and points answered from memory, over every call.
  std::uint64_t asked() const { return asked_; }
  std::uint64_t recalled() const { return recalled_; }

 private:
  struct PointBits {
    std::uint64_t x = 0, y = 0, z = 0;
    bool operator==(const PointBits&) const = default;
  };
  // One answer, on a cache line of its own: a lookup that finds its point
  // reads the answer from the same line. `gradient` is zero when the kept
  // answers have none; `hash` spares rehashing when the table grows.
  struct alignas(64) Entry {
    PointBits key;
    double value;
    Vec3 gradient;
    std::uint64_t hash;
  };
  static_assert(sizeof(Entry) == 64);

  // The entries in chunks that stay where they are: growing adds a chunk
  // instead of copying every entry to a larger array.
  class Entries {
   public:
    std::size_t size() const { return size_; }
    Entry& operator[](std::size_t i) { return chunks_[i >> kChunkBits][i & kChunkMask]; }
    Entry& push_back(const Entry& entry) {
      if (size_ == chunks_.size() << kChunkBits) add_chunk();
      return (*this)[size_++] = entry;
    }
    // Drops the entries from `count` on (their chunks stay for reuse).
    void shrink(std::size_t count) { size_ = count; }
    // Drops the first `count` entries; the others move to the front.
    void drop_front(std::size_t count);
    // Drops every entry and gives the memory back.
    void clear();

   private:
    void add_chunk();

    static constexpr unsigned kChunkBits = 12;  // 4096 entries, 256 KiB
    static constexpr std::size_t kChunkMask = (std::size_t{1} << kChunkBits) - 1;
    std::vector<std::unique_ptr<Entry[]>> chunks_;
    std::size_t size_ = 0;
  };

  static PointBits bits_of(const Vec3& p);
  static std::uint64_t hash_of(const PointBits& p);

  // Makes room for `count` entries in all: no slot moves while a batch adds
  // up to that many.
  void reserve(std::size_t count);
  // Puts every entry, in index order, into the first free slot of its probe
  // run in the empty table.
  void place_all();
  // Takes back the entries from `first` on, newest first: with linear
  // probing, emptying the slots in the reverse order of their filling leaves
  // the table as it was before them (no slot moved since: the batch made its
  // room first).
  void unwind(std::size_t first);
  // Keeps only the entries from `first` on, renumbered from zero.
  void keep_from(std::size_t first);

  Field& inner_;
  std::size_t capacity_;
  // Open addressing with linear probing, at most half full: per slot the
  // high half of its key's hash over one more than its entry's index (zero:
  // empty). Eight bytes a slot keep the table a fraction of the entries, so
  // the slots a batch probes stay in the caches far longer.
  std::vector<std::uint64_t> slots_;
  std::uint64_t mask_ = 0;
  Entries entries_;         // in the order their points were first asked
  bool gradients_ = false;  // whether the kept answers carry gradients
  std::uint64_t asked_ = 0;
  std::uint64_t recalled_ = 0;
};

}  // namespace karvex
