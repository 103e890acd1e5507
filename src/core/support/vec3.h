#pragma once

namespace karvex {

// A point, box corner, gradient, normal or vertex. Arithmetic is spelled out
// component by component where it is used, so that the order of every
// floating-point operation stays visible and fixed.
struct Vec3 {
  double x = 0.0;
  double y = 0.0;
  double z = 0.0;

  // Component by axis number: 0 = x, 1 = y, 2 = z.
  double operator[](int axis) const { return axis == 0 ? x : (axis == 1 ? y : z); }
  double& operator[](int axis) { return axis == 0 ? x : (axis == 1 ? y : z); }

  friend bool operator==(const Vec3&, const Vec3&) = default;
};

}  // namespace karvex
