// The way into the core for every posted record: requests to the core are answered at once, live
// log records are filtered, live media passes the media gate, everything else is copied into a
// reference block and queued for the dispatch loop.
#include <cxxabi.h>

#include <new>
#include <system_error>
#include <typeinfo>
#include <utility>

#include "core/DvrCore.h"
#include "crypto/CryptoRequest.h"
#include "events/EventModel.h"
#include "events/RefBlockPool.h"
#include "log/CoreLog.h"

namespace kv::core {

// The forced unwind is caught by reference to an object that doesn't exist (the runtime binds it
// to null); the idiom is the runtime's own, so the null check of the sanitizer is off here.
__attribute__((no_sanitize("null"))) int postEvent(EventParms* event) {
  DvrCore* core = gCore.load();
  if (event == nullptr || core == nullptr) return kPostRefused;
  if (event->data == nullptr) event->length = 0;
  // Nothing may be thrown into a plugin: a failure that escapes the intake (no memory, no thread
  // for a search) refuses the record. A cancelled thread unwinds through here, though: its forced
  // unwind must go on (swallowing it aborts the process), releasing every lock on its way.
  try {
    return core->handleEvent(*event);
  } catch (const abi::__forced_unwind&) {
    throw;
  } catch (...) {
    return kPostRefused;
  }
}

int DvrCore::handleEvent(EventParms& event) {
  switch (maskedType(event.type)) {
    case kTypeCrypto: return handleCryptoRequest(event);
    case kTypeIpc: return sendIpc(event);
    case kTypeCancel: return cancelRequest(event);
    case kTypeDecref: return giveBackRef(event.data, addressSlot(event.source));
    case kTypeLog: {
      if ((event.flags & kFlagQuery) != 0) return logLevelOf(addressSlot(event.source));
      bool ended = false;
      logIntake(event, ended);
      if (ended) return stopRequested.load() ? kPostRefused : kPostAccepted;
      break;
    }
    default: break;
  }
  if (stopRequested.load()) return kPostRefused;
  if (isSearchRequest(event)) return searchRequest(event);
  if (const int drop = gateMedia(event); drop != 0) return drop;
  return queueEvent(event);
}

int DvrCore::cancelRequest(const EventParms& event) {
  {
    std::lock_guard lock(searches.requestMutex);
    if ((event.flags & kFlagQuery) != 0) {
      return searches.cancelledRequests.count(event.requestId) != 0 ? kPostRefused : kPostAccepted;
    }
    searches.cancelledRequests.insert(event.requestId);
  }
  counters.searchCancels.fetch_add(1, std::memory_order_relaxed);
  // A search thread waiting to post a result of this request is refused now, not later.
  wakeSearchThreads(event.requestId, false);
  return kPostAccepted;
}

// Live log records only: filters by the source's level, writes the text when asked to, and while
// the core stops hands the record straight to the log plugin, since the queue takes nothing more.
void DvrCore::logIntake(EventParms& event, bool& ended) {
  if ((event.flags & kFlagLive) == 0) return;
  if (event.length == 0) {
    ended = true;
    return;
  }
  const uint32_t slot = addressSlot(event.source);
  const int32_t level = event.type == kTypeLog ? event.level : 0;
  if (level < logLevelOf(slot)) {
    ended = true;
    return;
  }
  if ((event.flags & kFlagLogWrite) != 0) {
    // A line that can't be written is lost; the record itself goes on as usual.
    try {
      logSink.writeLogLine(slot, level, event.length, static_cast<const char*>(event.data));
    } catch (const std::system_error&) {
    }
  }
  if (stopRequested.load() && logPlugin != nullptr) logPlugin->DeliverEvent(event);
}

int DvrCore::gateMedia(const EventParms& event) {
  const bool gated =
      (event.flags & kFlagLive) != 0 && (event.type == kTypeVideo || event.type == kTypeAudio);
  if (!gated) return 0;
  std::atomic<int16_t>* counter;
  {
    std::lock_guard lock(gate.gopMutex);
    counter = &gate.gopTable.try_emplace(event.source, 0).first->second;  // nodes never move
  }
  // Relaxed: each source's counter is used by the one thread that posts its frames.
  if (throttling.load()) {
    counter->store(0, std::memory_order_relaxed);
    auto& dropped = event.type == kTypeVideo ? counters.throttledVideo : counters.throttledAudio;
    dropped.fetch_add(1, std::memory_order_relaxed);
    return kPostDropThrottled;
  }
  // Audio and output video pass: only camera video is held to key frames and GOP lengths.
  if (classifyEvent(event).type() != typeid(const VideoEvt*)) return 0;
  if ((event.frameKind & kFrameKindMask) == kFrameKindKey) {
    counter->store(1, std::memory_order_relaxed);
    return 0;
  }
  int16_t count = counter->load(std::memory_order_relaxed);
  if (count == 0) return kPostDropNoKeyFrame;
  // Saturate rather than wrap, so that an endless GOP stays dropped until its next key frame.
  if (count < INT16_MAX) counter->store(++count, std::memory_order_relaxed);
  return count > maxGopLen.load(std::memory_order_relaxed) ? kPostDropLongGop : 0;
}

int DvrCore::queueEvent(const EventParms& event, bool unbounded) {
  // A payload with nothing behind it, or whose block size (header included) would wrap 32 bits,
  // is refused before anything is allocated.
  if (event.length != 0 && event.data == nullptr) return kPostRefused;
  if (event.length > UINT32_MAX - sizeof(RefBlockHeader)) return kPostRefused;
  void* block = event.length != 0 ? blockPool.allocate(event.data, event.length) : nullptr;
  if (block != nullptr) {
    counters.refblkCount.fetch_add(1, std::memory_order_relaxed);
    counters.refblkBytes.fetch_add(refBlockOf(block)->total, std::memory_order_relaxed);
  }
  if (namesOriginator(event.source) && event.requestId != 0) {
    const auto provider = resultProvider(event.requestId);
    if (provider == nullptr || !takeResultSlot(*provider, block)) return refuseResult(block);
    counters.searchResults.fetch_add(1, std::memory_order_relaxed);
    counters.searchResultBytes.fetch_add(event.length, std::memory_order_relaxed);
  }
  EventParms entry = event;
  entry.data = block;
  entry.length = block != nullptr ? event.length : 0;
  addRef(entry.data, 0);
  return appendToQueue(entry, unbounded);
}

// The provider of the calling search thread, for a result of `requestId`; none when the request
// is cancelled or the caller is no search thread, whose results are refused.
std::shared_ptr<SearchHandler::StoredProvider> DvrCore::resultProvider(uint32_t requestId) {
  std::lock_guard lock(searches.requestMutex);
  if (searches.cancelledRequests.count(requestId) != 0) return nullptr;
  const auto it = searches.providers.find(std::this_thread::get_id());
  return it != searches.providers.end() ? it->second : nullptr;
}

// One result payload in flight per search thread: waits until every holder has released the
// previous one, then makes `block` the one in flight. False when a cancel or a stop came first
// (the result is refused). A result without payload never waits.
bool DvrCore::takeResultSlot(SearchHandler::StoredProvider& provider, void* block) {
  if (block == nullptr) return true;
  std::unique_lock lock(provider.mutex);
  provider.cond.wait(lock, [&] {
    return provider.pending == nullptr || provider.cancelled || stopRequested.load();
  });
  if (provider.pending != nullptr) return false;
  provider.pending = block;
  searches.resultsInFlight.fetch_add(1);
  return true;
}

// Appends the record, which holds the queue's reference, unless a stop or the queue's bounds
// refuse it; the refusal releases that reference.
int DvrCore::appendToQueue(const EventParms& entry, bool unbounded) {
  bool full = false;
  bool wake = false;
  {
    // Decided under the queue lock, where the dispatch loop decides to end: either it will still
    // see the record, or the post is refused. A record accepted after its last look is lost.
    std::unique_lock lock(queue.queueMutex);
    if (stopRequested.load()) {
      lock.unlock();
      releaseRef(entry.data, 0);
      return kPostRefused;
    }
    full = !unbounded &&
           (queue.eventQueue.size() + queue.burstRecords >= EventQueue::kMaxQueuedRecords ||
            queue.queuedBytes + entry.length > EventQueue::kMaxQueuedBytes);
    if (!full && !pushRecord(entry)) {
      lock.unlock();
      releaseRef(entry.data, 0);
      return kPostRefused;
    }
    // One wake-up per sleep: a loop that is awake takes the record on its next turn.
    wake = !full && std::exchange(queue.dispatcherWaiting, false);
  }
  if (full) {
    releaseRef(entry.data, 0);
    return refuseFullQueue(entry.source);
  }
  if (wake) queue.queueCond.notify_one();
  if (!unbounded) {
    if (const uint32_t refused = queue.queueRefusals.accept()) {
      coreLog50("event queue full: {:L} posts refused", refused);
    }
  }
  return kPostAccepted;
}

// Appends under the queue lock held by the caller; false when the queue can't grow.
bool DvrCore::pushRecord(const EventParms& entry) {
  try {
    queue.eventQueue.push_back(entry);
  } catch (const std::bad_alloc&) {
    return false;
  }
  queue.queuedBytes += entry.length;
  return true;
}

// The core's own log lines are written before they reach the queue, so the line that reports a
// full queue needs no slot in it; their refusal is not counted, or the report would count itself.
int DvrCore::refuseFullQueue(uint32_t source) {
  if (source != kCoreAddress && queue.queueRefusals.refuse()) {
    coreLog75("event queue full");
  }
  return kPostRefused;
}

int DvrCore::refuseResult(void* block) {
  if (block != nullptr) {
    counters.refblkCount.fetch_sub(1, std::memory_order_relaxed);
    counters.refblkBytes.fetch_sub(refBlockOf(block)->total, std::memory_order_relaxed);
    blockPool.recycle(block);
  }
  return kPostRefused;
}

int DvrCore::addRef(void* data, uint32_t slot) {
  if (data == nullptr) return 0;
  // Relaxed: taking a reference needs no ordering, the holder already sees the payload.
  refBlockOf(data)->count.fetch_add(1, std::memory_order_relaxed);
  counters.heldRefs[slot & 0xFFu].fetch_add(1, std::memory_order_relaxed);
  return 0;
}

// A plugin's "decref": refused, without touching `data`, when its slot holds no reference. A
// second give-back of one payload, or of a pointer the core never handed out, would otherwise
// free a block still in use or memory that was never a block.
int DvrCore::giveBackRef(void* data, uint32_t slot) {
  if (data == nullptr) return 0;
  std::atomic<int32_t>& held = counters.heldRefs[slot & 0xFFu];
  // Relaxed: the count only decides whether the release may happen; the block's own count
  // orders the payload's last reads before its freeing.
  int32_t count = held.load(std::memory_order_relaxed);
  do {
    if (count <= 0) return kPostRefused;
  } while (!held.compare_exchange_weak(count, count - 1, std::memory_order_relaxed));
  return dropRef(data);
}

int DvrCore::releaseRef(void* data, uint32_t slot) {
  if (data == nullptr) return 0;
  counters.heldRefs[slot & 0xFFu].fetch_sub(1, std::memory_order_relaxed);
  return dropRef(data);
}

int DvrCore::dropRef(void* data) {
  RefBlockHeader* header = refBlockOf(data);
  // Acquire-release: every holder's reads of the payload happen before the block is freed.
  if (header->count.fetch_sub(1, std::memory_order_acq_rel) != 1) return 0;
  counters.refblkCount.fetch_sub(1, std::memory_order_relaxed);
  counters.refblkBytes.fetch_sub(header->total, std::memory_order_relaxed);
  // Wake the search thread whose result this was before freeing, so that a new block at the same
  // address can't be mistaken for this one. A result in flight was counted before its record was
  // queued, so a count of 0 means that this block is nobody's.
  if (searches.resultsInFlight.load() != 0) {
    std::lock_guard lock(searches.requestMutex);
    for (auto& [thread, provider] : searches.providers) {
      std::lock_guard providerLock(provider->mutex);
      if (provider->pending != data) continue;
      provider->pending = nullptr;
      searches.resultsInFlight.fetch_sub(1);
      provider->cond.notify_one();
    }
  }
  blockPool.recycle(data);
  return 0;
}

int DvrCore::postLog(int32_t level, uint32_t length, const char* text) {
  const auto record = makeCoreLogRecord(level, std::string_view(text, length));
  if (!record) return 0;
  EventParms event = *record;
  return handleEvent(event);
}

int DvrCore::handleCryptoRequest(EventParms& event) {
  return kv::core::handleCryptoRequest(event, systemId);
}

}  // namespace kv::core
