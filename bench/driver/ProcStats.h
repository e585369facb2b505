// What /proc tells about a running process: its CPU time (utime + stime of /proc/PID/stat) and its
// memory (Rss, and Private_Clean + Private_Dirty as its unique set, of /proc/PID/smaps_rollup).
// The parsers are plain functions on the files' text; the readers return nullopt when the process
// is gone or the file can't be read.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string_view>

namespace kv::bench {

// utime + stime in clock ticks, from the text of /proc/PID/stat. The command name in parentheses
// may hold spaces and parentheses of its own, so the fields are counted from the last ')'.
std::optional<uint64_t> parseCpuTicks(std::string_view stat);

struct MemoryUse {
  uint64_t rssKiB = 0;
  uint64_t ussKiB = 0;  // pages no other process shares: Private_Clean + Private_Dirty
};
// From the text of /proc/PID/smaps_rollup; nullopt when one of the three lines is missing.
std::optional<MemoryUse> parseSmapsRollup(std::string_view rollup);

std::optional<uint64_t> readCpuTicks(pid_t pid);
std::optional<MemoryUse> readMemoryUse(pid_t pid);
// Clock ticks per second, to turn ticks into seconds.
long ticksPerSecond();

}  // namespace kv::bench
