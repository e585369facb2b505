// SearchClient: a plugin that asks for stored video, plugin ID 0x12. Every few seconds it posts a
// search request, counts the results the core routes back to it, cancels every third search after
// its first result, and now and then logs a summary through the core:
//   searches=3 results=120 bytes=98304 cancelled=1
//
// A search request is an ordinary record with three marks: its `source` names no plugin (no bits
// 16 to 23), its `requestId` carries this plugin's ID in bits 16 to 23 (results are routed by
// them) with a running counter below, and it has a non-empty payload, the query. Results come as
// stored records with the same `requestId`; returning 0 from OnEvent releases each one at once,
// which also lets the serving plugin post its next result.
//
// Settings, optional, in "<library path>.conf" beside the plugin (SearchClient.so.conf):
//   intervalSeconds=N  seconds between searches (default 3)
//
// Threads: the worker (IOCTL code 1) posts the requests; OnEvent counts results on the dispatch
// thread; Open and Close run on the first thread. The counters are atomics; the worker waits on a
// condition variable that Close signals.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "common/PluginSettings.h"
#include "plugins/EntryGuard.h"
#include "plugins/PluginEntry.h"

using namespace kv::core;
using namespace kv::samples;

namespace {

constexpr uint32_t kSearchClientId = 0x12;
// Any source without plugin bits marks a record as a search request.
constexpr uint32_t kSearchSource = 0x00000001;
constexpr char kQuery[] = "max=100";
constexpr uint32_t kCancelEvery = 3;   // every third search is cancelled after its first result
constexpr uint32_t kSummaryEvery = 5;  // searches between two summary lines
constexpr int kSummaryLevel = 25;

class SearchClient {
 public:
  SearchClient(PostEventFn post, std::chrono::seconds interval)
      : post_(post), interval_(interval) {}

  static uint32_t address() { return makeAddress(kSearchClientId); }

  void open() {
    std::lock_guard lock(mutex_);
    opened_ = true;
    wake_.notify_all();
  }

  void close() {
    {
      std::lock_guard lock(mutex_);
      closed_ = true;
      wake_.notify_all();
    }
    logSummary();  // the core is stopping: this goes straight to the log plugin and stdout
  }

  // The worker thread's whole body.
  void run() {
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [this] { return opened_ || closed_; });
    uint32_t counter = 0;
    while (!wake_.wait_for(lock, interval_, [this] { return closed_; })) {
      lock.unlock();  // never hold the lock while posting
      // The low 16 bits of the request identifier are ours; 0 is skipped so that each identifier
      // differs from the plugin's plain address.
      counter = counter % 0xFFFF + 1;
      search(makeAddress(kSearchClientId, counter), counter % kCancelEvery == 0);
      if (counter % kSummaryEvery == 0) logSummary();
      lock.lock();
    }
  }

  // Dispatch thread.
  int onEvent(const EventParms& event) {
    if ((event.flags & kFlagStored) == 0 || addressSlot(event.requestId) != kSearchClientId) {
      return 0;  // configuration events reach every plugin; nothing to do with them here
    }
    // Relaxed: statistics counters, read only for the summary.
    results_.fetch_add(1, std::memory_order_relaxed);
    bytes_.fetch_add(event.length, std::memory_order_relaxed);
    uint32_t target = event.requestId;
    // Relaxed: the word carries nothing else with it; the exchange alone makes the cancel happen
    // once per marked search.
    if (cancelTarget_.compare_exchange_strong(target, 0, std::memory_order_relaxed)) {
      EventParms cancel = makeEventRecord(kTypeCancel, 0, address());
      cancel.requestId = event.requestId;
      post_(&cancel);
      cancelled_.fetch_add(1, std::memory_order_relaxed);
    }
    return 0;  // release the result now: the search posts its next one only after that
  }

 private:
  void search(uint32_t requestId, bool cancelAfterFirst) {
    // Marked before posting: the first result may be delivered before the post returns.
    cancelTarget_.store(cancelAfterFirst ? requestId : 0, std::memory_order_relaxed);
    // An empty query would start nothing.
    EventParms request =
        makeEventRecord(kTypeVideo, kFlagStored, kSearchSource, kQuery, sizeof kQuery - 1);
    request.requestId = requestId;
    if (post_(&request) == kPostAccepted) {
      searches_.fetch_add(1, std::memory_order_relaxed);  // relaxed: statistics
    }
  }

  void logSummary() {
    char text[160];
    const int length =
        std::snprintf(text, sizeof text, "searches=%llu results=%llu bytes=%llu cancelled=%llu",
                      static_cast<unsigned long long>(searches_.load(std::memory_order_relaxed)),
                      static_cast<unsigned long long>(results_.load(std::memory_order_relaxed)),
                      static_cast<unsigned long long>(bytes_.load(std::memory_order_relaxed)),
                      static_cast<unsigned long long>(cancelled_.load(std::memory_order_relaxed)));
    // Live, and also written through the core's own log (kFlagLogWrite), at the default level.
    EventParms event = makeEventRecord(kTypeLog, kFlagLive | kFlagLogWrite, address(), text,
                                       static_cast<size_t>(length));
    event.level = kSummaryLevel;
    post_(&event);
  }

  PostEventFn post_;
  std::chrono::seconds interval_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool opened_ = false;                    // guarded by mutex_
  bool closed_ = false;                    // guarded by mutex_
  std::atomic<uint32_t> cancelTarget_{0};  // request to cancel at its first result, or 0
  std::atomic<uint64_t> searches_{0};
  std::atomic<uint64_t> results_{0};
  std::atomic<uint64_t> bytes_{0};
  std::atomic<uint64_t> cancelled_{0};
};

std::unique_ptr<SearchClient> client;  // lives from Load to Unload

}  // namespace

KV_PLUGIN_EXPORT int Load(const LoadRequest* request, LoadReply* reply) {
  return guardEntry(
      [&] {
        if (!loadRecordsFit(request, reply)) return 1;
        const auto settings =
            PluginSettings::load(libraryPathOf(reinterpret_cast<const void*>(&Load)) + ".conf");
        client = std::make_unique<SearchClient>(
            request->postEvent,
            std::chrono::seconds(settings.number("intervalSeconds", 3, 1, 3600)));
        reply->address = SearchClient::address();
        // No subscription: results are routed by the request identifier, not by subscription.
        reply->closeOrder = 10;  // before the log plugin (0), which then still gets our summary
        reply->provideWorkerThread = 1;
        return 0;
      },
      1);
}

KV_PLUGIN_EXPORT int Unload(const UnloadRequest*, UnloadReply*) {
  client.reset();  // the core joined the worker before calling Unload
  return 0;
}

KV_PLUGIN_EXPORT int Open(const OpenRequest*, OpenReply*) {
  return guardEntry(
      [] {
        client->open();
        return 0;
      },
      0);
}

KV_PLUGIN_EXPORT int Close(const CloseRequest*, CloseReply*) {
  return guardEntry(
      [] {
        client->close();
        return 0;
      },
      0);
}

KV_PLUGIN_EXPORT int OnEvent(const EventParms* event) {
  return guardEntry([&] { return client->onEvent(*event); }, 0);
}

KV_PLUGIN_EXPORT int IOCTL(const IoctlRequest* request, IoctlReply*) {
  return guardEntry(
      [&] {
        if (request->code == kIoctlRunWorker) client->run();
        return 0;
      },
      0);
}
