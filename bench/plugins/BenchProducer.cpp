// The bench producer: from its worker thread it posts `count` live alarms of `payload` bytes as
// fast as the post function takes them, each carrying its sequence number, then the end marker,
// then reports to the supervisor: "producer posted=N refused=R first=NS last=NS" (steady-clock
// nanoseconds of the first and the last post; R posts were refused by a full queue and tried
// again).
//
// Each record carries its post time too. With pace=HZ the posts follow a fixed grid of absolute
// deadlines (HZ a second) instead, which doesn't drift however late one wake-up was.
//
// Settings in "<its path>.conf": count=N (default 100000), payload=BYTES (default 0), pace=HZ
// (default 0: as fast as possible), wait=0|1 (default 1: wait for the dispatch loop first; 0 posts
// at once, so the first record waits in the queue for the core's start-up), and for the tests of
// the bench itself skip=S: record S is left out (its number is never posted, the count still is),
// a loss that the consumers must notice.
//
// Threads: Load, Open, Close, Unload and OnEvent run on the core's first thread, the worker on a
// core thread of its own; they meet only in the probe.
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/plugins/BenchReport.h"
#include "bench/plugins/DispatchProbe.h"
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
uint32_t pace = 0;
bool waitFirst = true;
constexpr uint32_t kAddress = makeAddress(kProducerId);

// Close also makes the worker give up a post the core keeps refusing.
DispatchProbe probe;

// Posts `record` until the core takes it; false when the core is closing. A refusal is the queue's
// bound pushing back, which passes once the dispatch loop has caught up, or a stopping core, which
// ends with Close.
bool postPatiently(EventParms& record, uint64_t& refused) {
  while (post(&record) != kPostAccepted) {
    if (probe.stopped()) return false;
    ++refused;
    std::this_thread::sleep_for(std::chrono::microseconds(20));
  }
  return true;
}

// Sleeps until `deadline` on CLOCK_MONOTONIC (steady_clock's clock), then moves it one period on.
void awaitTick(timespec& deadline, long periodNanos) {
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) != 0) {
  }
  deadline.tv_nsec += periodNanos;
  while (deadline.tv_nsec >= 1'000'000'000L) {
    deadline.tv_nsec -= 1'000'000'000L;
    ++deadline.tv_sec;
  }
}

void run() {
  if (waitFirst && !probe.wait(post, kAddress)) return;
  std::vector<uint8_t> payload(payloadSize, 0x5A);
  uint64_t posted = 0;
  uint64_t refused = 0;
  const long period = pace == 0 ? 0 : 1'000'000'000L / pace;
  timespec deadline{};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  const int64_t first = nowNanos();
  for (uint64_t sequence = 0; posted < count; ++sequence) {
    if (sequence == skip) continue;
    if (period != 0) {
      if (probe.stopped()) break;
      awaitTick(deadline, period);
    }
    EventParms record = makeEventRecord(kTypeAlarm, kFlagLive, kAddress,
                                        payload.empty() ? nullptr : payload.data(), payload.size());
    writeSequence(record, sequence);
    if (period != 0) writeStamp(record, nowNanos());  // paced runs measure latency
    if (payload.size() >= sizeof sequence) std::memcpy(payload.data(), &sequence, sizeof sequence);
    if (!postPatiently(record, refused)) break;
    ++posted;
  }
  const int64_t last = nowNanos();
  EventParms end = makeEventRecord(kTypeAlarm, kFlagLive, kAddress);
  writeSequence(end, posted);  // the count: what every consumer should have received
  markEnd(end);
  postPatiently(end, refused);
  sendProducerReport(post, kAddress, posted, refused, first, last);
}

}  // namespace

KV_PLUGIN_EXPORT int Load(const LoadRequest* request, LoadReply* reply) {
  return guardEntry(
      [&] {
        if (!loadRecordsFit(request, reply)) return 1;
        const auto settings = kv::samples::PluginSettings::load(
            kv::samples::libraryPathOf(reinterpret_cast<const void*>(&Load)) + ".conf");
        count = settings.number("count", 100000, 1, 100000000);
        payloadSize = settings.number("payload", 0, 0, 16u << 20);
        skip = settings.number("skip", UINT32_MAX, 0, UINT32_MAX);
        pace = settings.number("pace", 0, 0, 1'000'000);
        waitFirst = settings.number("wait", 1, 0, 1) != 0;
        post = request->postEvent;
        reply->address = kAddress;
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
  if (maskedType(event->type) == kTypeWatchdog) probe.seen();
  return 0;
}

KV_PLUGIN_EXPORT int IOCTL(const IoctlRequest* request, IoctlReply*) {
  return guardEntry(
      [&] {
        if (request->code == kIoctlRunWorker) run();
        return 0;
      },
      0);
}
