#pragma once

#include <string_view>

// Every message text the module shows to Python, in one place. "{}" marks a
// place filled in order by karvex::py::fill(). Callers rely on these texts
// verbatim (tests match them exactly), so change them only deliberately.
namespace karvex::py::messages {

// --- Argument binding (all TypeError) --------------------------------------
inline constexpr std::string_view kTooManyPositionalRange =
    "{}() takes from {} to {} positional arguments but {} {} given";
inline constexpr std::string_view kTooManyPositional =
    "{}() takes {} positional arguments but {} {} given";
inline constexpr std::string_view kMultipleValues = "{}() got multiple values for argument '{}'";
inline constexpr std::string_view kUnexpectedKeyword =
    "{}() got an unexpected keyword argument '{}'";
inline constexpr std::string_view kMissingRequired = "{}() missing {} required positional {}: {}";

// --- Argument conversion ---------------------------------------------------
// A TypeError raised while converting a parameter is re-raised with this
// prefix; other error types pass unchanged.
inline constexpr std::string_view kArgumentPrefix = "argument '{}': {}";
inline constexpr std::string_view kCannotConvert = "'{}' object cannot be converted to '{}'";
inline constexpr std::string_view kSequenceTarget = "Sequence";
inline constexpr std::string_view kBoolTarget = "PyBool";
inline constexpr std::string_view kListTarget = "PyList";
inline constexpr std::string_view kArrayTarget = "PyArray<T, D>";
inline constexpr std::string_view kExpectedLength = "expected a sequence of length {} (got {})";
inline constexpr std::string_view kStrIsNotPoints = "Can't extract `str` to `Vec`";
inline constexpr std::string_view kIntegerRange = "out of range integral type conversion attempted";
inline constexpr std::string_view kNoBoolConversion =
    "object of type '{}' does not define a '__bool__' conversion";

// --- Validation of boxes and depths (ValueError) ---------------------------
inline constexpr std::string_view kBoxNotFinite =
    "bbox_min and bbox_max must be finite (got bbox_min=({}, {}, {}), bbox_max=({}, {}, {}))";
inline constexpr std::string_view kBoxEmpty =
    "bbox_max must be greater than bbox_min on at least one axis "
    "(got bbox_min=({}, {}, {}), bbox_max=({}, {}, {}))";
inline constexpr std::string_view kBoxTooLarge =
    "bbox_min and bbox_max are too far apart: the box's extent is not a finite number "
    "(got bbox_min=({}, {}, {}), bbox_max=({}, {}, {}))";
inline constexpr std::string_view kDepthTooLarge = "{} must be at most {} (got {})";
inline constexpr std::string_view kDepthOrder =
    "min_depth must not exceed max_depth (got min_depth={}, max_depth={})";
inline constexpr std::string_view kBoxInverted =
    "bbox_max must not be below bbox_min on any axis, but it is on the {} axis "
    "(got bbox_min=({}, {}, {}), bbox_max=({}, {}, {}))";

// --- Validation of real-valued parameters (ValueError) ----------------------
inline constexpr std::string_view kNotFinite = "{} must be a finite number (got {})";

// --- Allocation failures (MemoryError) --------------------------------------
// The message is "<prefix><what the call was doing><suffix>", assembled in a
// fixed buffer (allocating could fail again); a failure outside any named
// task keeps MemoryError's empty message.
inline constexpr std::string_view kOutOfMemoryPrefix = "out of memory while ";
inline constexpr std::string_view kOutOfMemorySuffix = "; a smaller depth needs less memory";

// --- Evaluation bridge -----------------------------------------------------
inline constexpr std::string_view kNotContiguous = "The given array is not contiguous";
inline constexpr std::string_view kGradientColumns = "ndarray: index out of bounds";
inline constexpr std::string_view kNumpyApi = "Failed to access NumPy array API capsule";
inline constexpr std::string_view kPanicFromField =
    "eval_fn raised PanicException; the call is ended with the same failure. "
    "Python traceback of eval_fn:";

// --- Mesh hand-off ---------------------------------------------------------
inline constexpr std::string_view kSliceContainer = "Failed to create slice container";

// --- Module entry and failure delivery -------------------------------------
inline constexpr std::string_view kNoErrorSet = "attempted to fetch exception but none was set";
inline constexpr std::string_view kSubinterpreter =
    "_karvex_rs does not support subinterpreters: it can only be imported by the interpreter "
    "that imported it first";
inline constexpr std::string_view kAppendAll = "could not append __name__ to __all__";
inline constexpr std::string_view kPanicTypeFailed = "Failed to initialize new exception type.";
inline constexpr std::string_view kUncaughtPanic = "uncaught panic at ffi boundary";
inline constexpr std::string_view kUnknownFailure = "unknown internal failure";

// --- Runtime-support types (never attributes of the module) ----------------
inline constexpr const char* kPanicName = "karvex_runtime.PanicException";
inline constexpr const char* kPanicDoc =
    "Raised when the native code of _karvex_rs fails an internal invariant.\n\n"
    "Like SystemExit, this exception derives from BaseException rather than Exception, "
    "so that it will typically propagate all the way through the stack and cause the "
    "Python interpreter to exit.";
inline constexpr const char* kSliceContainerName = "karvex_runtime.PySliceContainer";
inline constexpr const char* kSliceContainerDoc =
    "Owner of a native buffer that a NumPy array borrows; frees it when the last view is gone.";

}  // namespace karvex::py::messages
