// Search results streamed with pacing: the bench requester asks once, the bench server's search
// entry posts the results, and the core holds the server to one result payload in flight.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "bench/driver/Results.h"

namespace kv::bench {

struct SearchPaths {
  std::filesystem::path core;
  std::filesystem::path server;     // BenchServer.so
  std::filesystem::path requester;  // BenchRequester.so
  std::vector<std::string> emulator;
};

// Stages the two plugins in `dir` (anything in it is removed), runs the core and judges the
// results at the requester: all `count` in order with their payloads, else an error that says
// which. The rate runs from the search entry's start to the requester's end marker.
RunOutcome runSearchStream(const SearchPaths& paths, uint32_t payload, uint32_t count,
                           std::optional<uint32_t> skip, const std::filesystem::path& dir,
                           std::chrono::seconds limit);

}  // namespace kv::bench
