#include "support/meshing_options.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace karvex {

namespace {

bool finite(const Vec3& v) {
  return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

std::optional<OptionFault> check_box(const BBox& box, StrictRules strict) {
  const auto fault = [](OptionRule rule, int axis = -1) {
    return OptionFault{rule, OptionArgument::kBox, 0.0, 0, axis};
  };
  if (!finite(box.min) || !finite(box.max)) return fault(OptionRule::kBoxNotFinite);
  if (strict.every_axis_positive) {
    for (int axis = 0; axis < 3; ++axis) {
      if (!(box.min[axis] < box.max[axis])) return fault(OptionRule::kBoxFlat, axis);
    }
  }
  const Cube cube = cube_from_box(box);
  // Written as "not greater than zero" so that a NaN side is refused as well.
  if (!(cube.size > 0.0)) return fault(OptionRule::kBoxEmpty);
  // Finite corners can still be so far apart that the extent overflows; every
  // sample point would then be NaN.
  if (!std::isfinite(cube.size) || !finite(cube.origin)) return fault(OptionRule::kBoxTooLarge);
  // The cube spans the largest extent from bbox_min on every axis, so a
  // reversed axis would be meshed over a region the caller did not ask for.
  for (int axis = 0; axis < 3; ++axis) {
    if (box.max[axis] < box.min[axis]) return fault(OptionRule::kBoxInverted, axis);
  }
  return std::nullopt;
}

std::optional<OptionFault> check_depth(OptionArgument argument, std::int64_t depth) {
  if (depth < 0 || depth > kDeepestDepth) {
    return OptionFault{OptionRule::kDepthRange, argument, 0.0, depth};
  }
  return std::nullopt;
}

// NaN would silently give an empty mesh or a never-met threshold, infinity a
// level no field reaches.
std::optional<OptionFault> check_finite(OptionArgument argument, double value) {
  if (!std::isfinite(value)) return OptionFault{OptionRule::kNotFinite, argument, value};
  return std::nullopt;
}

// Cells of side size / 2^max_depth need room between the representable
// numbers where the cube lies; the fault names the deepest depth that has it.
std::optional<OptionFault> check_resolution(const BBox& box, std::int64_t max_depth) {
  const Cube cube = cube_from_box(box);
  double reach = 0.0;
  for (int axis = 0; axis < 3; ++axis) {
    reach = std::max({reach, std::fabs(cube.origin[axis]), std::fabs(cube.origin[axis] + cube.size)});
  }
  const double step = std::nextafter(reach, std::numeric_limits<double>::infinity()) - reach;
  const double cell = std::ldexp(cube.size, -static_cast<int>(max_depth));
  if (cell >= kMinCellSteps * step) return std::nullopt;
  const double ratio = cube.size / (kMinCellSteps * step);
  const std::int64_t workable = ratio >= 1.0 ? static_cast<std::int64_t>(std::floor(std::log2(ratio))) : -1;
  OptionFault fault{OptionRule::kCellsTooFine, OptionArgument::kMaxDepth, cell, workable};
  fault.reach = reach;
  fault.step = step;
  return fault;
}

}  // namespace

std::optional<OptionFault> check_meshing_options(const MeshingOptions& options, const BBox& box,
                                                 StrictRules strict) {
  if (auto fault = check_box(box, strict)) return fault;
  if (auto fault = check_depth(OptionArgument::kMinDepth, options.min_depth)) return fault;
  if (auto fault = check_depth(OptionArgument::kMaxDepth, options.max_depth)) return fault;
  if (options.min_depth > options.max_depth) {
    return OptionFault{OptionRule::kDepthOrder, OptionArgument::kMinDepth, 0.0,
                       options.min_depth};
  }
  if (strict.cells_resolved) {
    if (auto fault = check_resolution(box, options.max_depth)) return fault;
  }
  if (auto fault = check_finite(OptionArgument::kSharpAngle, options.sharp_angle)) return fault;
  if (strict.angle_within_half_turn && !(options.sharp_angle >= 0.0 && options.sharp_angle <= 180.0)) {
    return OptionFault{OptionRule::kAngleRange, OptionArgument::kSharpAngle, options.sharp_angle};
  }
  if (auto fault = check_finite(OptionArgument::kLevel, options.level)) return fault;
  return std::nullopt;
}

bool is_tolerance(double value) { return std::isfinite(value) && value > 0.0; }

}  // namespace karvex
