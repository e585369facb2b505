// The yardsticks measured in the same run as the core: the cost of one copy of a payload, and
// ZeroMQ's in-process publish/subscribe carrying the same records to the same number of readers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bench/driver/Results.h"

namespace kv::bench {

struct CopyCost {
  double hotNanos = 0;   // the same source and destination, again and again: in the caches
  double coldNanos = 0;  // every copy from and to memory not touched lately: out of the caches
};

// The nanoseconds of one memcpy of `bytes`, hot and cold.
CopyCost measureCopy(size_t bytes);

// `count` messages of `payload` bytes from one in-process PUB socket to `subscribers` SUB sockets,
// each on its own thread, with the core queue's bound as high-water mark and nothing dropped (a
// full pipe pushes back). One copy per message, at the send; the subscribers read in place.
// Judged like a core run: each subscriber checks the sequence numbers that a payload of 8 bytes
// or more carries.
RunOutcome runZeroMq(uint32_t payload, uint32_t subscribers, uint32_t count);

}  // namespace kv::bench
