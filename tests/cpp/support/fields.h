#pragma once

// Shape fields shared by the core tests: plain C++ functions behind the Field
// interface, with or without analytic gradients, counting their calls.

#include <cmath>
#include <cstddef>
#include <functional>
#include <span>
#include <utility>
#include <vector>

#include "field/field.h"
#include "support/vec3.h"

namespace karvex::testing {

// A field from a value function and an optional gradient function.
class FunctionField : public Field {
 public:
  using ValueFn = std::function<double(const Vec3&)>;
  using GradientFn = std::function<Vec3(const Vec3&)>;

  explicit FunctionField(ValueFn value, GradientFn gradient = nullptr)
      : value_(std::move(value)), gradient_(std::move(gradient)) {}

  EvalResult evaluate(std::span<const Vec3> points) override {
    ++calls;
    batch_sizes.push_back(points.size());
    EvalResult result;
    result.values.reserve(points.size());
    for (const Vec3& p : points) result.values.push_back(value_(p));
    if (gradient_) {
      std::vector<Vec3> gradients;
      gradients.reserve(points.size());
      for (const Vec3& p : points) gradients.push_back(gradient_(p));
      result.gradients = std::move(gradients);
    }
    return result;
  }

  std::size_t calls = 0;
  std::vector<std::size_t> batch_sizes;

 private:
  ValueFn value_;
  GradientFn gradient_;
};

inline double length(const Vec3& v) { return std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z); }

// Signed distance to a sphere, negative inside.
inline FunctionField sphere(Vec3 centre, double radius, bool with_gradients = true) {
  auto value = [=](const Vec3& p) {
    return length({p.x - centre.x, p.y - centre.y, p.z - centre.z}) - radius;
  };
  FunctionField::GradientFn gradient = nullptr;
  if (with_gradients) {
    gradient = [=](const Vec3& p) {
      Vec3 d{p.x - centre.x, p.y - centre.y, p.z - centre.z};
      double n = length(d);
      if (n == 0.0) return Vec3{0.0, 0.0, 0.0};
      return Vec3{d.x / n, d.y / n, d.z / n};
    };
  }
  return FunctionField(value, gradient);
}

// The plane n . p = offset, as n . p - offset (n need not be unit).
inline FunctionField plane(Vec3 n, double offset, bool with_gradients = true) {
  auto value = [=](const Vec3& p) { return n.x * p.x + n.y * p.y + n.z * p.z - offset; };
  FunctionField::GradientFn gradient = nullptr;
  if (with_gradients) gradient = [=](const Vec3&) { return n; };
  return FunctionField(value, gradient);
}

// Signed distance to an axis-aligned box of half-extents `half` about `centre`.
inline FunctionField box(Vec3 centre, Vec3 half, bool with_gradients = true) {
  auto value = [=](const Vec3& p) {
    double qx = std::fabs(p.x - centre.x) - half.x;
    double qy = std::fabs(p.y - centre.y) - half.y;
    double qz = std::fabs(p.z - centre.z) - half.z;
    double outside = length({std::fmax(qx, 0.0), std::fmax(qy, 0.0), std::fmax(qz, 0.0)});
    return outside + std::fmin(std::fmax(qx, std::fmax(qy, qz)), 0.0);
  };
  FunctionField::GradientFn gradient = nullptr;
  if (with_gradients) {
    gradient = [=](const Vec3& p) {
      const double h = 1e-6;
      return Vec3{(value({p.x + h, p.y, p.z}) - value({p.x - h, p.y, p.z})) / (2 * h),
                  (value({p.x, p.y + h, p.z}) - value({p.x, p.y - h, p.z})) / (2 * h),
                  (value({p.x, p.y, p.z + h}) - value({p.x, p.y, p.z - h})) / (2 * h)};
    };
  }
  return FunctionField(value, gradient);
}

// Union of two spheres (minimum of their distances).
inline FunctionField two_spheres(Vec3 c1, double r1, Vec3 c2, double r2,
                                 bool with_gradients = true) {
  auto value = [=](const Vec3& p) {
    double da = length({p.x - c1.x, p.y - c1.y, p.z - c1.z}) - r1;
    double db = length({p.x - c2.x, p.y - c2.y, p.z - c2.z}) - r2;
    return std::fmin(da, db);
  };
  FunctionField::GradientFn gradient = nullptr;
  if (with_gradients) {
    gradient = [=](const Vec3& p) {
      double da = length({p.x - c1.x, p.y - c1.y, p.z - c1.z}) - r1;
      double db = length({p.x - c2.x, p.y - c2.y, p.z - c2.z}) - r2;
      Vec3 c = da <= db ? c1 : c2;
      Vec3 d{p.x - c.x, p.y - c.y, p.z - c.z};
      double n = length(d);
      if (n == 0.0) return Vec3{0.0, 0.0, 0.0};
      return Vec3{d.x / n, d.y / n, d.z / n};
    };
  }
  return FunctionField(value, gradient);
}

// Torus about the z axis with major radius R and minor radius r.
inline FunctionField torus(double R, double r, bool with_gradients = true) {
  auto value = [=](const Vec3& p) {
    double q = std::sqrt(p.x * p.x + p.y * p.y) - R;
    return std::sqrt(q * q + p.z * p.z) - r;
  };
  FunctionField::GradientFn gradient = nullptr;
  if (with_gradients) {
    gradient = [=](const Vec3& p) {
      double rho = std::sqrt(p.x * p.x + p.y * p.y);
      double q = rho - R;
      double n = std::sqrt(q * q + p.z * p.z);
      if (n == 0.0 || rho == 0.0) return Vec3{0.0, 0.0, 0.0};
      return Vec3{q / n * p.x / rho, q / n * p.y / rho, p.z / n};
    };
  }
  return FunctionField(value, gradient);
}

}  // namespace karvex::testing
