// A bench consumer: subscribes to live alarms, checks that the producer's records arrive in order
// with none missing and with the payload they announce, and on the end marker reports to the
// supervisor: "consumer id=ID received=N expected=M ordered=0|1 payload=0|1 first=NS last=NS
// badat=S" (steady-clock nanoseconds of the first record and of the end marker; badat is the
// sequence number where order first broke).
//
// Settings in "<its path>.conf": id=N (default 97, 0x61), payload=BYTES (the size every record
// must have, default 0).
//
// Threads: every entry point here runs on the core's first thread, so the state needs no lock.
#include <cstdio>
#include <string>

#include "bench/plugins/BenchReport.h"
#include "examples/common/PluginSettings.h"
#include "plugins/EntryGuard.h"
#include "plugins/PluginEntry.h"

using namespace kv::core;
using namespace kv::bench;

namespace {

PostEventFn post = nullptr;
uint32_t id = kFirstConsumerId;
uint32_t payloadSize = 0;

uint64_t received = 0;
uint64_t next = 0;  // the sequence number due
bool ordered = true;
bool payloadOk = true;
uint64_t badAt = 0;
int64_t first = 0;

void onAlarm(const EventParms& event) {
  const uint64_t sequence = readSequence(event);
  if (isEnd(event)) {
    const int64_t last = nowNanos();
    char text[256];
    std::snprintf(text, sizeof text,
                  "consumer id=%u received=%llu expected=%llu ordered=%d payload=%d first=%lld "
                  "last=%lld badat=%llu",
                  id, static_cast<unsigned long long>(received),
                  static_cast<unsigned long long>(sequence), ordered ? 1 : 0, payloadOk ? 1 : 0,
                  static_cast<long long>(first), static_cast<long long>(last),
                  static_cast<unsigned long long>(badAt));
    sendReport(post, makeAddress(id), text);
    return;
  }
  if (received == 0) first = nowNanos();
  if (sequence != next && ordered) {
    ordered = false;
    badAt = sequence;
  }
  if (event.length != payloadSize || payloadSequence(event, sequence) != sequence) {
    payloadOk = false;
  }
  next = sequence + 1;
  ++received;
}

}  // namespace

KV_PLUGIN_EXPORT int Load(const LoadRequest* request, LoadReply* reply) {
  return guardEntry(
      [&] {
        if (!loadRecordsFit(request, reply)) return 1;
        const auto settings = kv::samples::PluginSettings::load(
            kv::samples::libraryPathOf(reinterpret_cast<const void*>(&Load)) + ".conf");
        id = settings.number("id", kFirstConsumerId, 1, 255);
        payloadSize = settings.number("payload", 0, 0, 16u << 20);
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
