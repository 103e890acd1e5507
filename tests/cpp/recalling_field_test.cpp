#include <vector>

#include <gtest/gtest.h>

#include "field/recalling_field.h"
#include "fields.h"
#include "support/panic.h"

namespace karvex {
namespace {

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
