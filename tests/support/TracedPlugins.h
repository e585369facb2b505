// Test side of the trace plugins: loads a variant, collects the calls it reports (CallTrace.h).
#pragma once

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "events/EventParms.h"

namespace kv::test {

// One entry-point call as a trace plugin reported it.
struct TracedCall {
  std::string entry;
  std::vector<uint8_t> bytes;  // what the call received, in the order the plugin copied it

  // The T stored at `offset` of `bytes`.
  template <typename T>
  T at(size_t offset = 0) const {
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
  }
};

// The calls reported since the last clear(). Thread-safe: plugins report from any thread.
class CallLog {
 public:
  // The post function handed to the plugins under test; collects trace records, accepts all.
  static int post(core::EventParms* event);
  static void clear();
  static std::vector<TracedCall> calls();
  // Entry names in call order.
  static std::vector<std::string> entries();
  static size_t count(std::string_view entry);
  // The last call of `entry`; fails the test when there is none.
  static TracedCall last(std::string_view entry);
  // Waits until `entry` has been reported `n` times; false on timeout.
  static bool waitFor(std::string_view entry, size_t n = 1,
                      std::chrono::milliseconds timeout = std::chrono::seconds(30));
};

// The path of the test plugin library `name` ("trace_full", "hook_search", ...).
std::string testPluginPath(std::string_view name);
// The path of the trace plugin variant `variant` ("full", "no_close", ...).
std::string tracePluginPath(std::string_view variant);

}  // namespace kv::test
