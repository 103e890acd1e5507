#include "dc/projection.h"

#include "dc/crossings.h"
#include "eval/fd_gradients.h"
#include "panic.h"

namespace karvex {

void project_vertices(WorkerPool& pool, Field& field, std::vector<Vec3>& positions,
                      const std::vector<VertexBox>& boxes, const Octree& tree) {
  if (positions.empty()) return;
  const double iso = tree.iso_value;
  for (int iteration = 0; iteration < 3; ++iteration) {
    EvalResult result = evaluate_batch(field, positions);
    const bool analytic = result.gradients.has_value();
    const std::vector<Vec3> gradients =
        analytic ? std::move(*result.gradients)
                 : estimate_gradients(field, positions, gradient_step(tree));
    const std::vector<double>& values = result.values;

    positions = parallel_map<Vec3>(pool, positions.size(), [&](std::size_t i) {
      const double f = checked_at(values, i);
      const Vec3& g = checked_at(gradients, i);
      Vec3 p = positions[i];
      const double q = (g.x * g.x + g.y * g.y) + g.z * g.z;
      if (!(q > 1e-20)) return p;
      const double t = (f - iso) / q;
      p = {p.x - t * g.x, p.y - t * g.y, p.z - t * g.z};
      const VertexBox& box = checked_at(boxes, i);
      return Vec3{checked_clamp(p.x, box.lo.x, box.hi.x), checked_clamp(p.y, box.lo.y, box.hi.y),
                  checked_clamp(p.z, box.lo.z, box.hi.z)};
    });
    if (!analytic) break;
  }
}

}  // namespace karvex
