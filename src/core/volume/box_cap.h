#pragma once

#include <cmath>

#include "support/vec3.h"

namespace karvex {

// The box as the region meshed: a field limited to the box is
//
//   g(p) = max(f(p), d(p) + level)
//
// at `level`, with d the exact signed distance to the box (negative inside),
// so the solid g < level is the part of f < level inside the box, closed by
// flat caps on the box's faces. The package's NumPy wrapper for callable
// fields computes the same numbers in the same order; this is its native
// form for fields the core samples itself.
//
// The distance may be measured in the field's units instead, s d(p) for a
// field that changes by about s per unit of length (set_scale): the solid
// and every sign are the same, and a value's first-order distance, its
// difference from the level over its gradient's length, is then the
// distance to the nearer of the field's surface and the box's faces where
// the field's gradient is about s. With d alone, on a field steeper than a
// distance (a scan's samples change by tens per voxel) the box wins at
// points well inside the solid and reads as far from any surface as the
// nearest face, though the field's surface is much nearer. Never shorter
// than the distance to the capped solid's surface, whatever s.
class BoxCap {
 public:
  BoxCap(Vec3 low, Vec3 high, double level) : low_(low), high_(high), level_(level) {}

  const Vec3& low() const { return low_; }
  const Vec3& high() const { return high_; }
  double level() const { return level_; }
  // s, positive and finite; 1 (the distance itself) until set. A scale of 1
  // gives the unscaled numbers to the bit.
  void set_scale(double scale) { scale_ = scale; }
  double scale() const { return scale_; }

  // Whether the cap leaves a value below the level at a point whose
  // coordinate along `axis` is x, as far as that axis decides: the capped
  // value is below the level exactly where the field's is and this holds on
  // every axis (the walls are the largest slab distance plus the level, and
  // rounding the sum keeps the order of the slabs).
  bool keeps_below(int axis, double x) const {
    const double below = low_[axis] - x;
    const double above = x - high_[axis];
    const double slab = below > above ? below : above;
    return slab * scale_ + level_ < level_;
  }

  // Caps the field's sample at p in place. Returns whether p lies in the
  // box (closed), where the caller records the field's own value. Ties go
  // to the field, so its surface on a face is kept as it is; where the box
  // wins, the gradient is the box distance's: the outward normal of the
  // nearest face inside (the first axis on a tie), the unit vector from the
  // nearest point of the box outside.
  bool apply(const Vec3& p, double& value, Vec3& gradient) const {
    double below[3], above[3], slabs[3];
    for (int axis = 0; axis < 3; ++axis) {
      below[axis] = low_[axis] - p[axis];
      above[axis] = p[axis] - high_[axis];
      slabs[axis] = below[axis] > above[axis] ? below[axis] : above[axis];
    }
    double deepest = slabs[0];
    for (int axis = 1; axis < 3; ++axis) deepest = slabs[axis] > deepest ? slabs[axis] : deepest;
    const bool inside = deepest <= 0.0;
    // Inside, the largest (negative) slab distance; outside, the length of
    // the positive ones.
    double outward[3];
    for (int axis = 0; axis < 3; ++axis) outward[axis] = slabs[axis] > 0.0 ? slabs[axis] : 0.0;
    const double reach = inside ? 0.0
                                : std::sqrt(outward[0] * outward[0] + outward[1] * outward[1] +
                                            outward[2] * outward[2]);
    const double walls = (inside ? deepest : reach) * scale_ + level_;
    if (!(walls > value)) return inside;
    value = walls;
    if (inside) {
      int nearest = 0;
      for (int axis = 1; axis < 3; ++axis) nearest = slabs[axis] > slabs[nearest] ? axis : nearest;
      gradient = Vec3{};
      gradient[nearest] = below[nearest] > above[nearest] ? -scale_ : scale_;
    } else {
      for (int axis = 0; axis < 3; ++axis) {
        const double sign = below[axis] > above[axis] ? -1.0 : 1.0;
        gradient[axis] = sign * outward[axis] / reach * scale_;
      }
    }
    return inside;
  }

 private:
  Vec3 low_;
  Vec3 high_;
  double level_;
  double scale_ = 1.0;
};

}  // namespace karvex
