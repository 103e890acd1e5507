#pragma once

#include <string_view>

// Messages of karvex._native beyond those it shares with _karvex_rs
// (messages.h). "{}" marks a place filled in order by karvex::py::fill().
namespace karvex::py::native_messages {

inline constexpr std::string_view kWorkersType =
    "argument 'workers': expected an int (0 for the default worker count), got '{}'";
inline constexpr std::string_view kWorkersRange =
    "workers must be between 0 and {} (got {}); 0 uses the default worker count";
inline constexpr std::string_view kProgressType =
    "argument 'progress': expected a callable taking (stage, done, total) or None, got '{}'";
inline constexpr std::string_view kSubinterpreter =
    "karvex._native does not support subinterpreters: it can only be imported by the "
    "interpreter that imported it first";

}  // namespace karvex::py::native_messages
