// Measuring the core's resident memory and the limit above which live media is throttled.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kv::core {

// The system interfaces of the memory watch, behind a seam that tests replace.
class MemorySystem {
 public:
  virtual ~MemorySystem() = default;
  // The text of /proc/self/statm; none when it can't be read.
  virtual std::optional<std::string> statm();
  virtual uint64_t pageSize();
  // The soft stack limit of the process.
  virtual uint64_t stackLimit();
  // Total physical memory in bytes; none when sysinfo fails.
  virtual std::optional<uint64_t> totalMemory();
};

struct MemoryLimits {
  uint64_t throttling = 0;  // bytes of resident memory above which media is throttled
  uint64_t stack = 0;
};

// Resident pages times the page size, in 32-bit arithmetic; 0 when statm can't be read.
uint32_t memoryInUse(MemorySystem& system);

// 80 % of physical memory (rounded down to a multiple of 80 bytes) on machines with 512 MiB or
// more, 190 MiB otherwise or when the memory size is unknown.
MemoryLimits determineMemoryLimits(MemorySystem& system);

}  // namespace kv::core
