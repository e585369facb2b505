// MediaGate: the state of live video and audio streams at the intake, one 16-bit frame counter per
// source address word (0: wait for a key frame; else frames since it).
//
// `gopMutex` guards the table's lookup and insertion; a counter itself belongs to the one thread
// that posts that source's frames and is atomic only so that misuse by two threads is no data race.
// Nodes of the map never move, so a counter found under the lock stays valid after it.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "core/Guarded.h"

namespace kv::core {

struct MediaGate {
  std::mutex gopMutex;  // a leaf
  std::unordered_map<uint32_t, std::atomic<int16_t>> gopTable KV_GUARDED_BY(gopMutex);
};

}  // namespace kv::core
