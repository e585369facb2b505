// Latency from post to delivery at a paced rate: the consumers' "latency ..." lines, their judging,
// and the bare timer it is compared with.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bench/plugins/Percentiles.h"

namespace kv::bench {

// "latency id=ID samples=N p50=NS p99=NS max=NS"
struct LatencyReport {
  uint32_t id = 0;
  LatencySummary summary;
};
std::optional<LatencyReport> parseLatencyReport(std::string_view line);

struct LatencyOutcome {
  LatencySummary worst;  // each figure the largest of any consumer: the one served last
  std::string error;     // empty when every consumer timed every record
  bool ok() const { return error.empty(); }
};
// Judges the latency lines among `lines` of a run of `count` records to `consumers` consumers:
// one line per consumer, each over exactly `count` samples, in order p50 <= p99 <= max.
LatencyOutcome judgeLatency(const std::vector<std::string>& lines, uint64_t count,
                            size_t consumers);

// A thread sleeping with clock_nanosleep to `ticks` absolute deadlines `periodNanos` apart on
// CLOCK_MONOTONIC; how late each wake-up was.
LatencySummary measureTimerLateness(uint32_t ticks, long periodNanos);

}  // namespace kv::bench
