// Start-up with 20 plugins: from the exec of the core to the first delivery of a record. The
// producer posts one record from its worker without waiting, so the record waits in the queue for
// the dispatch loop; 19 consumers receive it.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <limits>

#include "bench/driver/CoreRun.h"
#include "bench/driver/Scenarios.h"

namespace kv::bench {

namespace {
constexpr uint32_t kConsumers = 19;  // and the producer: 20 plugins
}

void runStartup(const ScenarioContext& context) {
  const ScenarioOptions& options = context.options;
  std::fprintf(stderr, "korva-bench: start-up with %u plugins, %d runs\n", kConsumers + 1,
               options.runs);
  std::vector<double> firstMs;
  std::vector<double> allMs;
  for (int run = 1; run <= options.runs; ++run) {
    CoreScenario scenario;
    scenario.consumers = kConsumers;
    scenario.count = 1;
    scenario.waitForDispatch = false;
    ReportLines lines;
    int64_t exec = 0;
    const RunOutcome outcome = runCore(context.paths, scenario, options.scratch / "startup",
                                       std::chrono::seconds(120), &lines, &exec);
    if (!outcome.ok()) {
      throw ScenarioFailure("start-up, run " + std::to_string(run) + ": " + outcome.error);
    }
    if (exec == 0) throw ScenarioFailure("start-up: the exec time never came from the child");
    int64_t first = std::numeric_limits<int64_t>::max();
    int64_t all = 0;
    for (const ConsumerReport& report : consumersIn(lines)) {
      first = std::min(first, report.first);
      all = std::max(all, report.first);
    }
    firstMs.push_back(static_cast<double>(first - exec) / 1e6);
    allMs.push_back(static_cast<double>(all - exec) / 1e6);
  }
  std::filesystem::remove_all(options.scratch / "startup");
  const Spread first = spreadOf(firstMs);
  const Spread all = spreadOf(allMs);
  std::printf("\nstart-up with %u plugins, exec to delivery (median of %d, min - max)\n",
              kConsumers + 1, options.runs);
  std::printf("first delivery   %8.2f ms (%.2f - %.2f)\n", first.median, first.min, first.max);
  std::printf("all %2u consumers %8.2f ms (%.2f - %.2f)\n", kConsumers, all.median, all.min,
              all.max);

  std::filesystem::create_directories(options.csvDir);
  std::ofstream csv(options.csvDir / "startup.csv");
  csv << "plugins,runs,first_median_ms,first_min_ms,first_max_ms,all_median_ms,all_min_ms,"
         "all_max_ms\n";
  csv << kConsumers + 1 << ',' << options.runs << ',' << first.median << ',' << first.min << ','
      << first.max << ',' << all.median << ',' << all.min << ',' << all.max << '\n';
}

}  // namespace kv::bench
