#include "log/LogSink.h"

#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <system_error>

#include <fmt/chrono.h>
#include <fmt/format.h>

#include "log/WallClock.h"

namespace kv::core {
namespace {

constexpr int32_t kMaxLevel = 100;

// Escape texts of the five bands, then the source name's colour and the reset.
struct Palette {
  std::string_view band[5];
  std::string_view name;
  std::string_view reset;
};

constexpr Palette kColours{
    {"\033[38;5;248m", "\033[32m", "\033[38;5;227m", "\033[38;5;196m", "\033[38;5;37m\033[38;5;1m"},
    "\033[36m",
    "\033[0m"};
constexpr Palette kPlain{};

std::string_view stripLineEnds(const char* text, uint32_t length) {
  while (length > 0) {
    const char last = text[length - 1];
    if (last != '\0' && last != '\r' && last != '\n') break;
    --length;
  }
  return {text, length};
}

void syslogCritical(std::string_view text) {
  syslog(LOG_CRIT, "%.*s", static_cast<int>(text.size()), text.data());
}

}  // namespace

LogSink::LogSink() : LogSink(Seams{}) {}

LogSink::LogSink(Seams seams) : seams_(std::move(seams)), pluginNames{{0, "core"}} {
  if (!seams_.syslogCritical) seams_.syslogCritical = syslogCritical;
  if (!seams_.wallClockNanos) seams_.wallClockNanos = wallClockNanos;
}

void LogSink::writeLogLine(uint32_t id, int32_t level, uint32_t length, const char* text) {
  const std::string_view message = stripLineEnds(text, length);
  if (message.empty()) return;
  if (static_cast<uint32_t>(level) > 99) {
    seams_.syslogCritical(message);
    level = kMaxLevel;
  }
  if (background()) return;
  const int64_t millis = seams_.wallClockNanos() / 1000000;

  std::lock_guard lock(logMutex);
  char fallback[8];
  const std::string_view source = name(id, fallback);
  const std::time_t seconds = static_cast<std::time_t>(millis / 1000);
  std::tm local{};
  localtime_r(&seconds, &local);
  const Palette& palette = colourLog != 0 ? kColours : kPlain;
  fmt::memory_buffer line;
  fmt::format_to(std::back_inserter(line), "{}{:%T}.{:03}{} {}{} {}\n", palette.band[level / 25],
                 local, millis % 1000, palette.name, source, palette.reset, message);
  const ssize_t written = ::write(seams_.outputFd, line.data(), line.size());
  if (written < 0 || static_cast<size_t>(written) != line.size()) {
    throw std::system_error(errno, std::generic_category(), "cannot write to file");
  }
}

std::string_view LogSink::name(uint32_t id, char (&fallback)[8]) const {
  const auto it = pluginNames.find(id);
  if (it != pluginNames.end()) return it->second;
  const auto end = fmt::format_to_n(fallback, sizeof fallback, "PI{:02x}", id & 0xFFu).out;
  return {fallback, static_cast<size_t>(end - fallback)};
}

void LogSink::setPluginName(uint32_t id, std::string name) {
  std::lock_guard lock(logMutex);
  pluginNames[id] = std::move(name);
}

std::optional<std::string> LogSink::pluginName(uint32_t id) const {
  std::lock_guard lock(logMutex);
  const auto it = pluginNames.find(id);
  if (it == pluginNames.end()) return std::nullopt;
  return it->second;
}

}  // namespace kv::core
