// The core's logging front end: coreLog0 .. coreLog100, one function per level.
//
// A message below the core's own log level is dropped before anything is formatted. Otherwise it
// is formatted ({}-style, "{:L}" with the log locale) into a buffer of the calling thread and
// posted as the core's log record, which writes the line and feeds subscribed plugins. Any thread;
// needs the process's DvrCore (gCore), and does nothing without one.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include <fmt/format.h>

#include "log/LogFormat.h"

namespace kv::core {

// Provided by the core process: the level of the core's own messages (25 when unset), and the
// road of a formatted message into the intake. Any thread.
bool coreLogEnabled(int32_t level);
void postCoreLog(int32_t level, std::string_view message);

namespace detail {

// Reused for every message of the thread: 2048 characters reserved, grown (never cut) as needed.
inline std::string& threadLogBuffer() {
  thread_local std::string buffer = [] {
    std::string text;
    text.reserve(2048);
    return text;
  }();
  buffer.clear();
  return buffer;
}

template <typename... Args>
void coreLog(int32_t level, fmt::format_string<Args...> format, Args&&... args) {
  if (!coreLogEnabled(level)) return;
  std::string& buffer = threadLogBuffer();
  fmt::format_to(std::back_inserter(buffer), logLocale(), format, std::forward<Args>(args)...);
  postCoreLog(level, buffer);
}

}  // namespace detail

template <typename... Args>
void coreLog0(fmt::format_string<Args...> format, Args&&... args) {
  detail::coreLog(0, format, std::forward<Args>(args)...);
}
template <typename... Args>
void coreLog25(fmt::format_string<Args...> format, Args&&... args) {
  detail::coreLog(25, format, std::forward<Args>(args)...);
}
template <typename... Args>
void coreLog50(fmt::format_string<Args...> format, Args&&... args) {
  detail::coreLog(50, format, std::forward<Args>(args)...);
}
template <typename... Args>
void coreLog75(fmt::format_string<Args...> format, Args&&... args) {
  detail::coreLog(75, format, std::forward<Args>(args)...);
}
template <typename... Args>
void coreLog100(fmt::format_string<Args...> format, Args&&... args) {
  detail::coreLog(100, format, std::forward<Args>(args)...);
}

}  // namespace kv::core
