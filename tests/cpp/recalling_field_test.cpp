#include <algorithm>
#include <bit>
#include <cstddef>
#include <random>
#include <set>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "field/recalling_field.h"
#include "fields.h"
#include "support/panic.h"

namespace karvex {
namespace {

using testing::FailingField;
using testing::FieldFailure;
using testing::FunctionField;
using testing::ShortField;

FunctionField linear() {
  return FunctionField([](const Vec3& p) { return p.x + 2 * p.y; },
                       [](const Vec3& p) { return Vec3{1, 2, p.z}; });
}

TEST(RecallingField, AsksOnlyAboutNewPointsOnceEachInBatchOrder) {
  FunctionField inner = linear();
  RecallingField field(inner);
  const std::vector<Vec3> first{{1, 0, 0}, {0, 1, 0}, {1, 0, 0}};
  const std::vector<Vec3> second{{0, 1, 0}, {0, 0, 3}, {1, 0, 0}, {0, 0, 3}};
  const EvalResult a = field.evaluate(first);
  const EvalResult b = field.evaluate(second);
  EXPECT_EQ(inner.batch_sizes, (std::vector<std::size_t>{2, 1}));
  EXPECT_EQ(a.values, (std::vector<double>{1, 2, 1}));
  EXPECT_EQ(b.values, (std::vector<double>{2, 0, 1, 0}));
  ASSERT_TRUE(b.gradients);
  EXPECT_EQ((*b.gradients)[1].z, 3.0);
  EXPECT_EQ((*b.gradients)[3].z, 3.0);
  // A batch it knows whole makes no call.
  field.evaluate(first);
  EXPECT_EQ(inner.calls, 2u);
  EXPECT_EQ(field.asked(), 10u);
  EXPECT_EQ(field.recalled(), 7u);
}

TEST(RecallingField, ForgetsEverythingBeforePassingItsCapacity) {
  FunctionField inner = linear();
  RecallingField field(inner, 3);
  const std::vector<Vec3> two{{1, 0, 0}, {2, 0, 0}};
  field.evaluate(two);
  field.evaluate(two);  // recalled: no call
  field.evaluate(std::vector<Vec3>{{3, 0, 0}, {4, 0, 0}});  // 4 > 3: forgets the first two
  field.evaluate(std::vector<Vec3>{{3, 0, 0}});              // recalled
  field.evaluate(two);
  // More points than the capacity go to the field as they are.
  field.evaluate(std::vector<Vec3>{{5, 0, 0}, {5, 0, 0}, {5, 0, 0}, {5, 0, 0}});
  EXPECT_EQ(inner.batch_sizes, (std::vector<std::size_t>{2, 2, 2, 4}));
}

// Gradients on its first call only.
class FirstCallGradients : public Field {
 public:
  EvalResult evaluate(std::span<const Vec3> points) override {
    batch_sizes.push_back(points.size());
    EvalResult r;
    r.values.assign(points.size(), 1.0);
    if (batch_sizes.size() == 1) r.gradients.emplace(points.size(), Vec3{1, 0, 0});
    return r;
  }
  std::vector<std::size_t> batch_sizes;
};

TEST(RecallingField, AnswersThatDisagreeOnGradientsAskTheWholeBatch) {
  FirstCallGradients inner;
  RecallingField field(inner);
  field.evaluate(std::vector<Vec3>{{1, 0, 0}});
  const EvalResult r = field.evaluate(std::vector<Vec3>{{1, 0, 0}, {2, 0, 0}});
  EXPECT_EQ(inner.batch_sizes, (std::vector<std::size_t>{1, 1, 2}));
  EXPECT_FALSE(r.gradients);
  EXPECT_EQ(r.values.size(), 2u);
}

// Batches drawn with repeats from a small set of points, against a model of
// what the memory knows: each call is the batch's unknown points, each once,
// and every answer is the field's own, bit for bit, through the table's
// growth and the forgetting at the capacity.
class RecallingFieldCapacity : public ::testing::TestWithParam<std::size_t> {};

TEST_P(RecallingFieldCapacity, AsksWhatAModelDoesNotKnowAndAnswersAsTheField) {
  const std::size_t capacity = GetParam();
  FunctionField inner = linear();
  FunctionField direct = linear();
  RecallingField field(inner, capacity);
  std::mt19937 random(7);
  std::vector<Vec3> pool;
  for (int i = 0; i < 400; ++i) pool.push_back({0.25 * i, -0.5 * (i % 13), 1.0 / (1 + i % 7)});
  using Bits = std::tuple<std::uint64_t, std::uint64_t, std::uint64_t>;
  const auto bits = [](const Vec3& p) {
    return Bits{std::bit_cast<std::uint64_t>(p.x), std::bit_cast<std::uint64_t>(p.y),
                std::bit_cast<std::uint64_t>(p.z)};
  };
  std::set<Bits> known;
  std::vector<std::size_t> expected_calls;
  for (int b = 0; b < 80; ++b) {
    std::vector<Vec3> batch(random() % 160);
    for (Vec3& p : batch) p = pool[random() % pool.size()];
    if (batch.size() > capacity) {
      expected_calls.push_back(batch.size());
    } else {
      std::set<Bits> added;
      for (const Vec3& p : batch) {
        if (!known.contains(bits(p))) added.insert(bits(p));
      }
      if (!added.empty()) expected_calls.push_back(added.size());
      if (known.size() + added.size() > capacity) known.clear();
      known.insert(added.begin(), added.end());
    }
    const EvalResult got = field.evaluate(batch);
    const EvalResult want = direct.evaluate(batch);
    ASSERT_EQ(got.values, want.values) << "batch " << b;
    ASSERT_EQ(got.gradients.has_value(), !batch.empty()) << "batch " << b;
    for (std::size_t i = 0; i < batch.size(); ++i) {
      ASSERT_EQ((*got.gradients)[i].z, (*want.gradients)[i].z) << "batch " << b;
    }
  }
  EXPECT_EQ(inner.batch_sizes, expected_calls);
}

INSTANTIATE_TEST_SUITE_P(Capacities, RecallingFieldCapacity,
                         ::testing::Values(std::size_t{5}, std::size_t{150},
                                           RecallingField::kDefaultCapacity));

TEST(RecallingField, AFailedCallLeavesTheMemoryAsItWas) {
  FunctionField inner = linear();
  FailingField failing(inner, 2);
  RecallingField field(failing);
  std::vector<Vec3> known, mixed;
  for (int i = 0; i < 300; ++i) known.push_back({1.0 * i, 0.5, 0});
  for (int i = 0; i < 300; ++i) mixed.push_back({1.0 * i, i % 2 ? 0.5 : -0.5, 0});
  field.evaluate(known);
  EXPECT_THROW(field.evaluate(mixed), FieldFailure);
  const EvalResult r = field.evaluate(mixed);
  // The points it failed on are asked again, those it knew are not.
  EXPECT_EQ(inner.batch_sizes, (std::vector<std::size_t>{300, 150}));
  for (std::size_t i = 0; i < mixed.size(); ++i) {
    ASSERT_EQ(r.values[i], mixed[i].x + 2 * mixed[i].y);
  }
}

TEST(RecallingField, NewAnswersUnlikeTheKeptOnesReplaceThem) {
  FirstCallGradients inner;
  RecallingField field(inner);
  field.evaluate(std::vector<Vec3>{{1, 0, 0}});
  field.evaluate(std::vector<Vec3>{{2, 0, 0}});  // no gradients: the first answer goes
  const EvalResult r = field.evaluate(std::vector<Vec3>{{1, 0, 0}, {2, 0, 0}});
  EXPECT_EQ(inner.batch_sizes, (std::vector<std::size_t>{1, 1, 1}));
  EXPECT_FALSE(r.gradients);
}

TEST(RecallingField, TooFewAnswersFailWithTheIndexMessage) {
  ShortField inner(1);
  RecallingField field(inner);
  try {
    field.evaluate(std::vector<Vec3>{{1, 0, 0}, {2, 0, 0}});
    FAIL();
  } catch (const InvariantFailure& e) {
    EXPECT_STREQ(e.what(), "index out of bounds: the len is 1 but the index is 1");
  }
}

}  // namespace
}  // namespace karvex
