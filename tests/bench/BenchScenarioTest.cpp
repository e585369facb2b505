// The scenarios of korva-bench must not print a figure from a run that lost a record or from a
// report they misread: the latency judge and percentiles, the /proc parsers, and short runs of the
// real core for the paced latency, search streaming, start-up and idle scenarios.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/driver/CoreRun.h"
#include "bench/driver/Idle.h"
#include "bench/driver/Latency.h"
#include "bench/driver/ProcStats.h"
#include "bench/driver/Scenarios.h"
#include "bench/driver/SearchStream.h"
#include "bench/plugins/Percentiles.h"
#include "bench/plugins/SequenceCheck.h"
#include "tests/bench/EmulatorWords.h"

namespace kv::bench {
namespace {

namespace fs = std::filesystem;

TEST(BenchPercentiles, NearestRankPicksAMeasuredValue) {
  std::vector<int64_t> hundred;
  for (int64_t v = 100; v >= 1; --v) hundred.push_back(v * 10);  // unsorted on purpose
  const LatencySummary summary = summarise(hundred);
  EXPECT_EQ(summary.samples, 100u);
  EXPECT_EQ(summary.p50, 500);  // rank 50, not the mean of ranks 50 and 51
  EXPECT_EQ(summary.p99, 990);
  EXPECT_EQ(summary.max, 1000);

  // A single outlier in 1000 stays out of p99 but is the max; in 50 samples p99 is the max.
  std::vector<int64_t> thousand(1000, 7);
  thousand[123] = 900'000;
  const LatencySummary tail = summarise(thousand);
  EXPECT_EQ(tail.p99, 7);
  EXPECT_EQ(tail.max, 900'000);
  std::vector<int64_t> fifty(50, 3);
  fifty[0] = 40;
  EXPECT_EQ(summarise(fifty).p99, 40);

  std::vector<int64_t> one{42};
  const LatencySummary single = summarise(one);
  EXPECT_EQ(single.p50, 42);
  EXPECT_EQ(single.p99, 42);
  std::vector<int64_t> none;
  EXPECT_EQ(summarise(none).samples, 0u);
}

// The receiving side's check, as the consumers and the requester report it: the first fault is
// the one named, and a payload whose own number disagrees counts as a wrong payload.
TEST(BenchSequenceCheck, NamesTheFirstBreakAndCatchesStalePayloads) {
  uint64_t numbers[4] = {0, 1, 2, 3};
  const auto record = [&](uint64_t sequence, uint64_t* payload, uint32_t length) {
    core::EventParms event =
        core::makeEventRecord(core::kTypeAlarm, core::kFlagStored, 0, payload, length);
    writeSequence(event, sequence);
    return event;
  };
  SequenceCheck clean(8);
  for (uint64_t n = 0; n < 4; ++n) clean.see(record(n, &numbers[n], 8), 100 + n);
  EXPECT_EQ(clean.reportLine(0x61, 4, 900),
            "consumer id=97 received=4 expected=4 ordered=1 payload=1 first=100 last=900 badat=0");

  SequenceCheck repeated(8);
  for (uint64_t n : {0, 1, 1, 3, 2}) repeated.see(record(n, &numbers[n], 8), 5);
  const auto report = parseConsumerReport(repeated.reportLine(0x62, 4, 9));
  ASSERT_TRUE(report);
  EXPECT_FALSE(report->ordered);
  EXPECT_EQ(report->badAt, 1u);  // the repeat, not the later jump
  EXPECT_EQ(report->received, 5u);

  // A block reused before the reader saw it: record 2 arrives carrying number 1.
  SequenceCheck stale(8);
  stale.see(record(0, &numbers[0], 8), 1);
  stale.see(record(1, &numbers[1], 8), 2);
  stale.see(record(2, &numbers[1], 8), 3);
  EXPECT_FALSE(parseConsumerReport(stale.reportLine(0x61, 3, 4))->payloadOk);
  SequenceCheck shortPayload(8);
  shortPayload.see(record(0, &numbers[0], 4), 1);
  EXPECT_FALSE(parseConsumerReport(shortPayload.reportLine(0x61, 1, 4))->payloadOk);
}

TEST(BenchLatencyJudge, TakesTheWorstConsumerAndRefusesShortOrMissingReports) {
  const std::vector<std::string> good = {
      "latency id=97 samples=500 p50=4000 p99=9000 max=30000",
      "consumer id=97 received=500 expected=500 ordered=1 payload=1 first=1 last=2 badat=0",
      "latency id=98 samples=500 p50=6000 p99=8000 max=50000",
  };
  const LatencyOutcome outcome = judgeLatency(good, 500, 2);
  ASSERT_TRUE(outcome.ok()) << outcome.error;
  EXPECT_EQ(outcome.worst.p50, 6000);
  EXPECT_EQ(outcome.worst.p99, 9000);
  EXPECT_EQ(outcome.worst.max, 50000);

  struct Case {
    const char* name;
    std::vector<std::string> lines;
    const char* says;
  };
  const std::vector<Case> cases = {
      {"missing consumer", {good[0]}, "1 of 2 consumers sent latencies"},
      {"short", {good[0], "latency id=98 samples=499 p50=1 p99=2 max=3"}, "98 timed 499 of 500"},
      {"twice", {good[0], good[0], good[2]}, "97 sent two latency lines"},
      {"disordered", {good[0], "latency id=98 samples=500 p50=9 p99=2 max=3"}, "out of order"},
      {"negative", {good[0], "latency id=98 samples=500 p50=-5 p99=2 max=3"}, "out of order"},
  };
  for (const Case& c : cases) {
    const LatencyOutcome bad = judgeLatency(c.lines, 500, 2);
    EXPECT_FALSE(bad.ok()) << c.name;
    EXPECT_NE(bad.error.find(c.says), std::string::npos) << c.name << ": " << bad.error;
  }
}

TEST(BenchLatencyJudge, ReportLinesParseOnlyWhenWhole) {
  const auto line = parseLatencyReport("latency id=99 samples=5000 p50=5100 p99=61000 max=-1");
  ASSERT_TRUE(line);
  EXPECT_EQ(line->id, 99u);
  EXPECT_EQ(line->summary.samples, 5000u);
  EXPECT_EQ(line->summary.p99, 61000);
  EXPECT_EQ(line->summary.max, -1);
  for (const char* bad : {"latency id=99 samples=5000 p50=5100 p99=61000",
                          "latency id=99 samples=5000 p50=5100 p99=61000 max=7 extra",
                          "latency id=99 samples=50x0 p50=5100 p99=61000 max=7",
                          "consumer id=99 received=1 expected=1 ordered=1 payload=1 first=1 last=2 "
                          "badat=0",
                          ""}) {
    EXPECT_FALSE(parseLatencyReport(bad)) << bad;
  }
}

TEST(BenchProcStats, SmapsRollupGivesRssAndPrivatePages) {
  const char* rollup =
      "559f561e1000-7ffd521f6000 ---p 00000000 00:00 0                          [rollup]\n"
      "Rss:                1752 kB\n"
      "Pss:                 226 kB\n"
      "Shared_Clean:       1600 kB\n"
      "Shared_Dirty:          0 kB\n"
      "Private_Clean:        40 kB\n"
      "Private_Dirty:       112 kB\n"
      "Private_Hugetlb:       0 kB\n"
      "Swap:                  0 kB\n";
  const auto use = parseSmapsRollup(rollup);
  ASSERT_TRUE(use);
  EXPECT_EQ(use->rssKiB, 1752u);
  EXPECT_EQ(use->ussKiB, 152u);  // Private_Hugetlb is not Private_Clean or Private_Dirty

  EXPECT_FALSE(parseSmapsRollup("Rss: 10 kB\nPrivate_Clean: 1 kB\n"));
  EXPECT_FALSE(parseSmapsRollup("Rss: 10 kB\nPrivate_Clean: 1 kB\nPrivate_Dirty: 2 MB\n"));
  EXPECT_FALSE(parseSmapsRollup("Rss: 10 kB\nPrivate_Clean: x kB\nPrivate_Dirty: 2 kB\n"));
}

TEST(BenchProcStats, StatTimesCountFromTheLastParenthesis) {
  // utime 250 and stime 17 are fields 14 and 15; the name holds ") S 1 2" to mislead a naive split.
  EXPECT_EQ(parseCpuTicks("4242 (kor) S 1 2) R 1 4242 4242 0 -1 4194560 120 0 0 0 250 17 0 0 20 0 "
                          "5 0 100 0\n"),
            267u);
  EXPECT_EQ(parseCpuTicks("1 (init) S 0 1 1 0 -1 4194560 1 2 3 4 5 6 7 8 9"), 11u);
  EXPECT_FALSE(parseCpuTicks("4242 (korvacore) S 1 4242"));
  EXPECT_FALSE(parseCpuTicks("4242 korvacore S 1 4242 4242 0 -1 4194560 120 0 0 0 250 17"));
  // Our own process, read for real.
  EXPECT_TRUE(readCpuTicks(getpid()));
  const auto self = readMemoryUse(getpid());
  ASSERT_TRUE(self);
  EXPECT_GT(self->rssKiB, 0u);
  EXPECT_LE(self->ussKiB, self->rssKiB);
}

TEST(BenchScenarioList, NamesOrAllOnly) {
  EXPECT_EQ(parseScenarioList("search,latency"), (std::vector<std::string>{"search", "latency"}));
  EXPECT_EQ(parseScenarioList("all"), kScenarioNames);
  EXPECT_TRUE(parseScenarioList("none").empty());
  EXPECT_THROW(parseScenarioList("latency,soak"), std::invalid_argument);
}

fs::path scratch(const char* name) {
  return fs::temp_directory_path() / (std::string(name) + std::to_string(getpid()));
}

const CorePaths kPaths{KV_KORVACORE, KV_BENCH_PRODUCER, KV_BENCH_CONSUMER, emulatorWords()};

// Paced runs: every record timed by every consumer, and a lost record failing the run before any
// latency is looked at.
TEST(BenchScenarioRun, PacedLatencyRunsAreTimedAndALossFails) {
  const fs::path dir = scratch("kv_bench_latency_");
  CoreScenario scenario;
  scenario.payload = 64;
  scenario.consumers = 2;
  scenario.count = 200;
  scenario.pace = 2000;
  scenario.latency = true;
  ReportLines lines;
  const RunOutcome good = runCore(kPaths, scenario, dir, std::chrono::seconds(60), &lines);
  ASSERT_TRUE(good.ok()) << good.error;
  const LatencyOutcome judged = judgeLatency(lines, scenario.count, scenario.consumers);
  EXPECT_TRUE(judged.ok()) << judged.error;
  EXPECT_GT(judged.worst.max, 0);

  scenario.skip = 50;
  const RunOutcome lost = runCore(kPaths, scenario, dir, std::chrono::seconds(60), &lines);
  EXPECT_FALSE(lost.ok());
  EXPECT_NE(lost.error.find("received record 51 out of order"), std::string::npos) << lost.error;
  fs::remove_all(dir);
}

// The requester sees every result in order, whatever the payload; a result the server skipped is
// noticed at the requester.
TEST(BenchScenarioRun, SearchStreamsAreCheckedAtTheRequester) {
  const SearchPaths paths{KV_KORVACORE, KV_BENCH_SERVER, KV_BENCH_REQUESTER, emulatorWords()};
  const fs::path dir = scratch("kv_bench_search_");
  for (const uint32_t payload : {3u, 65536u}) {
    const RunOutcome good =
        runSearchStream(paths, payload, 200, std::nullopt, dir, std::chrono::seconds(60));
    EXPECT_TRUE(good.ok()) << payload << " B: " << good.error;
  }
  const RunOutcome lost = runSearchStream(paths, 1024, 200, 10, dir, std::chrono::seconds(60));
  EXPECT_FALSE(lost.ok());
  EXPECT_NE(lost.error.find("0x61 received record 11 out of order"), std::string::npos)
      << lost.error;
  fs::remove_all(dir);
}

// A record posted during the start-up reaches all 19 consumers, and the exec time comes from the
// child, before any of them.
TEST(BenchScenarioRun, StartUpRecordReachesTwentyPlugins) {
  const fs::path dir = scratch("kv_bench_startup_");
  CoreScenario scenario;
  scenario.consumers = 19;
  scenario.count = 1;
  scenario.waitForDispatch = false;
  ReportLines lines;
  int64_t exec = 0;
  const RunOutcome outcome =
      runCore(kPaths, scenario, dir, std::chrono::seconds(120), &lines, &exec);
  ASSERT_TRUE(outcome.ok()) << outcome.error;
  const auto consumers = consumersIn(lines);
  ASSERT_EQ(consumers.size(), 19u);
  EXPECT_GT(exec, 0);
  for (const ConsumerReport& report : consumers) EXPECT_GT(report.first, exec) << report.id;
  fs::remove_all(dir);
}

// An idle core with no plugins stays up for the window and ends cleanly on close; a core that dies
// during the window fails the measurement.
TEST(BenchScenarioRun, IdleRunsNeedACoreThatStaysUp) {
  const fs::path dir = scratch("kv_bench_idle_");
  stageTree(KV_KORVACORE, dir, {});
  const IdleFigures figures = measureIdle(dir, emulatorWords(), std::chrono::milliseconds(200),
                                          std::chrono::milliseconds(500));
  ASSERT_TRUE(figures.ok()) << figures.error;
  EXPECT_GT(figures.memory.ussKiB, 0u);
  EXPECT_GE(figures.cpuShare, 0);

  const fs::path notACore = scratch("kv_bench_idle_false_");
  std::ofstream(notACore) << "#!/bin/sh\nexit 4\n";
  fs::permissions(notACore, fs::perms::owner_all);
  stageTree(notACore, dir, {});
  const IdleFigures died =
      measureIdle(dir, {}, std::chrono::milliseconds(200), std::chrono::milliseconds(300));
  EXPECT_FALSE(died.ok());
  EXPECT_NE(died.error.find("ended with code 4 while idle"), std::string::npos) << died.error;
  fs::remove(notACore);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace kv::bench
