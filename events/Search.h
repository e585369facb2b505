// The state of running searches: the shared copy of one search request, and the per-thread state
// that paces one serving plugin to one result payload in flight.
//
// Core-internal. `providers` (in SearchState) maps a search thread to its StoredProvider under
// `requestMutex`; a provider's own mutex is always taken after `requestMutex`, never before.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "core/Guarded.h"
#include "events/EventParms.h"
#include "log/RefusalRun.h"

namespace kv::core {

// One search request, copied once and shared by all its search threads; freed with its payload
// copy when the last thread ends. Search entries get a pointer to `record` and must not change it.
struct AsyncEvent {
  // Copies `request` and its payload; without memory for the payload the copy has none.
  explicit AsyncEvent(const EventParms& request);

  EventParms record;
  std::unique_ptr<uint8_t[]> payload;  // what record.data points at
};

namespace SearchHandler {

// The state of one search thread while its plugin's search entry runs.
struct StoredProvider {
  explicit StoredProvider(uint32_t requestId) : requestId(requestId) {}

  const uint32_t requestId;
  std::mutex mutex;
  std::condition_variable cond;
  // Guarded by `mutex`: the payload of this thread's last result while anyone still holds it.
  void* pending = nullptr;
  // Guarded by `mutex`: the request was cancelled while a result waited for `pending`.
  bool cancelled = false;
};

}  // namespace SearchHandler

// The bookkeeping of running searches, held by the core as `searches`.
struct SearchState {
  // Search threads running at once, across all requests: a flood of requests can't make the core
  // start threads without end.
  static constexpr uint32_t kMaxSearchThreads = 64;

  std::mutex requestMutex;  // taken before a StoredProvider's mutex
  std::set<uint32_t> cancelledRequests KV_GUARDED_BY(requestMutex);
  std::map<std::thread::id, std::shared_ptr<SearchHandler::StoredProvider>> providers
      KV_GUARDED_BY(requestMutex);
  // Providers whose `pending` is set: changed with it, under the provider's mutex. Freeing a block
  // looks for its provider only when this isn't 0.
  std::atomic<uint32_t> resultsInFlight{0};

  // Counted in before a search thread starts and out as its last step; the teardown waits for 0.
  std::mutex searchThreadMutex;  // a leaf
  std::condition_variable searchThreadCond;
  uint32_t searchThreads KV_GUARDED_BY(searchThreadMutex) = 0;
  RefusalRun searchRefusals;  // requests refused for the limit, logged as one run; lock-free
};

}  // namespace kv::core
