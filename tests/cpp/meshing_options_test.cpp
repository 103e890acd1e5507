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

const StrictRules kStrict{true, true, true};
// A box of side 2 about 1e12, where float64 has steps of 2^-13: cells of
// 2^-4 span 512 steps at depth 5, too few; 1024 at depth 4.
const BBox kFarOut{{1e12 - 1, 1e12 - 1, 1e12 - 1}, {1e12 + 1, 1e12 + 1, 1e12 + 1}};

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
            kStrict),
        ok("far_out_allowed", with([](MeshingOptions& o) { o.max_depth = 5; }), kFarOut),
        bad("far_out_strict", with([](MeshingOptions& o) { o.max_depth = 5; }), kFarOut, kStrict,
            OptionRule::kCellsTooFine, OptionArgument::kMaxDepth),
        ok("far_out_shallow_strict", with([](MeshingOptions& o) { o.max_depth = 4; }), kFarOut,
           kStrict)),
    [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

// The fault names the deepest max_depth whose cells are resolved, and -1
// when even a single cell is too small for where the box lies.
TEST(CellsTooFine, NamesTheDeepestWorkingDepth) {
  MeshingOptions options;
  options.max_depth = 5;
  const std::optional<OptionFault> fault = check_meshing_options(options, kFarOut, kStrict);
  ASSERT_TRUE(fault.has_value());
  EXPECT_EQ(fault->depth, 4);
  EXPECT_EQ(fault->value, 2.0 / 32);
  EXPECT_EQ(fault->step, std::ldexp(1.0, -13));
  // Steps of 1/8 at 1e15: a box of side 1/2 holds 4 of them.
  const BBox tiny{{1e15, 1e15, 1e15}, {1e15 + 0.5, 1e15 + 0.5, 1e15 + 0.5}};
  options.max_depth = 1;
  options.min_depth = 0;
  const std::optional<OptionFault> none = check_meshing_options(options, tiny, kStrict);
  ASSERT_TRUE(none.has_value());
  EXPECT_EQ(none->rule, OptionRule::kCellsTooFine);
  EXPECT_EQ(none->depth, -1);
}

TEST(IsTolerance, OnlyPositiveFiniteDistances) {
  EXPECT_TRUE(is_tolerance(1e-300));
  for (const double bad : {0.0, -0.0, -1e-3, kNan, kInf}) EXPECT_FALSE(is_tolerance(bad)) << bad;
}

}  // namespace
}  // namespace karvex
