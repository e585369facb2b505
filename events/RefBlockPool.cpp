#include "events/RefBlockPool.h"

#include <bit>
#include <cstdlib>
#include <cstring>
#include <new>

// Pooled blocks are poisoned for the address sanitizer, so that a plugin reading a payload after
// giving it back is caught as it would be after a free.
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define KV_POISON(address, size) ASAN_POISON_MEMORY_REGION(address, size)
#define KV_UNPOISON(address, size) ASAN_UNPOISON_MEMORY_REGION(address, size)
#else
#define KV_POISON(address, size) ((void)(address), (void)(size))
#define KV_UNPOISON(address, size) ((void)(address), (void)(size))
#endif

namespace kv::core {
namespace {

constexpr uint32_t kLog2Smallest = 6;  // 64
static_assert(RefBlockPool::kSmallestClass == 1u << kLog2Smallest);
static_assert((RefBlockPool::kSlotsPerClass & (RefBlockPool::kSlotsPerClass - 1)) == 0);

size_t allocationOf(int sizeClass) {
  return size_t{RefBlockPool::capacityOf(sizeClass)} + sizeof(RefBlockHeader);
}

}  // namespace

int RefBlockPool::classOf(uint32_t length) {
  if (length <= kSmallestClass) return 0;
  if (length > kLargestClass) return -1;
  // 2^power < length <= 2^(power+1); the class is the first quarter step at or above length.
  const uint32_t power = static_cast<uint32_t>(std::bit_width(length - 1)) - 1;
  const uint32_t step = 1u << (power - 2);
  const uint32_t quarter = (length - (1u << power) + step - 1) / step;  // 1 to 4
  return static_cast<int>((power - kLog2Smallest) * 4 + quarter);
}

uint32_t RefBlockPool::capacityOf(int sizeClass) {
  if (sizeClass == 0) return kSmallestClass;
  const uint32_t power = kLog2Smallest + static_cast<uint32_t>(sizeClass - 1) / 4;
  const uint32_t quarter = static_cast<uint32_t>(sizeClass - 1) % 4 + 1;
  return (1u << power) + quarter * (1u << (power - 2));
}

void* RefBlockPool::allocate(const void* payload, uint32_t length) {
  const int sizeClass = classOf(length);
  RefBlockHeader* header = nullptr;
  if (sizeClass >= 0) {
    header = classes_[sizeClass].pop();
    if (header != nullptr) {
      pooledBytes_.fetch_sub(static_cast<uint32_t>(allocationOf(sizeClass)),
                             std::memory_order_relaxed);
      KV_UNPOISON(header, allocationOf(sizeClass));
    }
  }
  if (header == nullptr) {
    void* raw = std::malloc(sizeClass >= 0 ? allocationOf(sizeClass)
                                           : size_t{length} + sizeof(RefBlockHeader));
    if (raw == nullptr) return nullptr;
    header = static_cast<RefBlockHeader*>(raw);
  }
  new (header) RefBlockHeader{length + static_cast<uint32_t>(sizeof(RefBlockHeader)), {0}};
  void* data = header + 1;
  std::memcpy(data, payload, length);
  return data;
}

void RefBlockPool::recycle(void* data) {
  RefBlockHeader* header = refBlockOf(data);
  const int sizeClass = classOf(header->total - static_cast<uint32_t>(sizeof(RefBlockHeader)));
  if (sizeClass >= 0) {
    const auto bytes = static_cast<uint32_t>(allocationOf(sizeClass));
    // Reserved first, so that racing recyclers can't pass the bound together.
    if (pooledBytes_.fetch_add(bytes, std::memory_order_relaxed) + bytes <= kMaxPooledBytes) {
      header->~RefBlockHeader();
      KV_POISON(header, bytes);
      if (classes_[sizeClass].push(header)) return;
      KV_UNPOISON(header, bytes);
    }
    pooledBytes_.fetch_sub(bytes, std::memory_order_relaxed);
  }
  std::free(header);
}

void RefBlockPool::trim() {
  for (size_t sizeClass = 0; sizeClass < kClasses; ++sizeClass) {
    const auto bytes = static_cast<uint32_t>(allocationOf(static_cast<int>(sizeClass)));
    while (RefBlockHeader* header = classes_[sizeClass].pop()) {
      pooledBytes_.fetch_sub(bytes, std::memory_order_relaxed);
      KV_UNPOISON(header, bytes);
      std::free(header);
    }
  }
}

// Cell i starts ready to be filled at position i. A push at position p fills the cell whose
// sequence is p and marks it p + 1 (ready to be emptied); a pop at p empties the cell whose
// sequence is p + 1 and marks it p + kSlotsPerClass (ready for the push one lap later). Positions
// are compared by their signed distance, so that they may wrap.
RefBlockPool::Slots::Slots() {
  for (uint32_t i = 0; i < kSlotsPerClass; ++i) {
    cells_[i].sequence.store(i, std::memory_order_relaxed);
    cells_[i].block = nullptr;
  }
}

bool RefBlockPool::Slots::push(RefBlockHeader* block) {
  uint32_t at = pushAt_.load(std::memory_order_relaxed);
  for (;;) {
    Cell& cell = cells_[at & (kSlotsPerClass - 1)];
    const auto distance = static_cast<int32_t>(cell.sequence.load(std::memory_order_acquire) - at);
    if (distance < 0) return false;  // full: the cell still waits to be emptied
    if (distance > 0) {
      at = pushAt_.load(std::memory_order_relaxed);  // another push took this position
    } else if (pushAt_.compare_exchange_weak(at, at + 1, std::memory_order_relaxed)) {
      cell.block = block;
      cell.sequence.store(at + 1, std::memory_order_release);
      return true;
    }
  }
}

RefBlockHeader* RefBlockPool::Slots::pop() {
  uint32_t at = popAt_.load(std::memory_order_relaxed);
  for (;;) {
    Cell& cell = cells_[at & (kSlotsPerClass - 1)];
    const auto distance =
        static_cast<int32_t>(cell.sequence.load(std::memory_order_acquire) - (at + 1));
    if (distance < 0) return nullptr;  // empty: the cell waits to be filled
    if (distance > 0) {
      at = popAt_.load(std::memory_order_relaxed);  // another pop took this position
    } else if (popAt_.compare_exchange_weak(at, at + 1, std::memory_order_relaxed)) {
      RefBlockHeader* block = cell.block;
      cell.sequence.store(at + kSlotsPerClass, std::memory_order_release);
      return block;
    }
  }
}

}  // namespace kv::core
