#include "bench/driver/Latency.h"

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <thread>

#include "bench/driver/Scenarios.h"

namespace kv::bench {

std::optional<LatencyReport> parseLatencyReport(std::string_view line) {
  const std::string text(line);
  LatencyReport report;
  unsigned long long samples = 0;
  long long p50 = 0;
  long long p99 = 0;
  long long max = 0;
  int used = -1;
  if (std::sscanf(text.c_str(), "latency id=%u samples=%llu p50=%lld p99=%lld max=%lld%n",
                  &report.id, &samples, &p50, &p99, &max, &used) != 5 ||
      used != static_cast<int>(text.size())) {
    return std::nullopt;
  }
  report.summary = {samples, p50, p99, max};
  return report;
}

LatencyOutcome judgeLatency(const std::vector<std::string>& lines, uint64_t count,
                            size_t consumers) {
  std::map<uint32_t, LatencySummary> byId;
  for (const std::string& line : lines) {
    const auto report = parseLatencyReport(line);
    if (!report) continue;
    if (!byId.emplace(report->id, report->summary).second) {
      return {{}, "consumer " + std::to_string(report->id) + " sent two latency lines"};
    }
  }
  if (byId.size() != consumers) {
    return {{},
            std::to_string(byId.size()) + " of " + std::to_string(consumers) +
                " consumers sent latencies"};
  }
  LatencyOutcome outcome;
  for (const auto& [id, summary] : byId) {
    const std::string who = "consumer " + std::to_string(id);
    if (summary.samples != count) {
      return {{},
              who + " timed " + std::to_string(summary.samples) + " of " + std::to_string(count) +
                  " records"};
    }
    if (summary.p50 < 0 || summary.p50 > summary.p99 || summary.p99 > summary.max) {
      return {{}, who + " sent percentiles out of order (a clock or report fault)"};
    }
    outcome.worst.samples = count;
    outcome.worst.p50 = std::max(outcome.worst.p50, summary.p50);
    outcome.worst.p99 = std::max(outcome.worst.p99, summary.p99);
    outcome.worst.max = std::max(outcome.worst.max, summary.max);
  }
  return outcome;
}

LatencySummary measureTimerLateness(uint32_t ticks, long periodNanos) {
  std::vector<int64_t> lateness;
  lateness.reserve(ticks);
  // Its own thread, as the producer's worker is one; the driver's thread only waits.
  std::thread([&] {
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    for (uint32_t tick = 0; tick < ticks; ++tick) {
      deadline.tv_nsec += periodNanos;
      while (deadline.tv_nsec >= 1'000'000'000L) {
        deadline.tv_nsec -= 1'000'000'000L;
        ++deadline.tv_sec;
      }
      while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) != 0) {
      }
      timespec now{};
      clock_gettime(CLOCK_MONOTONIC, &now);
      lateness.push_back((static_cast<int64_t>(now.tv_sec) - deadline.tv_sec) * 1'000'000'000 +
                         (now.tv_nsec - deadline.tv_nsec));
    }
  }).join();
  return summarise(lateness);
}

namespace {

struct LatencyCase {
  uint32_t payload;
  uint32_t consumers;
};
constexpr LatencyCase kCases[] = {{0, 1}, {0, 4}, {65536, 1}, {65536, 4}};
constexpr uint32_t kRate = 1000;  // records a second
constexpr uint32_t kRecords = 5000;

double micros(int64_t nanos) {
  return static_cast<double>(nanos) / 1e3;
}

}  // namespace

void runLatency(const ScenarioContext& context) {
  const ScenarioOptions& options = context.options;
  const uint32_t count = std::max<uint32_t>(10, static_cast<uint32_t>(kRecords * options.scale));
  std::fprintf(stderr, "korva-bench: latency at %u Hz, %u records a case\n", kRate, count);
  struct Row {
    LatencyCase c;
    LatencySummary worst;
  };
  std::vector<Row> rows;
  for (const LatencyCase& c : kCases) {
    CoreScenario scenario;
    scenario.payload = c.payload;
    scenario.consumers = c.consumers;
    scenario.count = count;
    scenario.pace = kRate;
    scenario.latency = true;
    ReportLines lines;
    const auto limit = std::chrono::seconds(60 + count / kRate * 2);
    const RunOutcome run =
        runCore(context.paths, scenario, options.scratch / "latency", limit, &lines);
    const std::string name =
        "latency, " + std::to_string(c.payload) + " B, K=" + std::to_string(c.consumers) + ": ";
    if (!run.ok()) throw ScenarioFailure(name + run.error);
    const LatencyOutcome judged = judgeLatency(lines, count, c.consumers);
    if (!judged.ok()) throw ScenarioFailure(name + judged.error);
    rows.push_back({c, judged.worst});
  }
  std::filesystem::remove_all(options.scratch / "latency");
  const LatencySummary timer = measureTimerLateness(count, 1'000'000'000L / kRate);

  std::printf(
      "\nlatency, post to delivery at %u Hz (%u records a case; the consumer served last)\n", kRate,
      count);
  std::printf("%-8s %2s %10s %10s %10s\n", "payload", "K", "p50 us", "p99 us", "max us");
  for (const Row& row : rows) {
    std::printf(
        "%-8s %2u %10.1f %10.1f %10.1f\n",
        row.c.payload == 0 ? "0 B" : (std::to_string(row.c.payload / 1024) + " KiB").c_str(),
        row.c.consumers, micros(row.worst.p50), micros(row.worst.p99), micros(row.worst.max));
  }
  std::printf(
      "%-11s %10.1f %10.1f %10.1f  (clock_nanosleep to absolute 1 ms deadlines: lateness)\n",
      "bare timer", micros(timer.p50), micros(timer.p99), micros(timer.max));
  bool met = true;
  for (const Row& row : rows) met = met && row.worst.p50 <= 8000 && row.worst.p99 <= timer.p99;
  std::printf("goal p50 <= 8 us and p99 <= the bare timer's p99: %s\n", met ? "met" : "not met");

  std::filesystem::create_directories(options.csvDir);
  std::ofstream csv(options.csvDir / "latency.csv");
  csv << "case,payload_bytes,consumers,records,rate_hz,p50_ns,p99_ns,max_ns\n";
  for (const Row& row : rows) {
    csv << "core," << row.c.payload << ',' << row.c.consumers << ',' << count << ',' << kRate << ','
        << row.worst.p50 << ',' << row.worst.p99 << ',' << row.worst.max << '\n';
  }
  csv << "timer,,," << count << ',' << kRate << ',' << timer.p50 << ',' << timer.p99 << ','
      << timer.max << '\n';
}

}  // namespace kv::bench
