#pragma once

#include "support/vec3.h"

namespace karvex::vec3_ops {

// Difference, dot and cross products of two vectors, each in one fixed
// order of operations (the dot product sums x and y first, then z), so that
// every file using them computes the same bits.
inline Vec3 sub(const Vec3& a, const Vec3& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline double dot(const Vec3& a, const Vec3& b) { return (a.x * b.x + a.y * b.y) + a.z * b.z; }
inline Vec3 cross(const Vec3& a, const Vec3& b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

}  // namespace karvex::vec3_ops
