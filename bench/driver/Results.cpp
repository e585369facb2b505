#include "bench/driver/Results.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <map>

namespace kv::bench {
namespace {

using Words = std::map<std::string, std::string_view, std::less<>>;

// The key=value words of a line whose first word is `kind`.
std::optional<Words> wordsOf(std::string_view line, std::string_view kind) {
  const size_t space = line.find(' ');
  if (line.substr(0, space) != kind) return std::nullopt;
  Words words;
  for (size_t at = space; at != std::string_view::npos && at < line.size();) {
    const size_t start = at + 1;
    at = line.find(' ', start);
    const std::string_view word =
        line.substr(start, at == std::string_view::npos ? at : at - start);
    const size_t equals = word.find('=');
    if (equals == std::string_view::npos) continue;
    words[std::string(word.substr(0, equals))] = word.substr(equals + 1);
  }
  return words;
}

template <typename Number>
bool read(const Words& words, std::string_view key, Number& out) {
  const auto found = words.find(key);
  if (found == words.end()) return false;
  const std::string_view text = found->second;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
  return error == std::errc() && end == text.data() + text.size();
}

std::string hexId(uint32_t id) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%02x", id);
  return text;
}

}  // namespace

std::optional<ProducerReport> parseProducerReport(std::string_view line) {
  const auto words = wordsOf(line, "producer");
  ProducerReport report;
  if (!words || !read(*words, "posted", report.posted) ||
      !read(*words, "refused", report.refused) || !read(*words, "first", report.first) ||
      !read(*words, "last", report.last)) {
    return std::nullopt;
  }
  return report;
}

std::optional<ConsumerReport> parseConsumerReport(std::string_view line) {
  const auto words = wordsOf(line, "consumer");
  ConsumerReport report;
  int ordered = 0;
  int payload = 0;
  if (!words || !read(*words, "id", report.id) || !read(*words, "received", report.received) ||
      !read(*words, "expected", report.expected) || !read(*words, "ordered", ordered) ||
      !read(*words, "payload", payload) || !read(*words, "first", report.first) ||
      !read(*words, "last", report.last) || !read(*words, "badat", report.badAt)) {
    return std::nullopt;
  }
  report.ordered = ordered != 0;
  report.payloadOk = payload != 0;
  return report;
}

RunOutcome judgeRun(const ProducerReport& producer, const std::vector<ConsumerReport>& reports,
                    uint64_t count, size_t consumers) {
  const auto fail = [](std::string why) { return RunOutcome{0, std::move(why), 0}; };
  if (producer.posted != count) {
    return fail("the producer posted " + std::to_string(producer.posted) + " of " +
                std::to_string(count) + " records (" + std::to_string(producer.refused) +
                " refusals of a full queue)");
  }
  if (reports.size() != consumers) {
    return fail(std::to_string(reports.size()) + " of " + std::to_string(consumers) +
                " consumers reported");
  }
  int64_t last = producer.first;
  for (const ConsumerReport& report : reports) {
    const std::string who = "consumer " + hexId(report.id);
    if (!report.ordered) {
      return fail(who + " received record " + std::to_string(report.badAt) + " out of order");
    }
    if (report.received != count || report.expected != count) {
      return fail(who + " received " + std::to_string(report.received) + " of " +
                  std::to_string(count) + " records (the end marker announced " +
                  std::to_string(report.expected) + ")");
    }
    if (!report.payloadOk) return fail(who + " received a payload of the wrong size or content");
    last = std::max(last, report.last);
  }
  if (last <= producer.first) return fail("the last record arrived before the first was posted");
  return RunOutcome{static_cast<double>(count) * 1e9 / static_cast<double>(last - producer.first),
                    {},
                    producer.refused};
}

Spread spreadOf(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  const double median =
      values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
  return Spread{median, values.front(), values.back()};
}

std::string formatRate(double eventsPerSecond) {
  const auto scaled = [](double value, const char* unit) {
    char text[32];
    std::snprintf(text, sizeof text,
                  value >= 100  ? "%.0f %s"
                  : value >= 10 ? "%.1f %s"
                                : "%.2f %s",
                  value, unit);
    return std::string(text);
  };
  if (eventsPerSecond >= 1e9) return scaled(eventsPerSecond / 1e9, "G");
  if (eventsPerSecond >= 1e6) return scaled(eventsPerSecond / 1e6, "M");
  if (eventsPerSecond >= 1e3) return scaled(eventsPerSecond / 1e3, "k");
  char text[32];
  std::snprintf(text, sizeof text, "%.0f", eventsPerSecond);
  return text;
}

}  // namespace kv::bench
