#include "tests/support/TracedPlugins.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "tests/support/CallTrace.h"

namespace kv::test {
namespace {

std::mutex mutex;
std::condition_variable changed;
std::vector<TracedCall> log;

}  // namespace

int CallLog::post(core::EventParms* event) {
  if (event->type != kTraceType) return 0;
  const auto* bytes = static_cast<const uint8_t*>(event->data);
  const auto* nameEnd = std::find(bytes, bytes + event->length, 0);
  TracedCall call{
      std::string(bytes, nameEnd),
      std::vector<uint8_t>(std::min(nameEnd + 1, bytes + event->length), bytes + event->length)};
  {
    std::lock_guard lock(mutex);
    log.push_back(std::move(call));
  }
  changed.notify_all();
  return 0;
}

void CallLog::clear() {
  std::lock_guard lock(mutex);
  log.clear();
}

std::vector<TracedCall> CallLog::calls() {
  std::lock_guard lock(mutex);
  return log;
}

std::vector<std::string> CallLog::entries() {
  std::vector<std::string> names;
  for (const auto& call : calls()) names.push_back(call.entry);
  return names;
}

size_t CallLog::count(std::string_view entry) {
  std::lock_guard lock(mutex);
  return std::count_if(log.begin(), log.end(), [&](const auto& c) { return c.entry == entry; });
}

TracedCall CallLog::last(std::string_view entry) {
  std::lock_guard lock(mutex);
  for (auto it = log.rbegin(); it != log.rend(); ++it) {
    if (it->entry == entry) return *it;
  }
  ADD_FAILURE() << "no call of " << entry;
  return {};
}

bool CallLog::waitFor(std::string_view entry, size_t n, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex);
  return changed.wait_for(lock, timeout, [&] {
    return static_cast<size_t>(std::count_if(log.begin(), log.end(),
                                             [&](const auto& c) { return c.entry == entry; })) >= n;
  });
}

std::string testPluginPath(std::string_view name) {
  return std::string(KV_TEST_PLUGIN_DIR) + "/" + std::string(name) + ".so";
}

std::string tracePluginPath(std::string_view variant) {
  return testPluginPath("trace_" + std::string(variant));
}

}  // namespace kv::test
