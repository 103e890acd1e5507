#include "construction/split_criteria.h"

#include <cmath>
#include <limits>

namespace karvex {

namespace {

constexpr double kTinyNorm = 1e-12;
constexpr double kSqrt3 = 1.7320508075688772;

double norm(const Vec3& g) { return std::sqrt(g.x * g.x + g.y * g.y + g.z * g.z); }

std::array<Vec3, 8> own_gradients(const std::array<const CornerSample*, 8>& samples) {
  std::array<Vec3, 8> gradients;
  for (unsigned i = 0; i < 8; ++i) gradients[i] = samples[i]->gradient;
  return gradients;
}

}  // namespace

std::array<Vec3, 8> split_gradients(const std::array<const CornerSample*, 8>& samples,
                                    double side, bool from_values) {
  std::array<Vec3, 8> gradients = own_gradients(samples);
  if (!from_values) return gradients;
  bool missing = false;
  for (const Vec3& g : gradients) missing = missing || std::isnan(g.x + g.y + g.z);
  if (!missing) return gradients;
  const double k = 1.0 / side;
  for (unsigned i = 0; i < 8; ++i) {
    // Corner i's neighbours along x, y, z, lower corner first.
    const auto slope = [&](unsigned bit) {
      const unsigned lo = i & ~bit;
      return (samples[lo | bit]->value - samples[lo]->value) * k;
    };
    gradients[i] = {slope(1u), slope(2u), slope(4u)};
  }
  return gradients;
}

bool leaf_needs_split(const std::array<const CornerSample*, 8>& samples, double cos_threshold) {
  return leaf_needs_split(own_gradients(samples), cos_threshold);
}

bool leaf_needs_split(const std::array<Vec3, 8>& gradients, double cos_threshold) {
  std::array<double, 8> norms;
  std::array<Vec3, 8> normals;
  unsigned normal_count = 0;
  for (unsigned i = 0; i < 8; ++i) {
    const Vec3& g = gradients[i];
    norms[i] = norm(g);
    // Near-zero gradients have no usable direction.
    if (norms[i] > kTinyNorm) {
      normals[normal_count++] = {g.x / norms[i], g.y / norms[i], g.z / norms[i]};
    }
  }

  // Normal variation: the widest angle between any two corner normals.
  if (normal_count >= 2) {
    double c_min = 1.0;
    for (unsigned a = 0; a < normal_count; ++a) {
      for (unsigned b = a + 1; b < normal_count; ++b) {
        const Vec3& p = normals[a];
        const Vec3& q = normals[b];
        c_min = std::fmin(c_min, p.x * q.x + p.y * q.y + p.z * q.z);
      }
    }
    if (cos_threshold > c_min) return true;
  }

  // Slope variation: all eight norms, a vanishing one included (it then
  // vetoes the test through m).
  double m = std::numeric_limits<double>::max();
  double big = 0.0;
  for (double n : norms) {
    m = std::fmin(m, n);
    big = std::fmax(big, n);
  }
  return m > kTinyNorm && big > 4.0 * m;
}

bool homogeneous_cell_needs_split(const std::array<const CornerSample*, 8>& samples,
                                  double iso_value, double side) {
  return homogeneous_cell_needs_split(samples, own_gradients(samples), iso_value, side);
}

bool homogeneous_cell_needs_split(const std::array<const CornerSample*, 8>& samples,
                                  const std::array<Vec3, 8>& gradients, double iso_value,
                                  double side) {
  const double diagonal = side * kSqrt3;
  double v_min = std::numeric_limits<double>::max();
  double g_max = 0.0;
  for (unsigned i = 0; i < 8; ++i) {
    v_min = std::fmin(v_min, std::fabs(samples[i]->value - iso_value));
    g_max = std::fmax(g_max, norm(gradients[i]));
  }
  // A field changing no faster than 1.5 times its steepest corner gradient
  // could reach the level within one diagonal.
  return v_min < diagonal * 1.5 * g_max;
}

}  // namespace karvex
