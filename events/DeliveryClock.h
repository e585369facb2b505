// DeliveryClock: the steady clock as the dispatch loop reads it to time deliveries. In a stream of
// deliveries one read ends a delivery and starts the next, instead of a read on either side of
// each; after anything else the loop did in between (a sleep, the status record, applying
// settings) the next delivery starts from a fresh read, so that its cost isn't charged to a
// plugin.
//
// Core-internal. First thread only.
#pragma once

#include <cstdint>
#include <functional>

namespace kv::core {

class DeliveryClock {
 public:
  explicit DeliveryClock(const std::function<int64_t()>& read) : read_(read) {}

  // The start of the next delivery: the last read if nothing came between, else a fresh one.
  int64_t mark() {
    if (!fresh_) lap();
    return last_;
  }
  // The end of a delivery, and the start of the next.
  int64_t lap() {
    last_ = read_();
    fresh_ = true;
    return last_;
  }
  // The loop did something of its own since the last read.
  void interrupt() { fresh_ = false; }

 private:
  const std::function<int64_t()>& read_;
  int64_t last_ = 0;
  bool fresh_ = false;
};

}  // namespace kv::core
