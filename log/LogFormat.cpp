#include "log/LogFormat.h"

#include <cmath>
#include <stdexcept>

#include <fmt/format.h>

namespace kv::core {
std::locale localeOrDefault(const char* name) {
  try {
    return std::locale(name);
  } catch (const std::runtime_error&) {
    return std::locale();
  }
}

const std::locale& logLocale() {
  // A function-local static: created once, and safely when several threads log at once.
  static const std::locale locale = localeOrDefault("en_US.UTF-8");
  return locale;
}

std::string formatSize(int64_t bytes) {
  // The smallest value has no positive counterpart; it counts as small, like the original check.
  const bool small = bytes == INT64_MIN || (bytes > -102400 && bytes < 102400);
  if (small) return fmt::format(logLocale(), "{:L}", bytes);
  double x = std::fabs(static_cast<double>(bytes));
  size_t unit = 0;
  while (x >= 1024) {
    x *= 0.0009765625;
    ++unit;
  }
  const double rounded = std::ceil(x * 100) / 100;
  return fmt::format("{}{}{}iB", bytes < 0 ? "-" : "", rounded, "_KMGTPE"[unit]);
}

}  // namespace kv::core
