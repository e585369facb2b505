#include "bench/driver/SearchStream.h"

#include <cstdio>
#include <fstream>

#include "bench/driver/CoreRun.h"
#include "bench/driver/Scenarios.h"
#include "bench/plugins/BenchReport.h"

namespace kv::bench {

RunOutcome runSearchStream(const SearchPaths& paths, uint32_t payload, uint32_t count,
                           std::optional<uint32_t> skip, const std::filesystem::path& dir,
                           std::chrono::seconds limit) {
  std::string serverConf =
      "count=" + std::to_string(count) + "\npayload=" + std::to_string(payload) + "\n";
  if (skip) serverConf += "skip=" + std::to_string(*skip) + "\n";
  stageTree(
      paths.core, dir,
      {{paths.server, "BenchServer.so", serverConf},
       {paths.requester, "BenchRequester.so",
        "id=" + std::to_string(kFirstConsumerId) + "\npayload=" + std::to_string(payload) + "\n"}});
  return runStaged(dir, paths.emulator, 1, count, limit);
}

namespace {

struct SearchCase {
  uint32_t payload;
  uint32_t count;  // results per run
};
constexpr SearchCase kCases[] = {{1024, 20000}, {65536, 4000}};

}  // namespace

void runSearch(const ScenarioContext& context) {
  const ScenarioOptions& options = context.options;
  const SearchPaths paths{context.paths.core, context.server, context.requester,
                          context.paths.emulator};
  struct Row {
    SearchCase c;
    Spread rate;
  };
  std::vector<Row> rows;
  for (SearchCase c : kCases) {
    c.count = std::max<uint32_t>(10, static_cast<uint32_t>(c.count * options.scale));
    std::fprintf(stderr, "korva-bench: search, %u B results, %u a run, %d runs\n", c.payload,
                 c.count, options.runs);
    std::vector<double> rates;
    for (int run = 1; run <= options.runs; ++run) {
      const RunOutcome outcome =
          runSearchStream(paths, c.payload, c.count, std::nullopt, options.scratch / "search",
                          std::chrono::seconds(120));
      if (!outcome.ok()) {
        throw ScenarioFailure("search, " + std::to_string(c.payload) + " B, run " +
                              std::to_string(run) + ": " + outcome.error);
      }
      rates.push_back(outcome.eventsPerSecond);
    }
    rows.push_back({c, spreadOf(rates)});
  }
  std::filesystem::remove_all(options.scratch / "search");

  std::printf("\nsearch results streamed, one payload in flight (median of %d, min - max)\n",
              options.runs);
  std::printf("%-8s %8s  %-26s %10s\n", "payload", "results", "results/s", "MB/s");
  for (const Row& row : rows) {
    std::printf("%-8s %8u  %-26s %10.1f\n", (std::to_string(row.c.payload / 1024) + " KiB").c_str(),
                row.c.count,
                (formatRate(row.rate.median) + " (" + formatRate(row.rate.min) + " - " +
                 formatRate(row.rate.max) + ")")
                    .c_str(),
                row.rate.median * row.c.payload / 1e6);
  }

  std::filesystem::create_directories(options.csvDir);
  std::ofstream csv(options.csvDir / "search.csv");
  csv << "payload_bytes,results,runs,results_per_s_median,results_per_s_min,results_per_s_max,"
         "mb_per_s_median\n";
  for (const Row& row : rows) {
    csv << row.c.payload << ',' << row.c.count << ',' << options.runs << ',' << row.rate.median
        << ',' << row.rate.min << ',' << row.rate.max << ','
        << row.rate.median * row.c.payload / 1e6 << '\n';
  }
}

}  // namespace kv::bench
