// korva-bench's throughput table: the rows it measured, the goals each row is held to, and the
// table and CSV made of them. The goals are data (kGoals, in Table.cpp); judging a row against
// them is a plain function of the row's figures, so it can be tested without running anything.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/driver/Anchors.h"
#include "bench/driver/Results.h"

namespace kv::bench {

struct Scenario {
  uint32_t payload;
  uint32_t consumers;
  uint32_t count;  // records per run: a run of a few tenths of a second, whose backlog, were the
                   // producer to outrun the dispatch thread completely, stays near 500 MiB
};

// The medians (with min and max) of one scenario's runs.
struct Row {
  Scenario scenario;
  Spread core;
  Spread zeroMq;
  CopyCost copy;
  Spread coreRefused;
  Spread zeroMqRefused;
};

// What one row must show. A zero means "no such goal" for that row.
struct Goal {
  uint32_t payload;
  uint32_t consumers;
  double minRatio;       // core median / ZeroMQ median at least this
  double maxColdCopies;  // the core's nanoseconds per event at most this many cold copies
};

// Every row, with or without an entry of its own: the core's slowest run at least this fraction
// of its fastest (max/min below 1.5), so no run fell into another mode.
constexpr double kMaxSpread = 1.5;

// The row's entry in the goals, or nullptr when it has only the spread to meet.
const Goal* goalFor(uint32_t payload, uint32_t consumers);

struct Check {
  std::string what;  // "core/ZMQ 2.31x >= 2x"
  bool met = false;
};

struct Verdict {
  std::string target;  // ">=2x, spread<1.5": what the row must show
  std::vector<Check> checks;
  bool met() const;
  std::string text() const;  // "met", or "NOT met: " and the checks that failed
};

// Judges a row against its goal (nullptr: the spread alone). A ZeroMQ median of zero or a
// core minimum of zero fails the goal that divides by it.
Verdict judgeRow(const Row& row, const Goal* goal);
inline Verdict judgeRow(const Row& row) {
  return judgeRow(row, goalFor(row.scenario.payload, row.scenario.consumers));
}

// "0 B", "1 KiB", "64 KiB".
std::string sizeName(uint32_t bytes);

// The table with a goal column and a last line counting the goals met, on standard output.
void printTable(const std::vector<Row>& rows);

// One line per row: medians, minima and maxima, the ratio, the copy costs, the refusals and
// whether the row met its goals. Creates the directory.
void writeCsv(const std::filesystem::path& path, const std::vector<Row>& rows, int runs);

}  // namespace kv::bench
