// korva-bench's scenarios beside the throughput table: latency at a paced 1 kHz, idle CPU and
// memory, start-up with 20 plugins, search results streamed with pacing, and the soak. Each prints
// its own block and rewrites its own CSV beside the table's; a run that lost or misordered a record
// fails the bench instead of printing.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/driver/CoreRun.h"

namespace kv::bench {

inline const std::vector<std::string> kScenarioNames = {"latency", "idle", "startup", "search"};

struct ScenarioOptions {
  std::vector<std::string> which = kScenarioNames;
  bool skipTable = false;
  int runs = 5;
  double scale = 1.0;
  int idleSeconds = 30;
  int soakSeconds = 0;  // > 0: the soak alone
  std::filesystem::path scratch;
  std::filesystem::path csvDir;
  std::filesystem::path core = KV_BENCH_KORVACORE;  // the core under test
};

// "latency,search": names of kScenarioNames, "all", or "none" (the table alone);
// std::invalid_argument for any other word.
std::vector<std::string> parseScenarioList(const std::string& list);

// What every scenario gets: where the pieces are, and the options.
struct ScenarioContext {
  CorePaths paths;
  std::filesystem::path server;     // BenchServer.so
  std::filesystem::path requester;  // BenchRequester.so
  ScenarioOptions options;
};

// A run that failed: the scenario and what went wrong.
struct ScenarioFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

void runLatency(const ScenarioContext& context);
void runIdle(const ScenarioContext& context);
void runStartup(const ScenarioContext& context);
void runSearch(const ScenarioContext& context);
void runSoak(const ScenarioContext& context);

// The scenarios of `options` (or the soak); 0, or 1 after printing why a run failed.
int runScenarios(const ScenarioOptions& options);

}  // namespace kv::bench
