#include "construction/stencil_free_field.h"

#include <limits>
#include <vector>

namespace karvex {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
const Vec3 kNoGradient{kNaN, kNaN, kNaN};

// The view with every row the NaN gradient (a stride of 0 repeats it), when
// the field gave none.
EvalView completed(const EvalView& view) {
  if (view.gradients) return view;
  EvalView out = view;
  out.gradients = GradientRows{reinterpret_cast<const char*>(&kNoGradient), 0, sizeof(double),
                               view.values.size()};
  return out;
}

}  // namespace

EvalResult StencilFreeField::evaluate(std::span<const Vec3> points) {
  EvalResult result = inner_.evaluate(points);
  if (!result.gradients) result.gradients = std::vector<Vec3>(result.values.size(), kNoGradient);
  return result;
}

void StencilFreeField::evaluate_view(std::span<const Vec3> points, const EvalConsumer& consume) {
  inner_.evaluate_view(points, [&](const EvalView& view) { consume(completed(view)); });
}

void StencilFreeField::evaluate_written(std::size_t count, const PointWriter& write,
                                        const EvalConsumer& consume) {
  inner_.evaluate_written(count, write, [&](const EvalView& view) { consume(completed(view)); });
}

}  // namespace karvex
