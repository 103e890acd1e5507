#pragma once

// Fields shared by the core tests: shapes made of plain C++ functions behind
// the Field interface, with or without analytic gradients, counting their
// calls; a recording wrapper; and fields that fail or return too little.

#include <cmath>
#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
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

// A field whose gradients are central differences of its own value function
// (step 1e-6), for shapes without a closed-form gradient.
inline FunctionField with_numeric_gradient(std::function<double(const Vec3&)> f) {
  return FunctionField(f, [f](const Vec3& p) {
    const double e = 1e-6;
    return Vec3{(f({p.x + e, p.y, p.z}) - f({p.x - e, p.y, p.z})) / (2 * e),
                (f({p.x, p.y + e, p.z}) - f({p.x, p.y - e, p.z})) / (2 * e),
                (f({p.x, p.y, p.z + e}) - f({p.x, p.y, p.z - e})) / (2 * e)};
  });
}

// The gyroid sin(pi x) cos(pi y) + sin(pi y) cos(pi z) + sin(pi z) cos(pi x).
inline FunctionField gyroid() {
  return with_numeric_gradient([](const Vec3& p) {
    const double k = 3.141592653589793;
    return std::sin(k * p.x) * std::cos(k * p.y) + std::sin(k * p.y) * std::cos(k * p.z) +
           std::sin(k * p.z) * std::cos(k * p.x);
  });
}

// A box of half-side 0.55 with a ball of radius 0.5 about (0.5, 0.5, 0.5)
// taken out: concave sharp edges where the ball meets the faces.
inline FunctionField bitten_box() {
  return with_numeric_gradient([](const Vec3& p) {
    const double q[3] = {std::fabs(p.x) - 0.55, std::fabs(p.y) - 0.55, std::fabs(p.z) - 0.55};
    const double box = length({std::fmax(q[0], 0), std::fmax(q[1], 0), std::fmax(q[2], 0)}) +
                       std::fmin(std::fmax(q[0], std::fmax(q[1], q[2])), 0.0);
    return std::fmax(box, 0.5 - length({p.x - 0.5, p.y - 0.5, p.z - 0.5}));
  });
}

// Forwards to another field and keeps every point it was asked for, batch
// by batch; `before`
// (when set) runs at the start of each call, so a test can look at the tree
// as it stands when a pass samples.
class RecordingField : public Field {
 public:
  explicit RecordingField(Field& inner) : inner_(inner) {}

  EvalResult evaluate(std::span<const Vec3> points) override {
    if (before) before();
    ++calls;
    points_seen.insert(points_seen.end(), points.begin(), points.end());
    EvalResult result = inner_.evaluate(points);
    batches.push_back(
        {std::vector<Vec3>(points.begin(), points.end()), result.gradients.has_value()});
    return result;
  }

  struct Batch {
    std::vector<Vec3> points;
    bool gradients;  // the inner field returned gradients for it
  };

  std::function<void()> before;
  std::size_t calls = 0;
  std::vector<Vec3> points_seen;
  std::vector<Batch> batches;

 private:
  Field& inner_;
};

// Failure injection.

// What FailingField throws.
struct FieldFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Forwards to another field and throws FieldFailure("call <n>") on its n-th
// call (1-based).
class FailingField : public Field {
 public:
  FailingField(Field& inner, std::size_t fail_at) : inner_(inner), fail_at_(fail_at) {}
  EvalResult evaluate(std::span<const Vec3> points) override {
    if (++calls == fail_at_) throw FieldFailure("call " + std::to_string(calls));
    return inner_.evaluate(points);
  }
  std::size_t calls = 0;

 private:
  Field& inner_;
  std::size_t fail_at_;
};

// Returns fewer results than points: `values` values of 1.0 (one per point
// when unset) and, when set, `gradient_rows` gradients (1, 0, 0).
class ShortField : public Field {
 public:
  explicit ShortField(std::optional<std::size_t> values,
                      std::optional<std::size_t> gradient_rows = std::nullopt)
      : values_(values), gradient_rows_(gradient_rows) {}
  EvalResult evaluate(std::span<const Vec3> points) override {
    EvalResult result;
    result.values.assign(values_.value_or(points.size()), 1.0);
    if (gradient_rows_) result.gradients.emplace(*gradient_rows_, Vec3{1, 0, 0});
    return result;
  }

 private:
  std::optional<std::size_t> values_;
  std::optional<std::size_t> gradient_rows_;
};

}  // namespace karvex::testing
