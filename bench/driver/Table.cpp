#include "bench/driver/Table.h"

#include <cstdio>
#include <fstream>
#include <limits>
#include <stdexcept>

namespace kv::bench {
namespace {

// What the event path has to show against the yardsticks, row by row. 256 KiB with four readers
// holds the lead it had when these were set (6.6x); 64 KiB with four has only the spread.
const Goal kGoals[] = {
    {0, 1, 2.0, 0},     {0, 4, 4.0, 0},        {1024, 1, 1.5, 0},   {1024, 4, 3.0, 0},
    {65536, 1, 1.5, 0}, {262144, 1, 2.0, 1.2}, {262144, 4, 6.6, 0},
};

std::string number(const char* format, double value) {
  char text[32];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

// "2x", "1.5x", "6.6x": a goal's figure as short as it goes.
std::string times(double value) {
  return number("%gx", value);
}

std::string withRange(const Spread& spread) {
  return formatRate(spread.median) + " (" + formatRate(spread.min) + " - " +
         formatRate(spread.max) + ")";
}

double ratioOf(const Row& row) {
  return row.zeroMq.median > 0 ? row.core.median / row.zeroMq.median
                               : std::numeric_limits<double>::infinity();
}

double spreadOfCore(const Row& row) {
  return row.core.min > 0 ? row.core.max / row.core.min : std::numeric_limits<double>::infinity();
}

}  // namespace

const Goal* goalFor(uint32_t payload, uint32_t consumers) {
  for (const Goal& goal : kGoals) {
    if (goal.payload == payload && goal.consumers == consumers) return &goal;
  }
  return nullptr;
}

bool Verdict::met() const {
  for (const Check& check : checks) {
    if (!check.met) return false;
  }
  return true;
}

std::string Verdict::text() const {
  if (met()) return "met";
  std::string text = "NOT met:";
  for (const Check& check : checks) {
    if (!check.met) text += " " + check.what + ";";
  }
  text.pop_back();
  return text;
}

Verdict judgeRow(const Row& row, const Goal* goal) {
  Verdict verdict;
  if (goal != nullptr && goal->minRatio > 0) {
    // A ZeroMQ median of zero means no ZeroMQ figure at all, never a win.
    const double ratio = row.zeroMq.median > 0 ? ratioOf(row) : 0;
    verdict.target += ">=" + times(goal->minRatio) + ", ";
    verdict.checks.push_back({"core/ZMQ " + number("%.2fx", ratio) + " < " + times(goal->minRatio),
                              ratio >= goal->minRatio});
  }
  if (goal != nullptr && goal->maxColdCopies > 0) {
    const double perEvent =
        row.core.median > 0 ? 1e9 / row.core.median : std::numeric_limits<double>::infinity();
    const double copies = perEvent / row.copy.coldNanos;
    verdict.target += "<=" + times(goal->maxColdCopies) + " copy, ";
    verdict.checks.push_back(
        {"time per event " + number("%.2fx", copies) + " a cold copy > " +
             times(goal->maxColdCopies),
         row.copy.coldNanos > 0 && perEvent <= goal->maxColdCopies * row.copy.coldNanos});
  }
  const double spread = spreadOfCore(row);
  verdict.target += "spread<" + number("%g", kMaxSpread);
  verdict.checks.push_back({"spread " + number("%.2f", spread) + " >= " + number("%g", kMaxSpread),
                            spread < kMaxSpread});
  return verdict;
}

std::string sizeName(uint32_t bytes) {
  if (bytes >= 1024 && bytes % 1024 == 0) return std::to_string(bytes / 1024) + " KiB";
  return std::to_string(bytes) + " B";
}

void printTable(const std::vector<Row>& rows) {
  std::printf("%-8s %2s  %-26s %-26s %8s  %14s %14s %8s  %s\n", "payload", "K",
              "core ev/s (min - max)", "ZeroMQ ev/s (min - max)", "core/ZMQ", "memcpy cold/s",
              "memcpy hot/s", "refused", "goal");
  size_t checks = 0;
  size_t met = 0;
  for (const Row& row : rows) {
    const auto perSecond = [&](double nanos) {
      return row.scenario.payload == 0 ? std::string("-") : formatRate(1e9 / nanos);
    };
    const Verdict verdict = judgeRow(row);
    for (const Check& check : verdict.checks) met += check.met ? 1 : 0;
    checks += verdict.checks.size();
    std::printf("%-8s %2u  %-26s %-26s %7.2fx  %14s %14s %8.0f  %-30s %s\n",
                sizeName(row.scenario.payload).c_str(), row.scenario.consumers,
                withRange(row.core).c_str(), withRange(row.zeroMq).c_str(), ratioOf(row),
                perSecond(row.copy.coldNanos).c_str(), perSecond(row.copy.hotNanos).c_str(),
                row.coreRefused.median, verdict.target.c_str(), verdict.text().c_str());
  }
  std::printf("\ngoals met: %zu of %zu\n", met, checks);
}

void writeCsv(const std::filesystem::path& path, const std::vector<Row>& rows, int runs) {
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
  std::ofstream csv(path);
  csv << "payload_bytes,consumers,records,runs,core_median,core_min,core_max,zmq_median,zmq_min,"
         "zmq_max,core_over_zmq,memcpy_cold_ns,memcpy_hot_ns,core_refused_median,zmq_refused_"
         "median,goals_met\n";
  for (const Row& row : rows) {
    csv << row.scenario.payload << ',' << row.scenario.consumers << ',' << row.scenario.count << ','
        << runs << ',' << row.core.median << ',' << row.core.min << ',' << row.core.max << ','
        << row.zeroMq.median << ',' << row.zeroMq.min << ',' << row.zeroMq.max << ','
        << ratioOf(row) << ',' << row.copy.coldNanos << ',' << row.copy.hotNanos << ','
        << row.coreRefused.median << ',' << row.zeroMqRefused.median << ','
        << (judgeRow(row).met() ? 1 : 0) << '\n';
  }
  if (!csv) throw std::runtime_error("cannot write " + path.string());
}

}  // namespace kv::bench
