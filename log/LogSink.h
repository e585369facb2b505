// LogSink: turns log records into lines on standard output, and the most severe ones into system
// log entries.
//
// One line per record: "<band colour><hh:mm:ss.mmm><cyan> <name><reset> <text>\n", composed and
// written under `logMutex` so that lines from different threads never mix, and written with one
// write() so that each line reaches the descriptor at once, even when it is a pipe or a file.
//
// Threads: writeLogLine runs on whatever thread posted the record. `pluginNames` is changed by the
// plugin loader on the first thread and read here; both sides take `logMutex`. `background` is set
// by the I/O thread and read without a lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace kv::core {

class LogSink {
 public:
  // The system interfaces the sink uses; tests replace them.
  struct Seams {
    int outputFd = 1;                                      // standard output
    std::function<void(std::string_view)> syslogCritical;  // syslog(LOG_CRIT, "%.*s", ...)
    std::function<int64_t()> wallClockNanos;               // system clock, ns since the epoch
  };

  LogSink();
  explicit LogSink(Seams seams);

  // Writes one record of `length` bytes at `text` (not terminated) from plugin `id` (0: the core)
  // as one line. Levels above 99 (taken as unsigned) also go to the system log and are written as
  // 100. Throws std::system_error "cannot write to file" when the line is not written whole.
  void writeLogLine(uint32_t id, int32_t level, uint32_t length, const char* text);

  // From "Background:true" on, nothing is written to standard output. Never undone.
  void setBackground() { background_.store(true, std::memory_order_relaxed); }
  bool background() const { return background_.load(std::memory_order_relaxed); }

  // Names shown for plugin IDs; entry 0 is "core" until a plugin with ID 0 replaces it.
  void setPluginName(uint32_t id, std::string name);
  std::optional<std::string> pluginName(uint32_t id) const;

  // Selects the escape texts: 1 for colours, 0 for plain lines. Fixed before the first line.
  uint8_t colourLog = 1;

 private:
  std::string_view name(uint32_t id, char (&fallback)[8]) const;

  Seams seams_;
  mutable std::mutex logMutex;
  std::map<uint32_t, std::string> pluginNames;  // guarded by logMutex
  // Relaxed: a line being written while it flips may still appear, which is acceptable.
  std::atomic<bool> background_{false};
};

}  // namespace kv::core
