#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "field/field.h"
#include "support/flat_hash.h"
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
// At most `capacity` answers are kept: a call whose new answers would pass
// that forgets the old ones before keeping them (where depends only on the
// sequence of batches, so results stay independent of workers); a batch of
// more points than that goes to the field as it is. Should a recalled answer and the field's
// disagree on whether gradients come with them, the whole batch is asked
// of the field and handed on as it comes. A field that returns fewer values
// or gradient rows than it was asked about fails with the index message, as
// the readers of its batches do.
class RecallingField final : public Field {
 public:
  static constexpr std::size_t kDefaultCapacity = std::size_t{1} << 19;

  explicit RecallingField(Field& inner, std::size_t capacity = kDefaultCapacity)
      : inner_(inner), capacity_(capacity) {}

  EvalResult evaluate(std::span<const Vec3> points) override;
  bool pointwise() const override { return inner_.pointwise(); }

  // Forgets every answer and gives the memory back.
  void forget() { answers_.clear(); }

  // Points asked about and points answered from memory, over every call.
  std::uint64_t asked() const { return asked_; }
  std::uint64_t recalled() const { return recalled_; }

 private:
  struct PointBits {
    std::uint64_t x = 0, y = 0, z = 0;
    bool operator==(const PointBits&) const = default;
  };
  struct PointBitsHash {
    std::size_t operator()(const PointBits& p) const;
  };
  struct Answer {
    double value = 0.0;
    Vec3 gradient;
    bool has_gradient = false;
  };

  static PointBits bits_of(const Vec3& p);

  Field& inner_;
  std::size_t capacity_;
  FlatHashMap<PointBits, Answer, PointBitsHash> answers_;
  std::uint64_t asked_ = 0;
  std::uint64_t recalled_ = 0;
};

}  // namespace karvex
