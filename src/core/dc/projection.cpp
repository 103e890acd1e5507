#include "dc/projection.h"

#include <algorithm>
#include <cmath>
#include <span>

#include "dc/crossings.h"
#include "field/fd_gradients.h"
#include "support/panic.h"

namespace karvex {

namespace {

// The Newton step p - ((f - iso) / |g|^2) g when |g|^2 or the step factor
// is not a finite double. Written as it stands, 0 * inf or inf * 0 would
// make a coordinate NaN. Scaled by the largest gradient component instead,
// an axis on which g is zero does not move, and an infinitely steep field
// moves the vertex by nothing (the step shrinks like 1 / |g|); a step that
// is still infinite on an axis ends at the box after the clamp.
Vec3 unbounded_newton_step(const Vec3& p, double excess, const Vec3& g) {
  const double m = std::max({std::abs(g.x), std::abs(g.y), std::abs(g.z)});
  if (std::isinf(m)) return p;
  const Vec3 s{g.x / m, g.y / m, g.z / m};
  const double t = (excess / m) / ((s.x * s.x + s.y * s.y) + s.z * s.z);
  const auto axis = [t](double c, double sc) { return sc == 0.0 ? c : c - t * sc; };
  return {axis(p.x, s.x), axis(p.y, s.y), axis(p.z, s.z)};
}

}  // namespace

void project_vertices(WorkerPool& pool, Field& field, std::vector<Vec3>& positions,
                      std::vector<VertexBox> boxes, const Octree& tree) {
  if (positions.empty()) return;
  const double iso = tree.iso_value;
  for (int iteration = 0; iteration < 3; ++iteration) {
    bool analytic = false;
    // Values and gradients are read where the field returned them; the
    // workers only read that memory while the calling thread waits.
    evaluate_batch_view(field, positions, [&](const EvalView& result) {
      analytic = result.gradients.has_value();
      std::span<const double> values = result.values;
      std::vector<double> kept;
      std::vector<Vec3> estimated;
      GradientRows gradients;
      if (analytic) {
        gradients = *result.gradients;
      } else {
        // The estimate calls the field again: keep this call's values.
        kept.assign(values.begin(), values.end());
        values = kept;
        estimated = estimate_gradients(field, positions, gradient_step(tree));
        gradients = GradientRows::of(estimated);
      }
      positions = parallel_map<Vec3>(pool, positions.size(), [&](std::size_t i) {
        if (i >= values.size()) fail_index(values.size(), i);
        const double f = values[i];
        if (i >= gradients.size()) fail_index(gradients.size(), i);
        const Vec3 g = gradients[i];
        Vec3 p = positions[i];
        const double q = (g.x * g.x + g.y * g.y) + g.z * g.z;
        if (!(q > 1e-20)) return p;
        const double t = (f - iso) / q;
        if (std::isinf(q) || std::isinf(t)) {
          p = unbounded_newton_step(p, f - iso, g);
        } else {
          p = {p.x - t * g.x, p.y - t * g.y, p.z - t * g.z};
        }
        const VertexBox& box = checked_at(boxes, i);
        return Vec3{checked_clamp(p.x, box.lo.x, box.hi.x), checked_clamp(p.y, box.lo.y, box.hi.y),
                    checked_clamp(p.z, box.lo.z, box.hi.z)};
      });
    });
    if (!analytic) break;
  }
}

}  // namespace karvex
