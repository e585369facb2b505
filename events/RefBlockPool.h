// RefBlockPool: reference blocks kept for reuse by size class instead of going back to the
// allocator. A block is made on a poster's thread and freed on the dispatch thread (or wherever
// its last holder lets go); handing it back to malloc there makes the two threads fight over one
// arena, and large blocks cost a fresh mmap, page faults and an munmap each time. Recycled blocks
// stay mapped and warm.
//
// The header and the accounting of a block are unchanged: its `total` is still payload + 8; only
// the allocation behind it is rounded up to its class. Classes run from 64 payload bytes in four
// steps per doubling up to 1 MiB; larger payloads aren't pooled. What the pool keeps is bounded
// (kMaxPooledBytes, and kSlotsPerClass blocks per class) and given back with trim().
//
// Core-internal. Every member is lock-free and safe on any thread.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "events/RefBlock.h"

namespace kv::core {

class RefBlockPool {
 public:
  static constexpr uint32_t kSmallestClass = 64;
  static constexpr uint32_t kLargestClass = 1u << 20;
  static constexpr size_t kClasses = 57;  // 64, then 4 per doubling from 128 to 1 MiB
  static constexpr uint32_t kSlotsPerClass = 16;
  static constexpr uint32_t kMaxPooledBytes = 4u << 20;

  RefBlockPool() = default;
  RefBlockPool(const RefBlockPool&) = delete;
  RefBlockPool& operator=(const RefBlockPool&) = delete;
  ~RefBlockPool() { trim(); }

  // A block holding a copy of `length` bytes at `payload`, with count 0: a pooled one of its class
  // when there is one, else a new one. Returns the payload pointer, or null without memory.
  void* allocate(const void* payload, uint32_t length);
  // Takes back a block whose last reference went: kept when its class has room within the bound,
  // else freed.
  void recycle(void* data);
  // Frees every pooled block: under memory pressure, and when the core goes idle.
  void trim();
  // Bytes held in the pool, headers included.
  uint32_t pooledBytes() const { return pooledBytes_.load(std::memory_order_relaxed); }

  // The class of a payload length, or -1 when it is too large to pool; and a class's payload
  // capacity.
  static int classOf(uint32_t length);
  static uint32_t capacityOf(int sizeClass);

 private:
  // A bounded lock-free queue of free blocks of one class (a ring of sequenced cells: each cell
  // says whether it is ready to be filled or to be emptied at a given position).
  class Slots {
   public:
    Slots();
    bool push(RefBlockHeader* block);
    RefBlockHeader* pop();

   private:
    struct Cell {
      std::atomic<uint32_t> sequence;
      RefBlockHeader* block;
    };
    std::array<Cell, kSlotsPerClass> cells_;
    alignas(64) std::atomic<uint32_t> pushAt_{0};
    alignas(64) std::atomic<uint32_t> popAt_{0};
  };

  std::array<Slots, kClasses> classes_;
  std::atomic<uint32_t> pooledBytes_{0};
};

}  // namespace kv::core
