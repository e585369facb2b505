// RefusalRun: counts an unbroken run of refusals of one kind (a full queue, too many search
// threads), so that a flood is logged once when it starts and once, with its count, when it ends,
// rather than once per refused item. The caller formats and logs the two lines.
//
// Thread-safe, lock-free: any thread refuses or accepts. Two threads racing at the edge of a run
// may both see a run end, or a new run start right after one ended; each refusal is counted in
// exactly one run.
#pragma once

#include <atomic>
#include <cstdint>

namespace kv::core {

class RefusalRun {
 public:
  // Counts one refusal. True when it starts a run: the caller logs the start.
  bool refuse() {
    // Relaxed: the count orders nothing else; only its own value matters.
    return count_.fetch_add(1, std::memory_order_relaxed) == 0;
  }
  // Ends the run, if one is going on. Returns the number of refusals in it (the caller logs the
  // end with it), 0 when there was no run. The plain load keeps the common path free of writes.
  uint32_t accept() {
    if (count_.load(std::memory_order_relaxed) == 0) return 0;
    return count_.exchange(0, std::memory_order_relaxed);
  }

 private:
  std::atomic<uint32_t> count_{0};
};

}  // namespace kv::core
