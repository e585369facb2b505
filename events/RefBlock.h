// Reference blocks: one heap copy of a queued payload behind an 8-byte header (total size,
// reference count), shared by every receiver. A record's `data` points at the payload, 8 bytes
// past the start of the block.
//
// Core-internal. The count changes only atomically, from any thread; the DvrCore intake keeps the
// block counters and decides when a block is freed.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

namespace kv::core {

struct RefBlockHeader {
  uint32_t total;               // payload length + 8
  std::atomic<uint32_t> count;  // references held
};
static_assert(sizeof(RefBlockHeader) == 8, "the payload starts 8 bytes into the block");
static_assert(std::atomic<uint32_t>::is_always_lock_free);

// A new block holding a copy of `length` bytes at `payload`, with count 0; returns the payload
// pointer, or null when there is no memory.
inline void* allocateRefBlock(const void* payload, uint32_t length) {
  const size_t total = size_t{length} + sizeof(RefBlockHeader);
  void* raw = std::malloc(total);
  if (raw == nullptr) return nullptr;
  auto* header = new (raw) RefBlockHeader{static_cast<uint32_t>(total), {0}};
  void* data = header + 1;
  std::memcpy(data, payload, length);
  return data;
}

inline RefBlockHeader* refBlockOf(void* data) {
  return static_cast<RefBlockHeader*>(data) - 1;
}

inline void freeRefBlock(void* data) {
  RefBlockHeader* header = refBlockOf(data);
  header->~RefBlockHeader();
  std::free(header);
}

}  // namespace kv::core
