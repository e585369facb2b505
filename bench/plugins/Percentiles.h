// Percentiles of a set of latencies, by nearest rank: the p-th percentile is a value that was
// measured (the smallest one with at least p% of the values at or below it), never a mean of two.
// Shared by the bench consumers, which summarise their own deliveries, and korva-bench's timer.
//
// Plain functions on values.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace kv::bench {

struct LatencySummary {
  uint64_t samples = 0;
  int64_t p50 = 0;  // nanoseconds
  int64_t p99 = 0;
  int64_t max = 0;
};

// REQUIRES: `sorted` ascending and not empty; 0 < perMille <= 1000.
inline int64_t percentileOfSorted(const std::vector<int64_t>& sorted, uint32_t perMille) {
  // Rank ceil(n * p / 1000), counted from 1; integer arithmetic, so 99% of 100 is rank 99 exactly.
  const uint64_t rank = (static_cast<uint64_t>(sorted.size()) * perMille + 999) / 1000;
  return sorted[std::max<uint64_t>(rank, 1) - 1];
}

// Sorts `values` in place. An empty set summarises to zeros with no samples.
inline LatencySummary summarise(std::vector<int64_t>& values) {
  if (values.empty()) return {};
  std::sort(values.begin(), values.end());
  return {values.size(), percentileOfSorted(values, 500), percentileOfSorted(values, 990),
          values.back()};
}

}  // namespace kv::bench
