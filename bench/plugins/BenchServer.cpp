// The bench search server: serves every search request by posting `count` stored alarms of
// `payload` bytes from its search entry, each carrying its sequence number, then an end marker
// carrying the count, and reports to the supervisor like the producer: "producer posted=N
// refused=R first=NS last=NS" (first: the search entry's start; R is 0 unless the core refused a
// result, which ends the search). The core holds the search thread until the requester has released
// the previous result, so the requester sets the pace.
//
// Settings in "<its path>.conf": count=N (default 1000), payload=BYTES (default 1024), skip=S (the
// bench's own tests: result S is left out).
//
// Threads: Load and the other entries run on the core's first thread; OnSearch on a search thread
// of its own, reading only what Load wrote before any search could start.
#include <cstdio>
#include <cstring>
#include <vector>

#include "bench/plugins/BenchReport.h"
#include "examples/common/PluginSettings.h"
#include "plugins/EntryGuard.h"
#include "plugins/PluginEntry.h"

using namespace kv::core;
using namespace kv::bench;

namespace {

PostEventFn post = nullptr;
uint32_t count = 0;
uint32_t payloadSize = 0;
uint64_t skip = UINT64_MAX;
constexpr uint32_t kAddress = makeAddress(kProducerId);

EventParms result(uint32_t requestId, std::vector<uint8_t>& payload) {
  EventParms record = makeEventRecord(kTypeAlarm, kFlagStored, kAddress,
                                      payload.empty() ? nullptr : payload.data(), payload.size());
  record.requestId = requestId;
  return record;
}

void serve(const EventParms& request) {
  std::vector<uint8_t> payload(payloadSize, 0xA5);
  std::vector<uint8_t> none;
  uint64_t posted = 0;
  uint64_t refused = 0;
  const int64_t first = nowNanos();
  for (uint64_t sequence = 0; posted < count; ++sequence) {
    if (sequence == skip) continue;
    EventParms record = result(request.requestId, payload);
    writeSequence(record, sequence);
    if (payload.size() >= sizeof sequence) std::memcpy(payload.data(), &sequence, sizeof sequence);
    // Blocks while the previous result is still held; a refusal means the request was cancelled.
    if (post(&record) != kPostAccepted) {
      ++refused;
      break;
    }
    ++posted;
  }
  const int64_t last = nowNanos();
  EventParms end = result(request.requestId, none);
  writeSequence(end, posted);
  markEnd(end);
  post(&end);
  sendProducerReport(post, kAddress, posted, refused, first, last);
}

}  // namespace

KV_PLUGIN_EXPORT int Load(const LoadRequest* request, LoadReply* reply) {
  return guardEntry(
      [&] {
        if (!loadRecordsFit(request, reply)) return 1;
        const auto settings = kv::samples::PluginSettings::load(
            kv::samples::libraryPathOf(reinterpret_cast<const void*>(&Load)) + ".conf");
        count = settings.number("count", 1000, 1, 100000000);
        payloadSize = settings.number("payload", 1024, 0, 16u << 20);
        skip = settings.number("skip", UINT32_MAX, 0, UINT32_MAX);
        post = request->postEvent;
        reply->address = kAddress;
        return 0;
      },
      1);
}

KV_PLUGIN_EXPORT int Unload(const UnloadRequest*, UnloadReply*) {
  return 0;
}

KV_PLUGIN_EXPORT int Open(const OpenRequest*, OpenReply*) {
  return 0;
}

KV_PLUGIN_EXPORT int Close(const CloseRequest*, CloseReply*) {
  return 0;
}

KV_PLUGIN_EXPORT int OnSearch(const EventParms* request) {
  return guardEntry(
      [&] {
        serve(*request);
        return 0;
      },
      0);
}
