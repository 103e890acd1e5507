#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "pool/worker_pool.h"
#include "volume/box_cap.h"
#include "volume/volume_field.h"
#include "volume/volume_window.h"

namespace karvex {
namespace {

// A 3 x 4 x 5 volume of f(i, j, k) = 2i - 3j + 5k + 12 (linear, positive, so the
// interpolant is exact everywhere inside the grid) stored in type T, in C
// order or (fortran) in Fortran order.
template <class T>
struct LinearVolume {
  static constexpr std::array<std::size_t, 3> kShape{3, 4, 5};
  std::vector<T> storage;
  VolumeSamples samples;

  static double at(double i, double j, double k) { return 2 * i - 3 * j + 5 * k + 12; }

  LinearVolume(SampleType type, bool fortran) : storage(3 * 4 * 5) {
    const std::array<std::ptrdiff_t, 3> steps =
        fortran ? std::array<std::ptrdiff_t, 3>{1, 3, 12} : std::array<std::ptrdiff_t, 3>{20, 5, 1};
    for (std::size_t i = 0; i < 3; ++i) {
      for (std::size_t j = 0; j < 4; ++j) {
        for (std::size_t k = 0; k < 5; ++k) {
          storage[i * steps[0] + j * steps[1] + k * steps[2]] =
              static_cast<T>(at(static_cast<double>(i), static_cast<double>(j), static_cast<double>(k)));
        }
      }
    }
    samples.data = reinterpret_cast<const char*>(storage.data());
    samples.type = type;
    samples.shape = kShape;
    for (int a = 0; a < 3; ++a) samples.strides[a] = steps[a] * static_cast<std::ptrdiff_t>(sizeof(T));
  }
};

template <class T>
void expect_linear_field(SampleType type, bool fortran) {
  const LinearVolume<T> volume(type, fortran);
  WorkerPool pool(2);
  const VolumePlacement placement{{0.5, 0.25, 2.0}, {1.0, -1.0, 0.0}, false};
  VolumeField field(volume.samples, placement, pool);
  // Inside (on and between samples, on the last planes) and outside.
  const std::vector<Vec3> units{{0, 0, 0}, {2, 3, 4}, {1.5, 0.25, 3.75}, {2, 1.5, 4}, {0.1, 2.9, 0.6}};
  std::vector<Vec3> points;
  for (const Vec3& u : units) {
    points.push_back({1.0 + u.x * 0.5, -1.0 + u.y * 0.25, u.z * 2.0});
  }
  const EvalResult result = field.evaluate(points);
  ASSERT_TRUE(result.gradients.has_value());
  for (std::size_t i = 0; i < units.size(); ++i) {
    EXPECT_NEAR(result.values[i], LinearVolume<T>::at(units[i].x, units[i].y, units[i].z), 1e-12) << i;
    EXPECT_NEAR((*result.gradients)[i].x, 2 / 0.5, 1e-12);
    EXPECT_NEAR((*result.gradients)[i].y, -3 / 0.25, 1e-12);
    EXPECT_NEAR((*result.gradients)[i].z, 5 / 2.0, 1e-12);
  }
  // Beyond the grid on x (below) and z (above): the value at the nearest
  // point of the grid's box, no slope along the crossed axes.
  Vec3 gradient;
  const double beyond = field.value_at({-4.0, -1.0 + 0.25, 100.0}, gradient);
  EXPECT_NEAR(beyond, LinearVolume<T>::at(0, 1, 4), 1e-12);
  EXPECT_EQ(gradient.x, 0.0);
  EXPECT_NEAR(gradient.y, -12.0, 1e-12);
  EXPECT_EQ(gradient.z, 0.0);
}

TEST(VolumeField, ReadsEveryTypeInEitherOrder) {
  for (const bool fortran : {false, true}) {
    expect_linear_field<std::uint8_t>(SampleType::kUint8, fortran);
    expect_linear_field<std::uint16_t>(SampleType::kUint16, fortran);
    expect_linear_field<std::int16_t>(SampleType::kInt16, fortran);
    expect_linear_field<float>(SampleType::kFloat32, fortran);
    expect_linear_field<double>(SampleType::kFloat64, fortran);
  }
}

TEST(VolumeField, NegatedForBrightInsideAndNaNForNaNPoints) {
  const LinearVolume<double> volume(SampleType::kFloat64, false);
  WorkerPool pool(1);
  VolumeField plain(volume.samples, {}, pool);
  VolumeField negated(volume.samples, {{1, 1, 1}, {}, true}, pool);
  Vec3 g1, g2;
  EXPECT_EQ(negated.value_at({0.5, 1.5, 2.5}, g2), -plain.value_at({0.5, 1.5, 2.5}, g1));
  EXPECT_EQ(g2, (Vec3{-g1.x, -g1.y, -g1.z}));
  EXPECT_TRUE(std::isnan(plain.value_at({std::nan(""), 0, 0}, g1)));
  EXPECT_TRUE(std::isnan(g1.x) && std::isnan(g1.z));
}

TEST(VolumeField, LargeBatchesAreTheSameOnAnyPoolAndRecordTheRangeInTheBox) {
  std::vector<float> storage(9 * 9 * 9);
  for (std::size_t i = 0; i < storage.size(); ++i) storage[i] = static_cast<float>((i * 7919) % 113) - 50.0f;
  const VolumeSamples samples{reinterpret_cast<const char*>(storage.data()), SampleType::kFloat32,
                              {9, 9, 9}, {81 * 4, 9 * 4, 4}};
  std::vector<Vec3> points;
  for (int n = 0; n < 100000; ++n) {
    points.push_back({std::fmod(n * 0.0137, 10.0) - 1.0, std::fmod(n * 0.0071, 10.0) - 1.0,
                      std::fmod(n * 0.0029, 10.0) - 1.0});
  }
  const BoxCap cap({0, 0, 0}, {6, 8, 8}, 3.0);
  WorkerPool one(1), three(3);
  VolumeField a(samples, {}, one, cap), b(samples, {}, three, cap);
  const EvalResult ra = a.evaluate(points), rb = b.evaluate(points);
  EXPECT_EQ(ra.values, rb.values);
  EXPECT_EQ(*ra.gradients, *rb.gradients);
  EXPECT_EQ(a.low(), b.low());
  EXPECT_EQ(a.high(), b.high());
  // The range is that of the uncapped field at the points in the box.
  VolumeField uncapped(samples, {}, one);
  double low = std::numeric_limits<double>::infinity(), high = -low;
  for (const Vec3& p : points) {
    Vec3 g;
    const double v = uncapped.value_at(p, g);
    if (p.x >= 0 && p.x <= 6 && p.y >= 0 && p.y <= 8 && p.z >= 0 && p.z <= 8) {
      low = std::min(low, v);
      high = std::max(high, v);
    }
  }
  EXPECT_EQ(a.low(), low);
  EXPECT_EQ(a.high(), high);
}

// Corners read from a whole volume of floats, counting the calls and
// noting whether each came from the thread the field was made on.
class RecordingFarSamples final : public FarSamples {
 public:
  explicit RecordingFarSamples(const VolumeSamples& whole) : whole_(whole) {}

