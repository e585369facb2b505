// One run of the real korvacore with the bench producer and K consumers: a staged tree in a
// scratch directory, the core started on one end of a packet socket pair, korva-bench playing the
// supervisor on the other until every plugin has reported, then the close packet.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "bench/driver/Results.h"

namespace kv::bench {

struct CorePaths {
  std::filesystem::path core;         // the korvacore executable
  std::filesystem::path producer;     // BenchProducer.so
  std::filesystem::path consumer;     // BenchConsumer.so
  std::vector<std::string> emulator;  // words before the core's path, to run a foreign build
};

struct CoreScenario {
  uint32_t payload = 0;          // bytes per record
  uint32_t consumers = 1;        // K
  uint32_t count = 0;            // records per run
  std::optional<uint32_t> skip;  // a record the producer leaves out: the bench's own tests
};

// Stages `dir` afresh (anything in it is removed), runs the core there and judges the run. A core
// that dies, doesn't report within `limit` or ends with a non-zero code fails the run; the error
// then names the core's output file.
RunOutcome runCore(const CorePaths& paths, const CoreScenario& scenario,
                   const std::filesystem::path& dir, std::chrono::seconds limit);

}  // namespace kv::bench
