// The bench search requester: once the dispatch loop runs, its worker posts one search request
// for stored alarms; it checks the results (routed back to it by the request identifier) like a
// consumer checks live alarms and reports in the same line on the end marker. It returns 0 from
// each delivery, so every result is released as soon as it has been seen.
//
// Settings in "<its path>.conf": id=N (default 97, 0x61), payload=BYTES (the size every result
// must have, default 1024).
//
// Threads: Load, Open, Close and OnEvent run on the core's first thread, the worker on a core
// thread of its own; they meet only in the probe.
#include <chrono>

#include "bench/plugins/BenchReport.h"
#include "bench/plugins/DispatchProbe.h"
#include "bench/plugins/SequenceCheck.h"
#include "examples/common/PluginSettings.h"
#include "plugins/EntryGuard.h"
#include "plugins/PluginEntry.h"

using namespace kv::core;
using namespace kv::bench;

namespace {

PostEventFn post = nullptr;
uint32_t id = kFirstConsumerId;
SequenceCheck check;

DispatchProbe probe;

void run() {
  if (!probe.wait(post, makeAddress(id))) return;
  char query[] = "bench";
  // No plugin bits in the source: that is what makes it a search request; the results come back
  // by the plugin ID in the request identifier.
  EventParms request = makeEventRecord(kTypeAlarm, kFlagStored, 0, query, sizeof query);
  request.requestId = makeAddress(id, 1);
  post(&request);
}

}  // namespace

KV_PLUGIN_EXPORT int Load(const LoadRequest* request, LoadReply* reply) {
  return guardEntry(
      [&] {
        if (!loadRecordsFit(request, reply)) return 1;
        const auto settings = kv::samples::PluginSettings::load(
            kv::samples::libraryPathOf(reinterpret_cast<const void*>(&Load)) + ".conf");
        id = settings.number("id", kFirstConsumerId, 1, 255);
        check.setPayloadSize(settings.number("payload", 1024, 0, 16u << 20));
        post = request->postEvent;
        reply->address = makeAddress(id);
        reply->provideWorkerThread = 1;
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
  probe.stop();
  return 0;
}

KV_PLUGIN_EXPORT int OnEvent(const EventParms* event) {
  return guardEntry(
      [&] {
        const uint32_t type = maskedType(event->type);
        if (type == kTypeWatchdog) {
          probe.seen();
        } else if (type == kTypeAlarm && (event->flags & kFlagStored) != 0 &&
                   addressSlot(event->source) == kProducerId) {
          const int64_t now = nowNanos();
          if (isEnd(*event)) {
            sendReport(post, makeAddress(id), check.reportLine(id, readSequence(*event), now));
          } else {
            check.see(*event, now);
          }
        }
        return 0;
      },
      0);
}

KV_PLUGIN_EXPORT int IOCTL(const IoctlRequest* request, IoctlReply*) {
  return guardEntry(
      [&] {
        if (request->code == kIoctlRunWorker) run();
        return 0;
      },
      0);
}
