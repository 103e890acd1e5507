#include "pool/cpu_count.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdlib>

#include "platform/platform.h"

namespace karvex {

std::optional<std::size_t> parse_worker_count(std::string_view text) {
  if (text.starts_with('+')) text.remove_prefix(1);
  // Strict unsigned decimal: every character consumed, no overflow.
  if (text.empty()) return std::nullopt;
  std::size_t value = 0;
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || ptr != text.data() + text.size() || value == 0) return std::nullopt;
  return value;
}

std::size_t available_cpus() {
  std::size_t cpus = std::max<std::size_t>(1, platform::schedulable_cpus());
  if (const auto quota = platform::cpu_quota()) cpus = std::min(cpus, *quota);
  return std::max<std::size_t>(1, cpus);
}

std::size_t configured_worker_count() {
  if (const char* text = std::getenv("RAYON_NUM_THREADS")) {
    if (const auto count = parse_worker_count(text)) return *count;
  }
  return available_cpus();
}

}  // namespace karvex
