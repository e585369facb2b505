// EventQueue: the intake's queue of records for the dispatch loop, with its bounds.
//
// Every poster appends under `queueMutex` and signals `queueCond` when the dispatch loop sleeps;
// the dispatch loop on the first thread takes everything queued in one swap. A stop is decided
// against the queue under the same lock (DvrCore::appendToQueue and DvrCore::dispatchLoop). Each
// queued record holds the queue's reference to its payload block.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "core/Guarded.h"
#include "events/EventParms.h"
#include "events/RecordRing.h"
#include "log/RefusalRun.h"

namespace kv::core {

struct EventQueue {
  // Bounds sized for a camera with 256 MiB: one plugin posting without pause must not grow the
  // core until the system kills it. The core's own status and memory documents pass them.
  static constexpr size_t kMaxQueuedRecords = 65536;
  static constexpr uint64_t kMaxQueuedBytes = 32 * 1024 * 1024;

  std::mutex queueMutex;  // a leaf: nothing is taken while it is held
  std::condition_variable queueCond;
  RecordRing eventQueue KV_GUARDED_BY(queueMutex);
  // The bounds count the burst the dispatch loop is delivering as still queued.
  size_t burstRecords KV_GUARDED_BY(queueMutex) = 0;
  uint64_t queuedBytes KV_GUARDED_BY(queueMutex) = 0;  // payload bytes, the burst's included
  // The burst the dispatch loop is delivering; it trades storage with `eventQueue`. First thread
  // only, swapped under `queueMutex`.
  RecordRing burst;
  // The dispatch loop waits on `queueCond`: only then does a post need to wake it.
  bool dispatcherWaiting KV_GUARDED_BY(queueMutex) = false;
  RefusalRun queueRefusals;  // posts refused for the bounds, logged as one run; lock-free
};

}  // namespace kv::core
