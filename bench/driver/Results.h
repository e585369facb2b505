// The judging side of korva-bench: the report lines of the bench plugins, whether a run delivered
// everything in order, its rate, and the spread of several runs. Plain functions on values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kv::bench {

// "producer posted=N refused=R first=NS last=NS"
struct ProducerReport {
  uint64_t posted = 0;
  uint64_t refused = 0;  // posts refused by a full queue and tried again
  int64_t first = 0;     // steady-clock nanoseconds of the first post
  int64_t last = 0;
};

// "consumer id=ID received=N expected=M ordered=0|1 payload=0|1 first=NS last=NS badat=S"
struct ConsumerReport {
  uint32_t id = 0;
  uint64_t received = 0;
  uint64_t expected = 0;  // the count the end marker announced
  bool ordered = false;
  bool payloadOk = false;
  int64_t first = 0;  // steady-clock nanoseconds of the first record
  int64_t last = 0;   // and of the end marker
  uint64_t badAt = 0;
};

// A report line as the plugins write it; nullopt when it is another line or a word is missing or
// not a number.
std::optional<ProducerReport> parseProducerReport(std::string_view line);
std::optional<ConsumerReport> parseConsumerReport(std::string_view line);

struct RunOutcome {
  double eventsPerSecond = 0;
  std::string error;
  uint64_t refused = 0;  // posts the bound pushed back: whether the consumers set the pace  //
                         // empty when every consumer got every record in order
  bool ok() const { return error.empty(); }
};

// Judges one run of `count` records to `consumers` consumers: any record missing, repeated or out
// of order, a wrong payload, a post given up or a missing report is an error that says which; else
// the rate from the producer's first post to the last consumer's last receive.
RunOutcome judgeRun(const ProducerReport& producer, const std::vector<ConsumerReport>& reports,
                    uint64_t count, size_t consumers);

struct Spread {
  double median = 0;
  double min = 0;
  double max = 0;
};
// REQUIRES: values not empty. The median of an even count is the mean of the middle two.
Spread spreadOf(std::vector<double> values);

// "2.90 M", "820 k", "950": three significant digits with a unit.
std::string formatRate(double eventsPerSecond);

}  // namespace kv::bench
