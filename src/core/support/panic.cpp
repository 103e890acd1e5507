#include "support/panic.h"

#include <charconv>
#include <cmath>

namespace karvex {

void fail(const std::string& message) { throw InvariantFailure(message); }

void fail_index(std::size_t len, std::size_t index) {
  fail("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
       std::to_string(index));
}

std::string format_double(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  char buffer[64];
  const double magnitude = std::fabs(value);
  if (magnitude != 0.0 && (magnitude < 1e-4 || magnitude >= 1e16)) {
    // Shortest scientific form, written "1.5e-7" / "1e16".
    auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    std::string text(buffer, result.ptr);
    const auto e = text.find('e');
    std::string mantissa = text.substr(0, e);
    std::string exponent = text.substr(e + 1);
    bool negative = exponent[0] == '-';
    std::size_t first = exponent.find_first_not_of("+-0");
    std::string digits = first == std::string::npos ? "0" : exponent.substr(first);
    return mantissa + "e" + (negative ? "-" : "") + digits;
  }
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
  std::string text(buffer, result.ptr);
  // Whole numbers print as "1.0" rather than "1".
  if (text.find('.') == std::string::npos) text += ".0";
  return text;
}

void fail_clamp_bounds(double lo, double hi) {
  fail("min > max, or either was NaN. min = " + format_double(lo) +
       ", max = " + format_double(hi));
}

}  // namespace karvex
