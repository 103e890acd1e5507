#pragma once

#include <cstddef>
#include <cstring>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "support/vec3.h"

namespace karvex {

// What one batch evaluation of the field returns: one value per point and,
// when the field supplies them, one gradient per point. Lengths are not
// checked against the batch; readers use bounds-checked access.
struct EvalResult {
  std::vector<double> values;
  std::optional<std::vector<Vec3>> gradients;
};

// Gradient rows of a batch result where they lie: row r starts at
// base + r * row_stride bytes and its components are column_stride bytes
// apart. Strides may be negative and elements unaligned (a NumPy array of any
// layout), so rows are read bytewise.
struct GradientRows {
  const char* base = nullptr;
  std::ptrdiff_t row_stride = 0;
  std::ptrdiff_t column_stride = 0;
  std::size_t rows = 0;

  std::size_t size() const { return rows; }
  Vec3 operator[](std::size_t r) const {
    const char* row = base + static_cast<std::ptrdiff_t>(r) * row_stride;
    Vec3 g;
    std::memcpy(&g.x, row, sizeof(double));
    std::memcpy(&g.y, row + column_stride, sizeof(double));
    std::memcpy(&g.z, row + 2 * column_stride, sizeof(double));
    return g;
  }

  // Rows over a vector of gradients.
  static GradientRows of(const std::vector<Vec3>& gradients) {
    return {reinterpret_cast<const char*>(gradients.data()), sizeof(Vec3), sizeof(double),
            gradients.size()};
  }
};

// A batch result seen in place, valid only while the consumer it is handed to
// runs: what EvalResult holds, without copying it out of the field's memory.
struct EvalView {
  std::span<const double> values;
  std::optional<GradientRows> gradients;
};

using EvalConsumer = std::function<void(const EvalView&)>;
// Writes the N points of a batch, in batch order, into the span it is given.
using PointWriter = std::function<void(std::span<Vec3>)>;

// The field, sampled a whole batch at a time. The extension module implements
// it around the user's Python callable; C++ tests implement it with plain
// functions. evaluate() may throw anything (the Python error of a failed
// call, an InvariantFailure); the core lets it propagate unchanged.
class Field {
 public:
  virtual ~Field() = default;
  // Called with at least one point, on the thread that runs the build.
  virtual EvalResult evaluate(std::span<const Vec3> points) = 0;

  // The same single field call, but its result is handed to `consume` where
  // it lies instead of being returned: for batches of millions of points,
  // callers that store the samples elsewhere anyway save a copy of them. The
  // view must not be kept beyond `consume`, which may itself call the field
  // again. What `consume` throws propagates. The default evaluates and views
  // the returned EvalResult.
  virtual void evaluate_view(std::span<const Vec3> points, const EvalConsumer& consume) {
    const EvalResult result = evaluate(points);
    EvalView view{result.values, std::nullopt};
    if (result.gradients) view.gradients = GradientRows::of(*result.gradients);
    consume(view);
  }

  // evaluate_view of `count` (>= 1) points that `write` puts straight into
  // the memory the field reads them from, so that points computed only to
  // be evaluated are not first stored and then copied. The default writes
  // them into a vector.
  virtual void evaluate_written(std::size_t count, const PointWriter& write,
                                const EvalConsumer& consume) {
    std::vector<Vec3> points(count);
    write(points);
    evaluate_view(points, consume);
  }

  // True when each point's value and gradient depend on that point alone,
  // never on the rest of its batch, every batch comes with gradients or
  // none does, and a call reaches nothing outside native code (no user
  // callback): callers may then split a batch into slices, or evaluate
  // points in any grouping, and get the same bits.
  // False by default: a user's field sees exactly the batches the core
  // documents.
  virtual bool pointwise() const { return false; }

  // For a field the core caps by the box itself: from now on the box's
  // distance counts `gradient` per unit of length (BoxCap::set_scale), the
  // field's own typical steepness, so that the simplification's checks read
  // first-order distances to the capped surface. Signs do not change. The
  // default (a field capped elsewhere, or not at all) ignores it.
  virtual void scale_cap(double /*gradient*/) {}

  // For a field that can answer points on any thread, one worker of the pool
  // at a time or several at once: writes the values and gradients of
  // `points` (as many of each) exactly as a batch of them would give them,
  // records what such a batch records, and returns true. Callers use it
  // inside the pool's loops in place of a batch per round, so that a search
  // runs its rounds on one worker without a pass of the pool per round. The
  // default (a field that must see whole batches) writes nothing and returns
  // false; a field that answers true is pointwise.
  virtual bool sample_on_worker(std::span<const Vec3> points, std::span<double> values,
                                std::span<Vec3> gradients) {
    (void)points;
    (void)values;
    (void)gradients;
    return false;
  }
};

// Whether `field` answers points on the pool's workers (Field::sample_on_worker).
inline bool samples_on_worker(Field& field) {
  return field.pointwise() && field.sample_on_worker({}, {}, {});
}

// The only way the core samples a field: an empty batch returns an empty
// result without calling the field; otherwise exactly one field call.
inline EvalResult evaluate_batch(Field& field, std::span<const Vec3> points) {
  if (points.empty()) return {};
  return field.evaluate(points);
}

// The same, with the result viewed in place (an empty batch gives an empty
// view without a field call).
inline void evaluate_batch_view(Field& field, std::span<const Vec3> points,
                                const EvalConsumer& consume) {
  if (points.empty()) {
    consume(EvalView{});
    return;
  }
  field.evaluate_view(points, consume);
}

// The same for `count` points that `write` produces (Field::evaluate_written).
inline void evaluate_written_batch(Field& field, std::size_t count, const PointWriter& write,
                                   const EvalConsumer& consume) {
  if (count == 0) {
    consume(EvalView{});
    return;
  }
  field.evaluate_written(count, write, consume);
}

}  // namespace karvex
