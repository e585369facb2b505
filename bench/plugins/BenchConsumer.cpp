// A bench consumer: subscribes to live alarms, checks that the producer's records arrive in order
// with none missing and with the payload they announce, and on the end marker reports to the
// supervisor: "consumer id=ID received=N expected=M ordered=0|1 payload=0|1 first=NS last=NS
// badat=S" (steady-clock nanoseconds of the first record and of the end marker; badat is the
// sequence number where order first broke). With latency=1 it first sends "latency id=ID
// samples=N p50=NS p99=NS max=NS": the time from each record's post to its delivery here.
//
// Settings in "<its path>.conf": id=N (default 97, 0x61), payload=BYTES (the size every record
// must have, default 0), latency=0|1 (default 0).
//
// Threads: every entry point here runs on the core's first thread, so the state needs no lock.
#include <cstdio>
#include <string>
#include <vector>

#include "bench/plugins/BenchReport.h"
#include "bench/plugins/Percentiles.h"
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
bool timing = false;
std::vector<int64_t> latencies;

void onAlarm(const EventParms& event) {
  // The clock only where a figure needs it: a read per record would weigh on the rate measured.
  const bool stamped = timing || isEnd(event) || check.waitingForFirst();
  const int64_t now = stamped ? nowNanos() : 0;
  if (isEnd(event)) {
    if (timing) {
      const LatencySummary summary = summarise(latencies);
      char text[160];
      std::snprintf(text, sizeof text, "latency id=%u samples=%llu p50=%lld p99=%lld max=%lld", id,
                    static_cast<unsigned long long>(summary.samples),
                    static_cast<long long>(summary.p50), static_cast<long long>(summary.p99),
                    static_cast<long long>(summary.max));
      sendReport(post, makeAddress(id), text);
    }
    sendReport(post, makeAddress(id), check.reportLine(id, readSequence(event), now));
    return;
  }
  if (timing) latencies.push_back(now - readStamp(event));
  check.see(event, now);
}

}  // namespace

KV_PLUGIN_EXPORT int Load(const LoadRequest* request, LoadReply* reply) {
  return guardEntry(
      [&] {
        if (!loadRecordsFit(request, reply)) return 1;
        const auto settings = kv::samples::PluginSettings::load(
            kv::samples::libraryPathOf(reinterpret_cast<const void*>(&Load)) + ".conf");
        id = settings.number("id", kFirstConsumerId, 1, 255);
        check.setPayloadSize(settings.number("payload", 0, 0, 16u << 20));
        timing = settings.number("latency", 0, 0, 1) != 0;
        if (timing) latencies.reserve(1u << 16);
        post = request->postEvent;
        reply->address = makeAddress(id);
        reply->alarmSub = kSubLive;
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

KV_PLUGIN_EXPORT int OnEvent(const EventParms* event) {
  return guardEntry(
      [&] {
        if (maskedType(event->type) == kTypeAlarm && addressSlot(event->source) == kProducerId) {
          onAlarm(*event);
        }
        return 0;
      },
      0);
}
