// The dispatch loop: drains the event queue on the first thread and offers each record to every
// plugin in list order, holding a reference for each plugin while it runs.
#include "core/DvrCore.h"
#include "events/DeliveryClock.h"
#include "events/EventModel.h"
#include "log/CoreLog.h"

namespace kv::core {
namespace {

constexpr int64_t kSlowDeliveryNanos = 5'000'000;
constexpr int64_t kStatusIntervalNanos = 60'000'000'000;

}  // namespace

void DvrCore::dispatchLoop() {
  DispatchContext& context = dispatchContext;
  // The first wake-up prints the status record.
  DeliveryClock clock(steadyNanos);
  context.lastStatusPrint = clock.mark() - kStatusIntervalNanos;
  // The burst being delivered: everything queued when the loop last looked, taken in one swap so
  // that posters and the loop share the lock only for a moment. Both rings keep their storage.
  RecordRing& burst = queue.burst;
  uint64_t burstBytes = 0;
  for (;;) {
    {
      std::unique_lock lock(queue.queueMutex);
      finishBurst(burst, burstBytes);
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
        burst.shrink();
        if (blockPool.pooledBytes() != 0) blockPool.trim();
        statusTick(context, clock.mark());
        continue;
      }
      burst.swap(queue.eventQueue);
      queue.burstRecords = burst.size();
    }
    size_t left = burst.size();
    for (const EventParms& record : burst) {
      burstBytes += record.length;
      // Records of the burst not yet delivered still count as queued.
      context.queueLength = static_cast<uint32_t>(--left);
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

// The delivered burst, of `bytes` payload bytes, leaves the queue's bounds, under the queue lock
// held by the caller (its bytes were summed while it was delivered, not under the lock).
void DvrCore::finishBurst(RecordRing& burst, uint64_t& bytes) {
  queue.queuedBytes -= bytes;
  bytes = 0;
  queue.burstRecords = 0;
  burst.clear();
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
