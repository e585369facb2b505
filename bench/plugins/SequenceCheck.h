// The receiving side's check of a numbered stream of records: in order, none missing, each payload
// of the announced size and carrying its own number. Used by the bench consumers (live alarms) and
// the bench requester (search results), which report it in the same "consumer ..." line.
//
// Not thread-safe: one receiving thread at a time.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "bench/plugins/BenchReport.h"

namespace kv::bench {

class SequenceCheck {
 public:
  explicit SequenceCheck(uint32_t payloadSize = 0) : payloadSize_(payloadSize) {}
  void setPayloadSize(uint32_t bytes) { payloadSize_ = bytes; }

  // Whether the next record is the first, whose time `see` keeps.
  bool waitingForFirst() const { return received_ == 0; }
  // One record other than the end marker, received at `now` (steady-clock nanoseconds; read only
  // for the first record).
  void see(const core::EventParms& record, int64_t now) {
    const uint64_t sequence = readSequence(record);
    if (received_ == 0) first_ = now;
    if (sequence != next_ && ordered_) {
      ordered_ = false;
      badAt_ = sequence;
    }
    if (record.length != payloadSize_ || payloadSequence(record, sequence) != sequence) {
      payloadOk_ = false;
    }
    next_ = sequence + 1;
    ++received_;
  }

  // "consumer id=ID received=N expected=M ordered=0|1 payload=0|1 first=NS last=NS badat=S", for
  // the end marker that announced `expected` records, received at `last`.
  std::string reportLine(uint32_t id, uint64_t expected, int64_t last) const {
    char text[256];
    std::snprintf(text, sizeof text,
                  "consumer id=%u received=%llu expected=%llu ordered=%d payload=%d first=%lld "
                  "last=%lld badat=%llu",
                  id, static_cast<unsigned long long>(received_),
                  static_cast<unsigned long long>(expected), ordered_ ? 1 : 0, payloadOk_ ? 1 : 0,
                  static_cast<long long>(first_), static_cast<long long>(last),
                  static_cast<unsigned long long>(badAt_));
    return text;
  }

 private:
  uint32_t payloadSize_;
  uint64_t received_ = 0;
  uint64_t next_ = 0;  // the sequence number due
  bool ordered_ = true;
  bool payloadOk_ = true;
  uint64_t badAt_ = 0;  // where order first broke
  int64_t first_ = 0;
};

}  // namespace kv::bench
