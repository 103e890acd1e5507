#include "dc/qef.h"

#include "support/panic.h"

namespace karvex {

namespace {

// The slot of crossing c, checking its group against the cell's groups (a
// leaf whose mask disagrees with its values would otherwise spill into a
// neighbouring cell's slots).
std::uint64_t slot_of(const EdgeCrossing& c, const VertexSlots& slots) {
  const ComponentRow& row = checked_at(slots.cell_components, c.cell);
  if (c.component >= row[8]) fail_index(row[8], c.component);
  return checked_at(slots.vertex_base, c.cell) + c.component;
}

}  // namespace

std::vector<Qef> accumulate_qefs(const std::vector<EdgeCrossing>& crossings,
                                 const std::vector<Vec3>& points, const std::vector<Vec3>& normals,
                                 const VertexSlots& slots) {
  std::vector<Qef> qefs(slots.slot_count);
  for (std::size_t k = 0; k < crossings.size(); ++k) {
    const Vec3& p = checked_at(points, k);
    const Vec3& n = checked_at(normals, k);
    add_crossing(qefs[slot_of(crossings[k], slots)], p, n);
  }
  return qefs;
}

std::vector<std::uint8_t> mark_sharp_slots(const std::vector<EdgeCrossing>& crossings,
                                           const std::vector<Vec3>& normals,
                                           const VertexSlots& slots, double cos_threshold) {
  std::vector<std::uint8_t> sharp(slots.slot_count, 0);
  // A cell has at most twelve crossings, so comparing every pair within the
  // cell's run of crossings is cheap; pairs of different groups are skipped.
  std::size_t begin = 0;
  while (begin < crossings.size()) {
    std::size_t end = begin + 1;
    while (end < crossings.size() && crossings[end].cell == crossings[begin].cell) ++end;
    for (std::size_t i = begin; i < end; ++i) {
      const std::uint64_t slot = slot_of(crossings[i], slots);
      if (sharp[slot]) continue;
      const Vec3& a = checked_at(normals, i);
      for (std::size_t j = i + 1; j < end; ++j) {
        if (crossings[j].component != crossings[i].component) continue;
        const Vec3& b = checked_at(normals, j);
        if (normals_disagree(a, b, cos_threshold)) {
          sharp[slot] = 1;
          break;
        }
      }
    }
    begin = end;
  }
  return sharp;
}

Vec3 solve_qef(const Qef& q) {
  const double r = 1.0 / q.a00;
  const double l10 = q.a01 * r;
  const double l20 = r * q.a02;
  const double e1 = 1.0 / (q.a11 - q.a01 * l10);
  const double u12 = q.a12 - q.a02 * l10;
  const double l21 = u12 * e1;
  const double e2 = (q.a22 - q.a02 * l20) - u12 * l21;
  const double y1 = q.b1 - q.b0 * l10;
  const double y2 = (q.b2 - q.b0 * l20) - y1 * l21;
  const double z = y2 / e2;
  const double y = y1 * e1 - l21 * z;
  const double x = (r * q.b0 - l10 * y) - l20 * z;
  return {x, y, z};
}

}  // namespace karvex
