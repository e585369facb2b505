#include "core/MemoryWatch.h"

#include <sys/resource.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace kv::core {
namespace {

constexpr uint64_t kSmallMachineLimit = 0x0BE00000;  // 190 MiB
constexpr uint64_t kLargeMachine = 0x20000000;       // 512 MiB

}  // namespace

std::optional<std::string> MemorySystem::statm() {
  std::ifstream file("/proc/self/statm");
  if (!file) return std::nullopt;
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

uint64_t MemorySystem::pageSize() {
  static const uint64_t size = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  return size;
}

uint64_t MemorySystem::stackLimit() {
  rlimit limit{};
  getrlimit(RLIMIT_STACK, &limit);
  return limit.rlim_cur;
}

std::optional<uint64_t> MemorySystem::totalMemory() {
  struct sysinfo info {};
  if (sysinfo(&info) != 0) return std::nullopt;
  return uint64_t{info.totalram} * info.mem_unit;
}

uint32_t memoryInUse(MemorySystem& system) {
  const auto text = system.statm();
  if (!text) return 0;
  unsigned long size = 0;
  unsigned long resident = 0;
  if (std::sscanf(text->c_str(), "%lu %lu", &size, &resident) != 2) resident = 0;
  return static_cast<uint32_t>(resident) * static_cast<uint32_t>(system.pageSize());
}

MemoryLimits determineMemoryLimits(MemorySystem& system) {
  MemoryLimits limits;
  limits.stack = system.stackLimit();
  limits.throttling = kSmallMachineLimit;
  const auto total = system.totalMemory();
  if (total && *total >= kLargeMachine) limits.throttling = *total / 100 * 80;
  return limits;
}

}  // namespace kv::core
