#pragma once

#include <optional>
#include <span>
#include <vector>

#include "vec3.h"

namespace karvex {

// What one batch evaluation of the field returns: one value per point and,
// when the field supplies them, one gradient per point. Lengths are not
// checked against the batch; readers use bounds-checked access.
struct EvalResult {
  std::vector<double> values;
  std::optional<std::vector<Vec3>> gradients;
};

// The field, sampled a whole batch at a time. The extension module implements
// it around the user's Python callable; C++ tests implement it with plain
// functions. evaluate() may throw anything (the Python error of a failed
// call, an InvariantFailure); the core lets it propagate unchanged.
class Field {
 public:
  virtual ~Field() = default;
  // Called with at least one point, on the thread that runs the build.
  virtual EvalResult evaluate(std::span<const Vec3> points) = 0;
};

// The only way the core samples a field: an empty batch returns an empty
// result without calling the field; otherwise exactly one field call.
inline EvalResult evaluate_batch(Field& field, std::span<const Vec3> points) {
  if (points.empty()) return {};
  return field.evaluate(points);
}

}  // namespace karvex
