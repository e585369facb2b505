#include "bench/driver/ProcStats.h"

#include <unistd.h>

#include <charconv>
#include <fstream>
#include <sstream>
#include <string>

namespace kv::bench {
namespace {

std::optional<std::string> slurp(const std::string& path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return text.str();
}

bool readNumber(std::string_view text, uint64_t& out) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
  return error == std::errc() && end == text.data() + text.size();
}

}  // namespace

std::optional<uint64_t> parseCpuTicks(std::string_view stat) {
  const size_t paren = stat.rfind(')');
  if (paren == std::string_view::npos) return std::nullopt;
  // After the name: field 3 (state) onwards; utime and stime are fields 14 and 15.
  std::string_view rest = stat.substr(paren + 1);
  uint64_t utime = 0;
  uint64_t stime = 0;
  for (int field = 3; field <= 15; ++field) {
    const size_t start = rest.find_first_not_of(' ');
    if (start == std::string_view::npos) return std::nullopt;
    rest = rest.substr(start);
    const size_t end = std::min(rest.find(' '), rest.find('\n'));
    const std::string_view word = rest.substr(0, end);
    if ((field == 14 && !readNumber(word, utime)) || (field == 15 && !readNumber(word, stime))) {
      return std::nullopt;
    }
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
  }
  return utime + stime;
}

std::optional<MemoryUse> parseSmapsRollup(std::string_view rollup) {
  MemoryUse use;
  uint64_t clean = 0;
  uint64_t dirty = 0;
  int found = 0;
  while (!rollup.empty()) {
    const size_t newline = rollup.find('\n');
    const std::string_view line = rollup.substr(0, newline);
    rollup = newline == std::string_view::npos ? std::string_view() : rollup.substr(newline + 1);
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view key = line.substr(0, colon);
    uint64_t* target = key == "Rss"             ? &use.rssKiB
                       : key == "Private_Clean" ? &clean
                       : key == "Private_Dirty" ? &dirty
                                                : nullptr;
    if (target == nullptr) continue;
    // "Rss:                1234 kB"
    std::string_view value = line.substr(colon + 1);
    const size_t start = value.find_first_not_of(' ');
    if (start == std::string_view::npos) return std::nullopt;
    value = value.substr(start);
    const size_t space = value.find(' ');
    if (space == std::string_view::npos || value.substr(space + 1) != "kB") return std::nullopt;
    if (!readNumber(value.substr(0, space), *target)) return std::nullopt;
    ++found;
  }
  if (found != 3) return std::nullopt;
  use.ussKiB = clean + dirty;
  return use;
}

std::optional<uint64_t> readCpuTicks(pid_t pid) {
  const auto text = slurp("/proc/" + std::to_string(pid) + "/stat");
  return text ? parseCpuTicks(*text) : std::nullopt;
}

std::optional<MemoryUse> readMemoryUse(pid_t pid) {
  const auto text = slurp("/proc/" + std::to_string(pid) + "/smaps_rollup");
  return text ? parseSmapsRollup(*text) : std::nullopt;
}

long ticksPerSecond() {
  return sysconf(_SC_CLK_TCK);
}

}  // namespace kv::bench
