#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "support/meshing_options.h"

namespace karvex {
namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
const BBox kUnit{{-1, -1, -1}, {1, 1, 1}};

// One case: what changes from a valid call, and the first fault expected
// (rule, option, axis), or none.
struct Case {
  std::string name;
  MeshingOptions options;
  BBox box = kUnit;
  StrictRules strict{};
  std::optional<OptionRule> rule;
  OptionArgument argument = OptionArgument::kBox;
  int axis = -1;
};

MeshingOptions with(void (*change)(MeshingOptions&)) {
  MeshingOptions options;
  change(options);
  return options;
}

Case ok(std::string name, MeshingOptions options = {}, BBox box = kUnit, StrictRules strict = {}) {
  return {std::move(name), options, box, strict, std::nullopt};
}

Case bad(std::string name, MeshingOptions options, BBox box, StrictRules strict, OptionRule rule,
         OptionArgument argument = OptionArgument::kBox, int axis = -1) {
  return {std::move(name), options, box, strict, rule, argument, axis};
}

const StrictRules kStrict{true, true};

class FirstFault : public ::testing::TestWithParam<Case> {};

TEST_P(FirstFault, IsTheExpectedRule) {
  const Case& c = GetParam();
  const std::optional<OptionFault> fault = check_meshing_options(c.options, c.box, c.strict);
  ASSERT_EQ(fault.has_value(), c.rule.has_value());
  if (!fault) return;
  EXPECT_EQ(fault->rule, *c.rule);
  EXPECT_EQ(fault->argument, c.argument);
  EXPECT_EQ(fault->axis, c.axis);
}

INSTANTIATE_TEST_SUITE_P(
    MeshingOptions, FirstFault,
    ::testing::Values(
        ok("defaults"),
        ok("flat_axis_allowed", {}, {{0, 0, 0}, {1, 1, 0}}),
        bad("flat_axis_strict", {}, {{0, 0, 0}, {1, 1, 0}}, kStrict, OptionRule::kBoxFlat,
            OptionArgument::kBox, 2),
        bad("nan_corner", {}, {{0, 0, kNan}, {1, 1, 1}}, {}, OptionRule::kBoxNotFinite),
        // Every axis reversed: empty before inverted.
        bad("all_reversed", {}, {{1, 1, 1}, {0, 0, 0}}, {}, OptionRule::kBoxEmpty),
        bad("one_reversed", {}, {{0, 1, 0}, {1, 0, 1}}, {}, OptionRule::kBoxInverted,
            OptionArgument::kBox, 1),
        bad("one_reversed_strict", {}, {{0, 1, 0}, {1, 0, 1}}, kStrict, OptionRule::kBoxFlat,
            OptionArgument::kBox, 1),
        bad("extent_overflows", {}, {{-1e308, 0, 0}, {1e308, 1, 1}}, {},
            OptionRule::kBoxTooLarge),
        // The box is checked before the options.
        bad("box_before_depth", with([](MeshingOptions& o) { o.max_depth = 40; }),
            {{0, 0, kInf}, {1, 1, 1}}, {}, OptionRule::kBoxNotFinite),
        ok("deepest_allowed", with([](MeshingOptions& o) { o.max_depth = kDeepestDepth; })),
        bad("too_deep", with([](MeshingOptions& o) { o.max_depth = kDeepestDepth + 1; }), kUnit,
            {}, OptionRule::kDepthRange, OptionArgument::kMaxDepth),
        bad("negative_min", with([](MeshingOptions& o) { o.min_depth = -1; }), kUnit, {},
            OptionRule::kDepthRange, OptionArgument::kMinDepth),
        // min_depth is checked before max_depth, both before their order.
        bad("both_out_of_range",
            with([](MeshingOptions& o) {
             o.min_depth = 50;
             o.max_depth = 40;
            }),
            kUnit, {}, OptionRule::kDepthRange, OptionArgument::kMinDepth),
        bad("order",
            with([](MeshingOptions& o) {
              o.min_depth = 5;
              o.max_depth = 4;
            }),
            kUnit, {}, OptionRule::kDepthOrder, OptionArgument::kMinDepth),
        bad("nan_angle_before_level",
            with([](MeshingOptions& o) {
             o.sharp_angle = kNan;
             o.level = kInf;
            }),
            kUnit, {}, OptionRule::kNotFinite, OptionArgument::kSharpAngle),
        bad("infinite_level", with([](MeshingOptions& o) { o.level = -kInf; }), kUnit, {},
            OptionRule::kNotFinite, OptionArgument::kLevel),
        ok("wide_angle_allowed", with([](MeshingOptions& o) { o.sharp_angle = 200; })),
        bad("wide_angle_strict", with([](MeshingOptions& o) { o.sharp_angle = 200; }), kUnit,
            kStrict, OptionRule::kAngleRange, OptionArgument::kSharpAngle),
        ok("half_turn_strict", with([](MeshingOptions& o) { o.sharp_angle = 180; }), kUnit,
            kStrict)),
    [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

TEST(IsTolerance, OnlyPositiveFiniteDistances) {
  EXPECT_TRUE(is_tolerance(1e-300));
  for (const double bad : {0.0, -0.0, -1e-3, kNan, kInf}) EXPECT_FALSE(is_tolerance(bad)) << bad;
}

}  // namespace
}  // namespace karvex
