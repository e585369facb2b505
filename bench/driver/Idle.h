// A running core left alone: its CPU share over a window, and its memory at the end.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/driver/ProcStats.h"

namespace kv::bench {

struct IdleFigures {
  double cpuShare = 0;  // of one core, over the window: 0.0005 is 0.05%
  MemoryUse memory;     // at the end of the window
  std::string error;    // empty when the core ran the whole window and ended with 0 on close
  bool ok() const { return error.empty(); }
};

// Runs the core of the tree staged in `dir`, lets it settle for `settle`, then watches it for
// `window` while answering it as the supervisor, and closes it.
IdleFigures measureIdle(const std::filesystem::path& dir, const std::vector<std::string>& emulator,
                        std::chrono::milliseconds settle, std::chrono::milliseconds window);

}  // namespace kv::bench