  void read_corners(std::span<const std::array<std::int64_t, 3>> cells,
                    std::span<double> corners) override {
    ++calls;
    cells_read += cells.size();
    on_caller = on_caller && std::this_thread::get_id() == caller_;
    for (std::size_t n = 0; n < cells.size(); ++n) {
      for (unsigned c = 0; c < 8; ++c) {
        corners[8 * n + c] = whole_.at(static_cast<std::size_t>(cells[n][0]) + (c >> 2),
                                       static_cast<std::size_t>(cells[n][1]) + ((c >> 1) & 1u),
                                       static_cast<std::size_t>(cells[n][2]) + (c & 1u));
      }
    }
  }

  int calls = 0;
  std::size_t cells_read = 0;
  bool on_caller = true;

 private:
  VolumeSamples whole_;
  std::thread::id caller_ = std::this_thread::get_id();
};

TEST(VolumeField, AWindowReadsBeyondItOncePerBatchWithTheWholeVolumesNumbers) {
  std::vector<float> storage(9 * 9 * 9);
  for (std::size_t i = 0; i < storage.size(); ++i) storage[i] = static_cast<float>((i * 7919) % 113) - 50.0f;
  const VolumeSamples whole{reinterpret_cast<const char*>(storage.data()), SampleType::kFloat32,
                            {9, 9, 9}, {81 * 4, 9 * 4, 4}};
  // The block of 4 x 5 x 6 samples from (2, 3, 1), read where it lies.
  VolumeSamples block = whole;
  block.data += 2 * whole.strides[0] + 3 * whole.strides[1] + 1 * whole.strides[2];
  block.shape = {4, 5, 6};
  std::vector<Vec3> points;
  for (int n = 0; n < 50000; ++n) {
    points.push_back({std::fmod(n * 0.0137, 10.0) - 1.0, std::fmod(n * 0.0071, 10.0) - 1.0,
                      std::fmod(n * 0.0029, 10.0) - 1.0});
  }
  const BoxCap cap({0, 0, 0}, {6, 8, 8}, 3.0);
  const VolumePlacement placement{{1, 1, 1}, {}, true};
  WorkerPool three(3);
  RecordingFarSamples far(whole);
  VolumeField windowed(block, placement, three, cap, VolumeWindow{{2, 3, 1}, {9, 9, 9}, &far});
  VolumeField full(whole, placement, three, cap);
  const EvalResult rw = windowed.evaluate(points), rf = full.evaluate(points);
  EXPECT_EQ(rw.values, rf.values);
  EXPECT_EQ(*rw.gradients, *rf.gradients);
  EXPECT_EQ(windowed.low(), full.low());
  EXPECT_EQ(windowed.high(), full.high());
  EXPECT_EQ(far.calls, 1);
  EXPECT_TRUE(far.on_caller);
  EXPECT_GT(far.cells_read, 0u);
  EXPECT_LT(far.cells_read, points.size());
  // A single point beyond the window, and one in it, read no differently.
  for (const Vec3& p : {Vec3{0.5, 0.5, 0.5}, Vec3{3.5, 4.5, 2.5}}) {
    Vec3 gw, gf;
    EXPECT_EQ(windowed.value_at(p, gw), full.value_at(p, gf));
    EXPECT_EQ(gw, gf);
  }
  EXPECT_EQ(far.calls, 2);
}

TEST(BoxCap, TheFieldInsideTheBoxDistanceAtItsFacesAndBeyond) {
  const BoxCap cap({0, 0, 0}, {2, 4, 6}, 1.0);
  struct Case {
    Vec3 p;
    double field;
    bool inside;
    double value;
    Vec3 gradient;
  };
  const Vec3 kept{9, 9, 9};  // the field's own gradient, left alone
  const Case cases[] = {
      {{1, 2, 3}, 0.5, true, 0.5, kept},                // deep inside: the field wins
      {{1.9, 2, 3}, 0.5, true, -0.1 + 1.0, {1, 0, 0}},  // near the +x face: the box wins
      {{1, 0.5, 3}, -3.0, true, -0.5 + 1.0, {0, -1, 0}},
      {{1, 2, 3}, 0.0, true, 0.0, kept},                // a tie goes to the field
      {{5, 8, 3}, 0.0, false, 5.0 + 1.0, {0.6, 0.8, 0}},  // beyond an edge: the distance
      {{-1, 2, 3}, 7.0, false, 7.0, kept},              // outside but the field is larger
  };
  for (const Case& c : cases) {
    double value = c.field;
    Vec3 gradient = kept;
    EXPECT_EQ(cap.apply(c.p, value, gradient), c.inside);
    EXPECT_DOUBLE_EQ(value, c.value);
    EXPECT_DOUBLE_EQ(gradient.x, c.gradient.x);
    EXPECT_DOUBLE_EQ(gradient.y, c.gradient.y);
    EXPECT_DOUBLE_EQ(gradient.z, c.gradient.z);
  }
}

// A field 50 per unit steep whose surface is the plane x = 1 (inside below
// it), capped by the box [0, 2] x [0, 4] x [0, 6] at level 1.
struct SteepPlane {
  static constexpr double kSteep = 50.0;
  double value(const Vec3& p) const { return 1.0 + kSteep * (p.x - 1.0); }
};

// Where the solid's surface is nearer, the box's faces or the plane.
double nearest_surface(const Vec3& p) {
  const double faces = std::min({p.x, 2.0 - p.x, p.y, 4.0 - p.y, p.z, 6.0 - p.z});
  return std::min(faces, 1.0 - p.x);
}

TEST(BoxCap, ScaledToTheFieldItReadsTheNearerOfItsSurfaceAndTheFaces) {
  BoxCap scaled({0, 0, 0}, {2, 4, 6}, 1.0);
  scaled.set_scale(SteepPlane::kSteep);
  const BoxCap unscaled({0, 0, 0}, {2, 4, 6}, 1.0);
  const SteepPlane field;
  bool unscaled_reads_far = false;
  for (int i = 0; i < 400; ++i) {
    // Points inside the solid: x in (0, 1), spread over the box.
    const Vec3 p{0.0025 + std::fmod(i * 0.0371, 0.995), std::fmod(i * 0.193, 4.0),
                 std::fmod(i * 0.587, 6.0)};
    double value = field.value(p);
    Vec3 gradient{SteepPlane::kSteep, 0, 0};
    ASSERT_TRUE(scaled.apply(p, value, gradient));
    const double length = std::sqrt(gradient.x * gradient.x + gradient.y * gradient.y + gradient.z * gradient.z);
    // The first-order distance (level - value) / |gradient| is the distance
    // to the capped solid's surface.
    EXPECT_NEAR((1.0 - value) / length, nearest_surface(p), 1e-12) << p.x << " " << p.y << " " << p.z;
    double plain = field.value(p);
    Vec3 plain_gradient{SteepPlane::kSteep, 0, 0};
    unscaled.apply(p, plain, plain_gradient);
    const double plain_length = std::sqrt(plain_gradient.x * plain_gradient.x +
                                          plain_gradient.y * plain_gradient.y +
                                          plain_gradient.z * plain_gradient.z);
    // Never shorter, but often much longer: the face's distance where the
    // plane is far nearer.
    EXPECT_GE((1.0 - plain) / plain_length, nearest_surface(p) - 1e-12);
    unscaled_reads_far = unscaled_reads_far || (1.0 - plain) / plain_length > 2.0 * nearest_surface(p);
    // The same signs either way, as the construction's sign test reads them.
    const bool below = field.value(p) < 1.0 && scaled.keeps_below(0, p.x) && scaled.keeps_below(1, p.y) &&
                       scaled.keeps_below(2, p.z);
    EXPECT_EQ(value < 1.0, below);
    EXPECT_EQ(plain < 1.0, below);
  }
  EXPECT_TRUE(unscaled_reads_far);
}

}  // namespace
}  // namespace karvex
