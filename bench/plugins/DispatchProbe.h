// DispatchProbe: how a bench plugin's worker waits for the core's dispatch loop to run, so that
// no figure holds the core's start-up. A watchdog record comes back to its sender only, and only
// through the loop; Close gives up the wait.
//
// Threads: wait() on the plugin's worker; seen() from OnEvent and stop() from Close, both on the
// core's first thread; stopped() anywhere.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "plugins/PluginEntry.h"

namespace kv::bench {

class DispatchProbe {
 public:
  // Posts the probe from `address` and waits for it; false when the core refused it or closed.
  bool wait(core::PostEventFn post, uint32_t address) {
    core::EventParms probe = core::makeEventRecord(core::kTypeWatchdog, core::kFlagLive, address);
    if (post(&probe) != core::kPostAccepted) return false;
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(60), [this] { return seen_ || stopping_; });
    return seen_ && !stopping_;
  }
  // The probe came back (any watchdog record to this plugin is it).
  void seen() {
    {
      std::lock_guard lock(mutex_);
      seen_ = true;
    }
    changed_.notify_all();
  }
  void stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
  }
  // Close was called. Relaxed: only a signal to stop trying; nothing is read on its strength.
  bool stopped() const { return stopping_.load(std::memory_order_relaxed); }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool seen_ = false;
  std::atomic<bool> stopping_{false};  // written under `mutex_` too, for the wait
};

}  // namespace kv::bench
