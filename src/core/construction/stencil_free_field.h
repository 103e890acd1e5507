#pragma once

#include <span>

#include "field/field.h"

namespace karvex {

// The field as construction sees it when its split tests take corner
// gradients from the cells' own values (MeshingOptions::lean_sampling): a
// batch the field returns without gradients is handed on with NaN gradient
// rows, so the sample store asks for no finite-difference stencil and every
// sample without a gradient of the field's own says so. Batches with
// gradients pass unchanged; so do the field's errors.
class StencilFreeField : public Field {
 public:
  explicit StencilFreeField(Field& inner) : inner_(inner) {}

  EvalResult evaluate(std::span<const Vec3> points) override;
  void evaluate_view(std::span<const Vec3> points, const EvalConsumer& consume) override;
  void evaluate_written(std::size_t count, const PointWriter& write,
                        const EvalConsumer& consume) override;
  bool pointwise() const override { return inner_.pointwise(); }

 private:
  Field& inner_;
};

}  // namespace karvex
