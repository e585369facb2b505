// korva-bench: the event path of the real korvacore against its yardsticks. For each payload size
// and number of consumers it runs the core with the bench producer and consumers, ZeroMQ's
// in-process publish/subscribe with as many subscribers, and a hot and a cold memcpy of the
// payload; prints one table of medians with the goal each row is held to and writes it as CSV. A
// run that lost or reordered a record fails the whole bench with what went wrong instead of
// printing a number.
//
//   korva-bench [--runs N] [--scale F] [--scratch DIR] [--csv FILE] [--only PAYLOAD] [--core PATH]
//               [--scenarios LIST] [--skip-table] [--idle-seconds S] [--soak SECONDS]
// The scenarios (bench/driver/Scenarios.h) run after the table, their CSVs beside its own.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/driver/Anchors.h"
#include "bench/driver/CoreRun.h"
#include "bench/driver/Results.h"
#include "bench/driver/Scenarios.h"
#include "bench/driver/Table.h"

namespace {

namespace fs = std::filesystem;
using namespace kv::bench;

const Scenario kScenarios[] = {
    {0, 1, 300000},   {0, 4, 300000},   {1024, 1, 200000}, {1024, 4, 200000},
    {65536, 1, 8000}, {65536, 4, 8000}, {262144, 1, 2000}, {262144, 4, 2000},
};

struct Options {
  int runs = 5;
  double scale = 1.0;
  fs::path scratch = KV_BENCH_SCRATCH;
  fs::path csv = KV_BENCH_CSV;
  long only = -1;                      // one payload size only
  fs::path core = KV_BENCH_KORVACORE;  // another build of the core, to compare with
  ScenarioOptions scenarios;
};

Options parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--skip-table") {
      options.scenarios.skipTable = true;
      continue;
    }
    if (i + 1 >= argc) throw std::invalid_argument("unknown option or missing value: " + word);
    const std::string value = argv[++i];
    if (word == "--runs") {
      options.runs = std::max(1, std::atoi(value.c_str()));
    } else if (word == "--scale") {
      options.scale = std::atof(value.c_str());
      if (options.scale <= 0) throw std::invalid_argument("--scale wants a positive number");
    } else if (word == "--scratch") {
      options.scratch = value;
    } else if (word == "--csv") {
      options.csv = value;
    } else if (word == "--core") {
      options.core = value;
    } else if (word == "--only") {
      options.only = std::atol(value.c_str());
    } else if (word == "--scenarios") {
      options.scenarios.which = parseScenarioList(value);
    } else if (word == "--idle-seconds") {
      options.scenarios.idleSeconds = std::max(1, std::atoi(value.c_str()));
    } else if (word == "--soak") {
      options.scenarios.soakSeconds = std::max(20, std::atoi(value.c_str()));
    } else {
      throw std::invalid_argument("unknown option " + word);
    }
  }
  options.scenarios.runs = options.runs;
  options.scenarios.scale = options.scale;
  options.scenarios.scratch = options.scratch;
  options.scenarios.csvDir = options.csv.parent_path();
  options.scenarios.core = options.core;
  return options;
}

void fail(const Scenario& scenario, const char* what, int run, const std::string& error) {
  std::fprintf(stderr, "korva-bench: FAILED: %s, K=%u, %s run %d of %u records: %s\n",
               sizeName(scenario.payload).c_str(), scenario.consumers, what, run, scenario.count,
               error.c_str());
  std::exit(1);
}

}  // namespace

int main(int argc, char** argv) try {
  const Options options = parse(argc, argv);
  if (options.scenarios.skipTable || options.scenarios.soakSeconds > 0) {
    return runScenarios(options.scenarios);
  }
  const CorePaths paths{options.core, KV_BENCH_PRODUCER, KV_BENCH_CONSUMER, {}};
  std::vector<Row> rows;
  std::map<uint32_t, CopyCost> copies;
  const auto began = std::chrono::steady_clock::now();
  for (Scenario scenario : kScenarios) {
    if (options.only >= 0 && scenario.payload != options.only) continue;
    scenario.count = std::max<uint32_t>(10, static_cast<uint32_t>(scenario.count * options.scale));
    std::fprintf(stderr, "korva-bench: %s, K=%u, %u records, %d runs\n",
                 sizeName(scenario.payload).c_str(), scenario.consumers, scenario.count,
                 options.runs);
    std::vector<double> core;
    std::vector<double> zeroMq;
    std::vector<double> coreRefused;
    std::vector<double> zeroMqRefused;
    // Interleaved, so that a slow spell of the machine weighs on both sides alike.
    for (int run = 1; run <= options.runs; ++run) {
      const RunOutcome ours =
          runCore(paths, {scenario.payload, scenario.consumers, scenario.count, {}},
                  options.scratch / "core", std::chrono::seconds(120));
      if (!ours.ok()) fail(scenario, "core", run, ours.error);
      core.push_back(ours.eventsPerSecond);
      coreRefused.push_back(static_cast<double>(ours.refused));
      const RunOutcome theirs = runZeroMq(scenario.payload, scenario.consumers, scenario.count);
      if (!theirs.ok()) fail(scenario, "ZeroMQ", run, theirs.error);
      zeroMq.push_back(theirs.eventsPerSecond);
      zeroMqRefused.push_back(static_cast<double>(theirs.refused));
    }
    // One copy measurement per payload size, for the rows of every K.
    if (!copies.count(scenario.payload)) copies[scenario.payload] = measureCopy(scenario.payload);
    rows.push_back({scenario, spreadOf(core), spreadOf(zeroMq), copies[scenario.payload],
                    spreadOf(coreRefused), spreadOf(zeroMqRefused)});
  }
  fs::remove_all(options.scratch / "core");

  printTable(rows);
  writeCsv(options.csv, rows, options.runs);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  std::printf("\nmedians of %d runs; every run delivered every record in order; %.0f s; %s\n",
              options.runs, seconds, options.csv.c_str());
  std::fflush(stdout);
  return runScenarios(options.scenarios);
} catch (const std::exception& error) {
  std::fprintf(stderr, "korva-bench: %s\n", error.what());
  return 2;
}
