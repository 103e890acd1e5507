#include "dc/hermite.h"

#include <array>
#include <span>
#include <utility>

#include "field/fd_gradients.h"
#include "pool/run_monitor.h"
#include "support/panic.h"

namespace karvex {

SlotQefs accumulate_hermite_data(Field& field, std::vector<CrossingRef> crossings,
                                 std::vector<std::uint8_t> located, SharedCrossings shared,
                                 const std::vector<SurfaceCell>& cells, const VertexSlots& slots,
                                 const Octree& tree, double cos_threshold) {
  const std::size_t n = crossings.size();
  const std::size_t distinct = shared.distinct_count();
  if (shared.distinct_of.size() != n) fail_index(shared.distinct_of.size(), n);
  if (located.size() != distinct) fail_index(located.size(), distinct);
  // The located point of crossing k, placed from its own cell: the same
  // doubles as that of its distinct crossing's first crossing.
  const auto point = [&](std::size_t k) {
    const CrossingRef& c = crossings[k];
    return crossing_point(cells[c.cell], c, located_parameter(located[shared.distinct_of[k]]));
  };
  const auto distinct_point = [&](std::size_t d) { return point(shared.first[d]); };

  SlotQefs out;
  out.qefs.resize(slots.slot_count);
  out.sharp.assign(slots.slot_count, 0);
  evaluate_written_batch(
      field, distinct,
      [&](std::span<Vec3> to) {
        for (std::size_t d = 0; d < distinct; ++d) to[d] = distinct_point(d);
      },
      [&](const EvalView& result) {
        // The values of this call are not used.
        std::vector<Vec3> estimated;
        GradientRows gradients;
        if (result.gradients) {
          gradients = *result.gradients;
        } else {
          std::vector<Vec3> points(distinct);
          for (std::size_t d = 0; d < distinct; ++d) points[d] = distinct_point(d);
          estimated = estimate_gradients(field, points, gradient_step(tree));
          gradients = GradientRows::of(estimated);
        }
        // Cell by cell: its crossings are consecutive, at most twelve.
        std::array<Vec3, 12> normals;
        std::array<std::uint64_t, 12> slot_of;
        std::size_t counted = 0;  // crossings reported to the run's monitor
        for (std::size_t begin = 0; begin < n;) {
          if (begin - counted >= kPollBlock) {
            advance_stage(begin - counted);
            counted = begin;
          }
          const std::uint32_t cell = crossings[begin].cell;
          const ComponentRow& row = checked_at(slots.cell_components, cell);
          const std::uint64_t base = checked_at(slots.vertex_base, cell);
          std::size_t count = 0;
          for (; begin + count < n && crossings[begin + count].cell == cell; ++count) {
            const std::size_t k = begin + count;
            if (count == normals.size()) fail("a surface cell with more than twelve crossings");
            // Distinct crossings are numbered in order of first use, so the
            // first row missing is met at its own number.
            const std::size_t d = shared.distinct_of[k];
            if (d >= gradients.size()) fail_index(gradients.size(), d);
            normals[count] = normal_from_gradient(gradients[d]);
            const std::uint8_t component = crossings[k].component;
            if (component >= row[8]) fail_index(row[8], component);
            slot_of[count] = base + component;
            add_crossing(out.qefs[slot_of[count]], point(k), normals[count]);
          }
          // A slot is sharp when two of its normals disagree.
          for (std::size_t i = 0; i < count; ++i) {
            if (out.sharp[slot_of[i]]) continue;
            for (std::size_t j = i + 1; j < count; ++j) {
              if (crossings[begin + j].component != crossings[begin + i].component) continue;
              if (normals_disagree(normals[i], normals[j], cos_threshold)) {
                out.sharp[slot_of[i]] = 1;
                break;
              }
            }
          }
          begin += count;
        }
      });
  return out;
}

SlotQefs accumulate_hermite_data(Field& field, std::vector<CrossingRef> crossings,
                                 std::vector<std::uint8_t> located,
                                 const std::vector<SurfaceCell>& cells, const VertexSlots& slots,
                                 const Octree& tree, double cos_threshold) {
  SharedCrossings shared = unshared_crossings(crossings.size());
  return accumulate_hermite_data(field, std::move(crossings), std::move(located), std::move(shared),
                                 cells, slots, tree, cos_threshold);
}

}  // namespace karvex
