// korva-bench must never print a number for a run that lost or reordered a record: its judge, the
// report lines it reads, and whole runs of the real core with the bench plugins.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/driver/CoreRun.h"
#include "bench/driver/Results.h"
#include "tests/bench/EmulatorWords.h"

namespace kv::bench {
namespace {

namespace fs = std::filesystem;

ConsumerReport consumer(uint32_t id, uint64_t received, int64_t last) {
  ConsumerReport report;
  report.id = id;
  report.received = received;
  report.expected = received;
  report.ordered = true;
  report.payloadOk = true;
  report.first = 1'100;
  report.last = last;
  return report;
}

TEST(BenchJudge, RateRunsFromTheFirstPostToTheLastConsumersLastReceive) {
  const ProducerReport producer{1000, 0, 1'000, 5'000};
  const RunOutcome outcome =
      judgeRun(producer, {consumer(0x61, 1000, 2'000'001'000), consumer(0x62, 1000, 4'000'001'000)},
               1000, 2);
  ASSERT_TRUE(outcome.ok()) << outcome.error;
  EXPECT_DOUBLE_EQ(outcome.eventsPerSecond, 250.0);
}

TEST(BenchJudge, EveryKindOfLossFailsTheRunAndSaysWhich) {
  const ProducerReport producer{100, 0, 1'000, 5'000};
  struct Case {
    const char* name;
    ProducerReport producer;
    std::vector<ConsumerReport> consumers;
    const char* says;
  };
  auto reordered = consumer(0x62, 100, 9'000);
  reordered.ordered = false;
  reordered.badAt = 42;
  auto shortRun = consumer(0x61, 99, 9'000);
  auto wrongEnd = consumer(0x61, 100, 9'000);
  wrongEnd.expected = 101;
  auto badPayload = consumer(0x63, 100, 9'000);
  badPayload.payloadOk = false;
  const std::vector<Case> cases = {
      {"post given up", {99, 1, 1'000, 5'000}, {consumer(0x61, 100, 9'000)}, "posted 99 of 100"},
      {"missing consumer", producer, {consumer(0x61, 100, 9'000)}, "1 of 2 consumers reported"},
      {"reordered",
       producer,
       {consumer(0x61, 100, 9'000), reordered},
       "0x62 received record 42 out"},
      {"record missing", producer, {shortRun, consumer(0x62, 100, 9'000)}, "received 99 of 100"},
      {"end marker disagrees", producer, {wrongEnd, consumer(0x62, 100, 9'000)}, "announced 101"},
      {"payload", producer, {consumer(0x61, 100, 9'000), badPayload}, "0x63 received a payload"},
      {"clock",
       producer,
       {consumer(0x61, 100, 900), consumer(0x62, 100, 1'000)},
       "before the first"},
  };
  for (const Case& c : cases) {
    const RunOutcome outcome = judgeRun(c.producer, c.consumers, 100, 2);
    EXPECT_FALSE(outcome.ok()) << c.name;
    EXPECT_NE(outcome.error.find(c.says), std::string::npos) << c.name << ": " << outcome.error;
  }
}

TEST(BenchReports, LinesParseOnlyWhenWhole) {
  const auto consumerLine = parseConsumerReport(
      "consumer id=98 received=7 expected=7 ordered=0 payload=1 first=-5 last=12 badat=3");
  ASSERT_TRUE(consumerLine);
  EXPECT_EQ(consumerLine->id, 98u);
  EXPECT_EQ(consumerLine->received, 7u);
  EXPECT_FALSE(consumerLine->ordered);
  EXPECT_TRUE(consumerLine->payloadOk);
  EXPECT_EQ(consumerLine->first, -5);
  EXPECT_EQ(consumerLine->badAt, 3u);
  const auto producerLine = parseProducerReport("producer posted=9 refused=0 first=10 last=20");
  ASSERT_TRUE(producerLine);
  EXPECT_EQ(producerLine->posted, 9u);
  EXPECT_EQ(producerLine->last, 20);

  for (const char* line :
       {"producer posted=9 refused=0 first=10", "producer posted=9x refused=0 first=1 last=2",
        "producers posted=9 refused=0 first=1 last=2", "consumer posted=9 refused=0 first=1 last=2",
        "", "producer"}) {
    EXPECT_FALSE(parseProducerReport(line)) << line;
  }
  EXPECT_FALSE(parseConsumerReport(
      "consumer id=98 received=7 expected=7 ordered=1 payload=1 first=1 last=2"));
}

TEST(BenchSpread, MedianMinAndMax) {
  const Spread odd = spreadOf({5, 1, 4, 2, 3});
  EXPECT_EQ(odd.median, 3);
  EXPECT_EQ(odd.min, 1);
  EXPECT_EQ(odd.max, 5);
  EXPECT_EQ(spreadOf({10, 2, 4, 8}).median, 6);
  EXPECT_EQ(spreadOf({7}).median, 7);
  EXPECT_EQ(formatRate(2'904'000), "2.90 M");
  EXPECT_EQ(formatRate(820'400), "820 k");
  EXPECT_EQ(formatRate(27'500), "27.5 k");
}

// Whole runs: the plugins' report lines as the judge reads them, the producer's wait for the
// dispatch loop, the consumers' checks, and the close at the end.
TEST(BenchCoreRun, RealCoreRunsAreJudgedFromThePluginsReports) {
  const CorePaths paths{KV_KORVACORE, KV_BENCH_PRODUCER, KV_BENCH_CONSUMER, emulatorWords()};
  struct Case {
    CoreScenario scenario;
    const char* says;  // nullptr: the run passes
  };
  const std::vector<Case> cases = {
      {{0, 1, 3000, {}}, nullptr},
      {{1024, 3, 2000, {}}, nullptr},
      // Record 7 never posted: the consumers see 8 where 7 was due.
      {{64, 2, 2000, 7}, "received record 8 out of order"},
  };
  const fs::path dir = fs::temp_directory_path() / ("kv_bench_" + std::to_string(getpid()));
  for (const Case& c : cases) {
    const RunOutcome outcome = runCore(paths, c.scenario, dir, std::chrono::seconds(120));
    const std::string name = std::to_string(c.scenario.payload) +
                             " B, K=" + std::to_string(c.scenario.consumers) + ": " + outcome.error;
    if (c.says == nullptr) {
      EXPECT_TRUE(outcome.ok()) << name;
      EXPECT_GT(outcome.eventsPerSecond, 0) << name;
    } else {
      EXPECT_FALSE(outcome.ok()) << name;
      EXPECT_NE(outcome.error.find(c.says), std::string::npos) << name;
    }
  }
  fs::remove_all(dir);
}

// A core that ends before the plugins have reported fails the run at once (not after the limit,
// which would say "no answer"), with its exit code and where its output went.
TEST(BenchCoreRun, ACoreThatEndsEarlyFailsTheRunAndSaysHow) {
  const fs::path notACore =
      fs::temp_directory_path() / ("kv_bench_false_" + std::to_string(getpid()));
  std::ofstream(notACore) << "#!/bin/sh\nexit 3\n";
  fs::permissions(notACore, fs::perms::owner_all);
  // Not through the emulator: the stand-in is a host script.
  const CorePaths paths{notACore, KV_BENCH_PRODUCER, KV_BENCH_CONSUMER, {}};
  const fs::path dir = fs::temp_directory_path() / ("kv_bench_early_" + std::to_string(getpid()));
  const RunOutcome outcome = runCore(paths, {0, 2, 100, {}}, dir, std::chrono::seconds(60));
  EXPECT_FALSE(outcome.ok());
  EXPECT_NE(outcome.error.find("ended with code 3 before every plugin reported (0 of 2"),
            std::string::npos)
      << outcome.error;
  EXPECT_NE(outcome.error.find("core.log"), std::string::npos) << outcome.error;
  fs::remove_all(dir);
  fs::remove(notACore);
}

}  // namespace
}  // namespace kv::bench
