#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace karvex {

// An internal invariant failure: a state the code cannot continue from (a
// corner missing from the cache, an index beyond the end of a returned array,
// a clamp box with crossed bounds). It stops the whole call, worker threads
// included, and reaches Python as PanicException(message).
class InvariantFailure : public std::runtime_error {
 public:
  explicit InvariantFailure(const std::string& message) : std::runtime_error(message) {}
};

[[noreturn]] void fail(const std::string& message);

// "index out of bounds: the len is {len} but the index is {index}".
[[noreturn]] void fail_index(std::size_t len, std::size_t index);

// Bounds-checked element access; fails with the index message above.
template <class T, class Allocator>
const T& checked_at(const std::vector<T, Allocator>& items, std::size_t index) {
  if (index >= items.size()) fail_index(items.size(), index);
  return items[index];
}

// Formats a double the way the failure messages show it: the shortest text
// that reads back to the same value, with ".0" on whole numbers and "NaN",
// "inf", "-inf" for the special values.
std::string format_double(double value);

// Clamps value into [lo, hi]; fails with "min > max, or either was NaN.
// min = {lo}, max = {hi}" when lo > hi or either bound is NaN. A NaN value
// stays NaN.
// Inline: vertices are clamped per axis by the million; only the failure is
// out of line.
[[noreturn]] void fail_clamp_bounds(double lo, double hi);
inline double checked_clamp(double value, double lo, double hi) {
  if (!(lo <= hi)) [[unlikely]] fail_clamp_bounds(lo, hi);
  // max/min written so that a NaN value passes through unchanged.
  if (value < lo) value = lo;
  if (value > hi) value = hi;
  return value;
}

}  // namespace karvex
