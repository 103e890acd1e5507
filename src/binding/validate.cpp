#include "validate.h"

#include <cmath>
#include <string>

#include "messages.h"
#include "py/errors.h"
#include "py/text.h"

namespace karvex::py {

namespace {

constexpr std::uint32_t kDeepestDepth = 31;

bool finite(const Vec3& v) {
  return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

[[noreturn]] void fail_box(std::string_view pattern, const BBox& box) {
  py::throw_error(
      PyExc_ValueError,
      py::fill(pattern, {float_repr(box.min.x), float_repr(box.min.y), float_repr(box.min.z),
                         float_repr(box.max.x), float_repr(box.max.y), float_repr(box.max.z)}));
}

}  // namespace

void validate_box(const BBox& box) {
  if (!finite(box.min) || !finite(box.max)) fail_box(messages::kBoxNotFinite, box);
  const Cube cube = cube_from_box(box);
  // Written as "not greater than zero" so that a NaN side is refused as well.
  if (!(cube.size > 0.0)) fail_box(messages::kBoxEmpty, box);
  // Finite corners can still be so far apart that the extent overflows; every
  // sample point would then be NaN.
  if (!std::isfinite(cube.size) || !finite(cube.origin)) fail_box(messages::kBoxTooLarge, box);
  // The cube spans the largest extent from bbox_min on every axis, so a
  // reversed axis would be meshed over a region the caller did not ask for.
  constexpr std::string_view kAxisNames[] = {"x", "y", "z"};
  for (int axis = 0; axis < 3; ++axis) {
    // The axis fills the first placeholder; fail_box fills the corners.
    if (box.max[axis] < box.min[axis]) {
      fail_box(py::fill(messages::kBoxInverted, {kAxisNames[axis]}), box);
    }
  }
}

void validate_depth(std::string_view name, std::uint32_t depth) {
  if (depth > kDeepestDepth) {
    py::throw_error(PyExc_ValueError,
                    py::fill(messages::kDepthTooLarge, {name, std::to_string(depth)}));
  }
}

void validate_depth_order(std::uint32_t min_depth, std::uint32_t max_depth) {
  if (min_depth > max_depth) {
    py::throw_error(PyExc_ValueError, py::fill(messages::kDepthOrder, {std::to_string(min_depth),
                                                                       std::to_string(max_depth)}));
  }
}

void validate_finite(std::string_view name, double value) {
  if (!std::isfinite(value)) {
    py::throw_error(PyExc_ValueError, py::fill(messages::kNotFinite, {name, float_repr(value)}));
  }
}

}  // namespace karvex::py
