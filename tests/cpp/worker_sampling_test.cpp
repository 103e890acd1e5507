// Sampling on the pool's workers (Field::sample_on_worker): a native volume
// answers there with a batch's numbers and range, and the stages that use it
// (the root search, the lean projection) give the same bits as when the same
// field answers only whole batches.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

#include "construction/dense_volume_build.h"
#include "dc/extract.h"
#include "pool/worker_pool.h"
#include "support/cube_samples.h"
#include "volume/box_cap.h"
#include "volume/volume_field.h"

namespace karvex {
namespace {

// The same field, answering whole batches only.
class BatchesOnly final : public Field {
 public:
  explicit BatchesOnly(Field& inner) : inner_(inner) {}
  EvalResult evaluate(std::span<const Vec3> points) override { return inner_.evaluate(points); }
  void evaluate_view(std::span<const Vec3> points, const EvalConsumer& consume) override {
    inner_.evaluate_view(points, consume);
  }
  void evaluate_written(std::size_t count, const PointWriter& write,
                        const EvalConsumer& consume) override {
    inner_.evaluate_written(count, write, consume);
  }
  bool pointwise() const override { return inner_.pointwise(); }

 private:
  Field& inner_;
};

// A 17^3 volume of a wobbly ball's distance stored as T (scaled and
// shifted, and for the integer types clamped to the type's range), with
// exact zeros at some samples.
template <class T>
struct BallSamples : CubeSamples<T> {
  BallSamples(SampleType type, double scale, double shift)
      : CubeSamples<T>(17, type, [&](std::size_t i, std::size_t j, std::size_t k) {
          const double x = static_cast<double>(i) - 7.3;
          const double y = static_cast<double>(j) - 8.1;
          const double z = static_cast<double>(k) - 8.6;
          double d = std::sqrt(x * x + y * y + z * z) - 5.2 + 0.7 * std::sin(0.9 * x * y);
          if ((i + 2 * j + 3 * k) % 13 == 0) d = 0.0;
          double stored = d * scale + shift;
          if constexpr (std::is_integral_v<T>) {
            // Out-of-range values saturate, as a scan's do: converting them
            // unclamped is undefined.
            stored = std::clamp(stored, static_cast<double>(std::numeric_limits<T>::lowest()),
                                static_cast<double>(std::numeric_limits<T>::max()));
          }
          return static_cast<T>(stored);
        }) {}
};

// A value and a vector bit for bit (NaN and the sign of zero included).
std::array<std::uint64_t, 4> bits(double value, const Vec3& v) {
  return {std::bit_cast<std::uint64_t>(value), std::bit_cast<std::uint64_t>(v.x),
          std::bit_cast<std::uint64_t>(v.y), std::bit_cast<std::uint64_t>(v.z)};
}

struct SamplingCase {
  const char* name;
  bool capped;
  bool negate;
  Vec3 spacing;
  Vec3 origin;
};

class WorkerSampling : public testing::TestWithParam<SamplingCase> {};

// Points on and off the grid, beyond it on every side, and NaN.
std::vector<Vec3> probe_points(const VolumePlacement& placement) {
  std::vector<Vec3> points;
  for (int n = 0; n < 5000; ++n) {
    const Vec3 u{std::fmod(n * 0.137, 20.0) - 2.0, std::fmod(n * 0.071, 20.0) - 2.0,
                 std::fmod(n * 0.029, 20.0) - 2.0};
    points.push_back({placement.origin.x + u.x * placement.spacing.x,
                      placement.origin.y + u.y * placement.spacing.y,
                      placement.origin.z + u.z * placement.spacing.z});
  }
  points.push_back({std::nan(""), 1.0, 1.0});
  points.push_back(placement.origin);
  return points;
}

template <class T>
void expect_worker_answers_are_the_batchs(const SamplingCase& c, SampleType type, double scale,
                                          double shift) {
  const BallSamples<T> volume(type, scale, shift);
  const VolumePlacement placement{c.spacing, c.origin, c.negate};
  std::optional<BoxCap> cap;
  if (c.capped) {
    cap = BoxCap({c.origin.x + 2 * c.spacing.x, c.origin.y, c.origin.z + c.spacing.z},
                 {c.origin.x + 12 * c.spacing.x, c.origin.y + 16 * c.spacing.y,
                  c.origin.z + 9 * c.spacing.z},
                 shift);
  }
  WorkerPool pool(3);
  VolumeField batched(volume.samples, placement, pool, cap);
  VolumeField on_workers(volume.samples, placement, pool, cap);
  const std::vector<Vec3> points = probe_points(placement);
  const EvalResult expected = batched.evaluate(points);
  // Blocks of uneven sizes, on the workers all at once.
  std::vector<double> values(points.size());
  std::vector<Vec3> gradients(points.size());
  constexpr std::size_t kBlock = 37;
  const std::size_t blocks = (points.size() + kBlock - 1) / kBlock;
  std::vector<std::uint8_t> answered(blocks, 0);
  parallel_for(pool, blocks, [&](std::size_t b) {
    const std::size_t first = b * kBlock;
    const std::size_t m = std::min(kBlock, points.size() - first);
    answered[b] = on_workers.sample_on_worker(std::span(points).subspan(first, m),
                                              std::span(values).subspan(first, m),
                                              std::span(gradients).subspan(first, m));
  }, 1);
  for (std::size_t b = 0; b < blocks; ++b) ASSERT_TRUE(answered[b]) << b;
  ASSERT_TRUE(expected.gradients.has_value());
  for (std::size_t i = 0; i < points.size(); ++i) {
    EXPECT_EQ(bits(values[i], gradients[i]), bits(expected.values[i], (*expected.gradients)[i]))
        << i;
  }
  EXPECT_EQ(on_workers.low(), batched.low());
  EXPECT_EQ(on_workers.high(), batched.high());
  if (c.capped) {
    EXPECT_LT(batched.low(), batched.high());
  }
}

TEST_P(WorkerSampling, AVolumeAnswersOnWorkersWithTheBatchesNumbersAndRange) {
  const SamplingCase& c = GetParam();
  expect_worker_answers_are_the_batchs<float>(c, SampleType::kFloat32, 1.0, 0.0);
  expect_worker_answers_are_the_batchs<double>(c, SampleType::kFloat64, 1.0, 0.0);
  expect_worker_answers_are_the_batchs<std::uint8_t>(c, SampleType::kUint8, 20.0, 127.0);
  expect_worker_answers_are_the_batchs<std::int16_t>(c, SampleType::kInt16, 300.0, 0.0);
}

// A mesh of the volume, each stage sampling on the workers where it can,
// against the same with whole batches only: the same bits, on one worker
// and on three.
TEST_P(WorkerSampling, MeshesAreTheSameBitsAsWithWholeBatches) {
  const SamplingCase& c = GetParam();
  const BallSamples<float> volume(SampleType::kFloat32, 1.0, 0.0);
  const VolumePlacement placement{c.spacing, c.origin, c.negate};
  const BBox box{c.origin, {c.origin.x + 16 * c.spacing.x, c.origin.y + 16 * c.spacing.y,
                            c.origin.z + 16 * c.spacing.z}};
  const double level = c.negate ? -0.25 : 0.25;
  std::optional<BoxCap> cap;
  if (c.capped) cap = BoxCap(box.min, box.max, level);
  std::optional<Mesh> first;
  for (const std::size_t workers : {std::size_t{1}, std::size_t{3}}) {
    WorkerPool pool(workers);
    VolumeField field(volume.samples, placement, pool, cap);
    ASSERT_TRUE(samples_on_worker(field));
    BatchesOnly batches(field);
    ASSERT_FALSE(samples_on_worker(batches));
    MeshingOptions options;
    options.max_depth = 4;
    options.min_depth = 2;
    options.level = level;
    options.lean_sampling = true;
    options.run.pool = &pool;
    std::optional<Octree> tree = build_dense_volume_octree(field, box, options);
    ASSERT_TRUE(tree.has_value());
    const Mesh direct = extract_surface(*tree, field, options);
    const Mesh batched = extract_surface(*tree, batches, options);
    ASSERT_GT(direct.faces.size(), 100u);
    ASSERT_EQ(direct.vertices.size(), batched.vertices.size());
    for (std::size_t v = 0; v < direct.vertices.size(); ++v) {
      ASSERT_EQ(bits(0.0, direct.vertices[v]), bits(0.0, batched.vertices[v])) << v;
    }
    ASSERT_EQ(direct.faces, batched.faces);
    if (!first) {
      first = direct;
    } else {
      EXPECT_EQ(first->vertices, direct.vertices);
      EXPECT_EQ(first->faces, direct.faces);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Placements, WorkerSampling,
    testing::Values(SamplingCase{"Plain", false, false, {1, 1, 1}, {0, 0, 0}},
                    SamplingCase{"CappedShiftedScaled", true, false, {0.5, 0.5, 0.5}, {1, -1, 3}},
                    SamplingCase{"CappedNegated", true, true, {1, 1, 1}, {0, 0, 0}}),
    [](const testing::TestParamInfo<SamplingCase>& info) { return std::string(info.param.name); });

TEST(WorkerSampling, AWindowedVolumeAndAUsersFieldAnswerOnlyBatches) {
  const BallSamples<float> volume(SampleType::kFloat32, 1.0, 0.0);
  WorkerPool pool(1);
  VolumeSamples block = volume.samples;
  block.shape = {9, 9, 9};
  VolumeField windowed(block, {}, pool, std::nullopt,
                       VolumeWindow{{0, 0, 0}, {17, 17, 17}, nullptr});
  EXPECT_FALSE(samples_on_worker(windowed));
  VolumeField whole(volume.samples, {}, pool);
  BatchesOnly batches(whole);
  EXPECT_FALSE(samples_on_worker(batches));
  EXPECT_TRUE(samples_on_worker(whole));
}

}  // namespace
}  // namespace karvex
