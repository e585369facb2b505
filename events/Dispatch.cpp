// The dispatch loop: drains the event queue on the first thread and offers each record to every
// plugin in list order, holding a reference for each plugin while it runs.
#include <array>

#include "core/DvrCore.h"
#include "events/DeliveryClock.h"
#include "events/EventModel.h"
#include "log/CoreLog.h"

namespace kv::core {
namespace {

constexpr int64_t kSlowDeliveryNanos = 5'000'000;
constexpr int64_t kStatusIntervalNanos = 60'000'000'000;
// Records taken from the queue per lock.
constexpr size_t kDispatchBurst = 64;

}  // namespace

void DvrCore::dispatchLoop() {
  DispatchContext& context = dispatchContext;
  // The first wake-up prints the status record.
  DeliveryClock clock(steadyNanos);
  context.lastStatusPrint = clock.mark() - kStatusIntervalNanos;
  std::array<EventParms, kDispatchBurst> burst;
  for (;;) {
    size_t taken = 0;
    size_t left = 0;
    {
      std::unique_lock lock(queue.queueMutex);
      if (queue.eventQueue.empty() && !stopRequested.load()) {
        waitForRecords(lock);
        clock.interrupt();
      }
      if (queue.eventQueue.empty()) {
        if (stopRequested.load()) return;
        ++context.idleSeconds;
        context.queueLength = 0;
        queue.eventQueue.shrink();
        lock.unlock();
        // An idle core keeps nothing for the next burst.
        if (blockPool.pooledBytes() != 0) blockPool.trim();
        statusTick(context, clock.mark());
        continue;
      }
      taken = takeBurst(burst.data(), burst.size());
      left = queue.eventQueue.size();
    }
    for (size_t i = 0; i < taken; ++i) {
      const EventParms& record = burst[i];
      // Records of the burst not yet delivered still count as queued.
      context.queueLength = static_cast<uint32_t>(left + taken - i - 1);
      ++context.eventsDispatched;
      if (statusTick(context, clock.mark())) clock.interrupt();
      if (record.type == kTypeConfig) {
        applyModulesDelta(record);
        clock.interrupt();
      }
      deliver(record, clock);
      releaseRef(record.data, 0);  // the queue's own reference
    }
  }
}

// Sleeps until a record comes, a stop is requested or the idle wait passes. Posts wake the loop
// only while it sleeps here.
void DvrCore::waitForRecords(std::unique_lock<std::mutex>& lock) {
  queue.dispatcherWaiting = true;
  queue.queueCond.wait_for(lock, dispatchIdleWait,
                           [&] { return !queue.eventQueue.empty() || stopRequested.load(); });
  queue.dispatcherWaiting = false;
}

// Takes up to `max` records from the queue into `out`, under the queue lock held by the caller:
// one lock for a burst instead of one per record.
size_t DvrCore::takeBurst(EventParms* out, size_t max) {
  const size_t taken = queue.eventQueue.popFront(out, max);
  for (size_t i = 0; i < taken; ++i) queue.queuedBytes -= out[i].length;
  return taken;
}

// Each plugin that wants the record holds a reference while it runs, and keeps it when its event
// entry says so. Slow deliveries are reported, except for live log records, which are only timed:
// a report would itself be a log record.
void DvrCore::deliver(const EventParms& record, DeliveryClock& clock) {
  for (const auto& plugin : plugins) {
    if (!plugin->WantsEvent(record)) continue;
    const uint32_t slot = plugin->pluginId();
    const int64_t start = clock.mark();
    addRef(record.data, slot);
    if (plugin->DeliverEvent(record) == 0) releaseRef(record.data, slot);
    const int64_t took = clock.lap() - start;
    if (record.type == kTypeLog) {
      if ((record.flags & kFlagLive) != 0) dispatchContext.logDeliveryMicros += took / 1000;
    } else if (took > kSlowDeliveryNanos) {
      coreLog0("{} took {}ms for {} event from {} [{:L}]", plugin->displayName(), took / 1000000,
               eventTypeName(record.type), sourceName(record.source), record.length);
      clock.interrupt();
    }
  }
}

// "Core" for the core and for sources that name no plugin, else the first plugin with its ID.
std::string_view DvrCore::sourceName(uint32_t source) const {
  if (source == kCoreAddress || addressSlot(source) == 0) return "Core";
  for (const auto& plugin : plugins) {
    if (samePlugin(plugin->reply().address, source)) return plugin->displayName();
  }
  return "unknown";
}

}  // namespace kv::core
