#include "common/validate.h"

#include <string>

#include "common/messages.h"
#include "common/py/errors.h"
#include "common/py/text.h"

namespace karvex::py {

std::string fill_box(std::string_view pattern, const BBox& box, std::string_view first) {
  const std::string corners[6] = {float_repr(box.min.x), float_repr(box.min.y),
                                  float_repr(box.min.z), float_repr(box.max.x),
                                  float_repr(box.max.y), float_repr(box.max.z)};
  const std::string text = first.empty() ? std::string(pattern) : py::fill(pattern, {first});
  return py::fill(text, {corners[0], corners[1], corners[2], corners[3], corners[4], corners[5]});
}

void validate_options(const MeshingOptions& options, const BBox& box, const OptionNames& names) {
  const std::optional<OptionFault> fault = check_meshing_options(options, box);
  if (!fault) return;
  constexpr std::string_view kAxisNames[] = {"x", "y", "z"};
  std::string message;
  switch (fault->rule) {
    case OptionRule::kBoxNotFinite:
      message = fill_box(messages::kBoxNotFinite, box);
      break;
    case OptionRule::kBoxFlat:       // only under strict rules, never asked for here
    case OptionRule::kCellsTooFine:  // likewise
    case OptionRule::kBoxEmpty:
      message = fill_box(messages::kBoxEmpty, box);
      break;
    case OptionRule::kBoxTooLarge:
      message = fill_box(messages::kBoxTooLarge, box);
      break;
    case OptionRule::kBoxInverted:
      message = fill_box(messages::kBoxInverted, box, kAxisNames[fault->axis]);
      break;
    case OptionRule::kDepthRange:
      message = py::fill(messages::kDepthTooLarge,
                         {fault->argument == OptionArgument::kMinDepth ? names.min_depth
                                                                       : names.max_depth,
                          std::to_string(kDeepestDepth), std::to_string(fault->depth)});
      break;
    case OptionRule::kDepthOrder:
      message = py::fill(messages::kDepthOrder, {std::to_string(options.min_depth),
                                                 std::to_string(options.max_depth)});
      break;
    case OptionRule::kNotFinite:
    case OptionRule::kAngleRange:  // only under strict rules
      message = py::fill(messages::kNotFinite, {fault->argument == OptionArgument::kLevel
                                                    ? names.level
                                                    : names.sharp_angle,
                                                float_repr(fault->value)});
      break;
  }
  py::throw_error(PyExc_ValueError, message);
}

}  // namespace karvex::py
