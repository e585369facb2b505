// The status record: once a minute, three lines on what the core did since the last one.
#include <algorithm>
#include <vector>

#include <fmt/format.h>

#include "core/DvrCore.h"
#include "log/CoreLog.h"

namespace kv::core {
namespace {

constexpr int64_t kIntervalNanos = 60'000'000'000;
constexpr size_t kTopHolders = 5;
constexpr int32_t kStatusLevel = 25;

// Reads a statistics counter and starts the next interval from 0.
template <typename T>
T takeCounter(std::atomic<T>& counter) {
  return counter.exchange(0, std::memory_order_relaxed);
}

std::string memoryText(uint32_t now, uint32_t before) {
  std::string text = formatSize(now);
  if (now > before) text += " +" + formatSize(int64_t{now} - before);
  if (now < before) text += " " + formatSize(int64_t{now} - before);
  return text;
}

}  // namespace

// The five slots holding the most event references, most first, the lower ID first among equals.
std::string DvrCore::topHolders() {
  std::vector<std::pair<uint32_t, int32_t>> top;
  for (uint32_t id = 0; id < counters.heldRefs.size(); ++id) {
    const int32_t count = counters.heldRefs[id].load();
    if (count == 0) continue;
    const auto smaller = std::find_if(top.begin(), top.end(),
                                      [count](const auto& entry) { return entry.second < count; });
    top.insert(smaller, {id, count});
    if (top.size() > kTopHolders) top.pop_back();
  }
  std::string text;
  for (const auto& [id, count] : top) {
    fmt::format_to(std::back_inserter(text), logLocale(), "{}{} {:L}", text.empty() ? "" : ", ",
                   id == 0 ? std::string_view("Core") : sourceName(makeAddress(id)), count);
  }
  return text;
}

void DvrCore::statusTick(DispatchContext& context) {
  statusTick(context, steadyNanos());
}

bool DvrCore::statusTick(DispatchContext& context, int64_t now) {
  if (now - context.lastStatusPrint < kIntervalNanos) return false;
  context.lastStatusPrint = now;

  const uint32_t inUse = lastMemoryInUse.load(std::memory_order_relaxed);
  const auto throttledVideo = takeCounter(counters.throttledVideo);
  const auto throttledAudio = takeCounter(counters.throttledAudio);
  const auto ipcQueued = takeCounter(counters.ipcMessagesQueued);
  const auto ipcDelivered = takeCounter(counters.ipcPacketsDelivered);
  const auto ipcBytes = takeCounter(counters.ipcBytesDelivered);
  const auto searches = takeCounter(counters.searchesRequested);
  const auto cancels = takeCounter(counters.searchCancels);
  const auto results = takeCounter(counters.searchResults);
  const auto resultBytes = takeCounter(counters.searchResultBytes);
  if (logLevelOf(0) <= kStatusLevel) {
    const std::string top = topHolders();
    const std::string record =
        fmt::format(logLocale(),
                    "InQ:{:L} events:{:L} idle:{}s throttled[v:{:L} a:{:L}]\n"
                    "ltm:{:L}us ipc[r:{:L} p:{:L} d:{}] srch[r:{:L} c:{:L} p:{:L} d:{}]\n"
                    "memory[inuse:{}] refblks:{:L}({}) top: {}",
                    context.queueLength, context.eventsDispatched, context.idleSeconds,
                    throttledVideo, throttledAudio, context.logDeliveryMicros, ipcQueued,
                    ipcDelivered, formatSize(static_cast<int64_t>(ipcBytes)), searches, cancels,
                    results, formatSize(static_cast<int64_t>(resultBytes)),
                    memoryText(inUse, context.memoryAtLastPrint), counters.refblkCount.load(),
                    formatSize(static_cast<int64_t>(counters.refblkBytes.load())), top);
    postLog(kStatusLevel, static_cast<uint32_t>(record.size()), record.data());
  }
  context.eventsDispatched = 0;
  context.idleSeconds = 0;
  context.logDeliveryMicros = 0;
  context.memoryAtLastPrint = inUse;
  return true;
}

}  // namespace kv::core
