#pragma once

#include <string_view>

// Messages of karvex._native: the texts karvex.mesh shows for its arguments
// (beside the low-level module's, messages.h, which the two share).
// "{}" marks a place filled in order by karvex::py::fill(). Tests match
// these texts, so change them only deliberately.
namespace karvex::py::native_messages {

// --- Conversion (TypeError); "{}" after "got" is the value as shown by
// show_value: its repr (at most 60 characters) and its type's name ---------
inline constexpr std::string_view kNotInteger = "{} must be an integer, got {}";
inline constexpr std::string_view kNotReal = "{} must be a real number, got {}";
inline constexpr std::string_view kNotFlag = "{} must be True or False, got {}";
inline constexpr std::string_view kToleranceType = "{} must be a real number or None, got {}; {}";
inline constexpr std::string_view kProgressType =
    "argument 'progress': expected a callable taking (stage, done, total) or None, got '{}'";

inline constexpr std::string_view kTileType =
    "argument 'tile': expected None or six ints (x0, y0, z0, x1, y1, z1), the cells of the "
    "finest lattice from the lower corner up to the upper one (excluded), got {}";

// --- Rules (ValueError) -----------------------------------------------------
inline constexpr std::string_view kBoundsNotFinite = "bounds must be finite numbers, got {}";
inline constexpr std::string_view kBoundsFlat =
    "bounds must have the lower corner first and a positive extent on every axis, got {}, "
    "whose {} range is empty; write ((x0, y0, z0), (x1, y1, z1)) with x0 < x1, y0 < y1 and "
    "z0 < z1";
inline constexpr std::string_view kDepthRange = "{} must be an integer from 0 to {}, got {}";
inline constexpr std::string_view kDepthOrder =
    "min_depth must not exceed max_depth, got min_depth={} and max_depth={}; lower min_depth "
    "or raise max_depth";
inline constexpr std::string_view kNotFinite = "{} must be finite, got {}";
inline constexpr std::string_view kAngleRange =
    "sharp_angle must be an angle in degrees from 0 to 180, got {}; the default is {}";
inline constexpr std::string_view kToleranceRange =
    "{} must be a positive finite distance, got {}; {}";
inline constexpr std::string_view kToleranceHint =
    "pass a distance in the units of bounds, for example 1e-4 times the box size, or None for "
    "no simplification";
inline constexpr std::string_view kCellsTooFine =
    "bounds and max_depth={} give finest cells of {}, too fine for float64 at coordinates of "
    "{}, where it has steps of {} (a cell must span at least {} of them); {}";
inline constexpr std::string_view kResolutionDepth =
    "use {}, or move the shape nearer the origin";
inline constexpr std::string_view kResolutionDepths =
    "use {} (and min_depth no higher), or move the shape nearer the origin";
inline constexpr std::string_view kResolutionMove =
    "no depth resolves a box this small so far out: move the shape nearer the origin";
inline constexpr std::string_view kWorkersTooFew = "workers must be an integer 1 or more, got {}";
inline constexpr std::string_view kWorkersTooMany =
    "workers must be at most {}, got {}; omit it (or pass None) to use every available CPU";

inline constexpr std::string_view kTileRange =
    "argument 'tile': expected 0 <= x0 < x1 <= 2**31 on every axis, got {}";

// --- Module entry -----------------------------------------------------------
inline constexpr std::string_view kSubinterpreter =
    "karvex._native does not support subinterpreters: it can only be imported by the "
    "interpreter that imported it first";

}  // namespace karvex::py::native_messages
