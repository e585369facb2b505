// The pool of reference blocks: its size classes, reuse, its bounds, trimming, and blocks passed
// between threads the way posters and the dispatch loop pass them.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "events/RefBlockPool.h"
#include "tests/support/CoreFixture.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace kv::core {
namespace {

TEST(RefBlockPoolTest, EveryLengthGetsTheSmallestClassThatHoldsItWithAQuarterToSpareAtMost) {
  uint32_t previous = 0;
  for (int sizeClass = 0; sizeClass < static_cast<int>(RefBlockPool::kClasses); ++sizeClass) {
    const uint32_t capacity = RefBlockPool::capacityOf(sizeClass);
    ASSERT_GT(capacity, previous) << sizeClass;
    // The first and the last length of the class, and the step on either side.
    EXPECT_EQ(RefBlockPool::classOf(capacity), sizeClass) << capacity;
    EXPECT_EQ(RefBlockPool::classOf(previous + 1), sizeClass) << previous + 1;
    if (sizeClass > 0) {
      EXPECT_LE(capacity, (previous + 1) + (previous + 1) / 4) << capacity;
    }
    previous = capacity;
  }
  EXPECT_EQ(previous, RefBlockPool::kLargestClass);
  EXPECT_EQ(RefBlockPool::classOf(0), 0);
  EXPECT_EQ(RefBlockPool::classOf(1024), RefBlockPool::classOf(1000));
  EXPECT_EQ(RefBlockPool::capacityOf(RefBlockPool::classOf(65536)), 65536u);  // no waste
  EXPECT_EQ(RefBlockPool::classOf(RefBlockPool::kLargestClass + 1), -1);
  EXPECT_EQ(RefBlockPool::classOf(UINT32_MAX - 8), -1);
}

TEST(RefBlockPoolTest, ABlockComesBackForTheNextPayloadOfItsClassWithItsOwnHeader) {
  RefBlockPool pool;
  const std::string first(1000, 'a');
  void* data = pool.allocate(first.data(), 1000);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(refBlockOf(data)->total, 1008u);
  EXPECT_EQ(std::memcmp(data, first.data(), 1000), 0);
  pool.recycle(data);
  EXPECT_EQ(pool.pooledBytes(), 1024u + 8u);
#if defined(__SANITIZE_ADDRESS__)
  EXPECT_TRUE(__asan_address_is_poisoned(data));  // a late reader is caught as after a free
#endif
  const std::string second(1024, 'b');
  void* again = pool.allocate(second.data(), 1024);
  EXPECT_EQ(again, data);
  EXPECT_EQ(refBlockOf(again)->total, 1032u);
  EXPECT_EQ(refBlockOf(again)->count.load(), 0u);
  EXPECT_EQ(std::memcmp(again, second.data(), 1024), 0);
  EXPECT_EQ(pool.pooledBytes(), 0u);
  // Another class doesn't take it.
  pool.recycle(again);
  void* other = pool.allocate(second.data(), 700);
  EXPECT_NE(other, again);
  pool.recycle(other);
}

TEST(RefBlockPoolTest, WhatThePoolKeepsIsBoundedAndTrimmedToNothing) {
  RefBlockPool pool;
  const std::string payload(RefBlockPool::kLargestClass + 1, 'x');
  std::vector<void*> small;
  for (int i = 0; i < 40; ++i) small.push_back(pool.allocate(payload.data(), 100));
  for (void* data : small) pool.recycle(data);
  // Sixteen blocks of the class at most; the rest went back to the allocator.
  EXPECT_EQ(pool.pooledBytes(), RefBlockPool::kSlotsPerClass * (112u + 8u));
  std::vector<void*> large;
  for (int i = 0; i < 6; ++i) {
    large.push_back(pool.allocate(payload.data(), RefBlockPool::kLargestClass));
  }
  for (void* data : large) pool.recycle(data);
  EXPECT_LE(pool.pooledBytes(), RefBlockPool::kMaxPooledBytes);
  EXPECT_GE(pool.pooledBytes(), RefBlockPool::kMaxPooledBytes - (RefBlockPool::kLargestClass + 8));
  // Beyond the largest class nothing is kept.
  const uint32_t before = pool.pooledBytes();
  void* huge = pool.allocate(payload.data(), RefBlockPool::kLargestClass + 1);
  ASSERT_NE(huge, nullptr);
  EXPECT_EQ(std::memcmp(huge, payload.data(), payload.size()), 0);
  pool.recycle(huge);
  EXPECT_EQ(pool.pooledBytes(), before);
  pool.trim();
  EXPECT_EQ(pool.pooledBytes(), 0u);
}

// Two posters make blocks, two releasers take them back, as plugin threads and the dispatch loop
// do. A block handed out twice at once would show another thread's stamp.
TEST(RefBlockPoolTest, BlocksPassedBetweenThreadsAreNeverHandedOutTwice) {
  RefBlockPool pool;
  std::mutex mutex;
  std::vector<void*> handoff;
  std::atomic<int> postersLeft{2};
  std::atomic<int> damaged{0};
  constexpr int kBlocksEach = 20000;
  auto poster = [&](uint32_t stamp) {
    uint32_t words[64];
    for (int i = 0; i < kBlocksEach; ++i) {
      for (uint32_t& word : words) word = stamp;
      const uint32_t length = 4 * (1 + static_cast<uint32_t>(i) % 64);  // a few classes
      void* data = pool.allocate(words, length);
      std::lock_guard lock(mutex);
      handoff.push_back(data);
    }
    --postersLeft;
  };
  auto releaser = [&] {
    for (;;) {
      void* data = nullptr;
      {
        std::lock_guard lock(mutex);
        if (!handoff.empty()) {
          data = handoff.back();
          handoff.pop_back();
        }
      }
      if (data == nullptr) {
        if (postersLeft.load() == 0) {
          std::lock_guard lock(mutex);
          if (handoff.empty()) return;
        }
        std::this_thread::yield();
        continue;
      }
      const auto* words = static_cast<const uint32_t*>(data);
      const uint32_t count = (refBlockOf(data)->total - 8) / 4;
      for (uint32_t i = 1; i < count; ++i) {
        if (words[i] != words[0]) ++damaged;
      }
      pool.recycle(data);
    }
  };
  std::vector<std::thread> threads;
  threads.emplace_back(poster, 0x11111111u);
  threads.emplace_back(poster, 0x22222222u);
  threads.emplace_back(releaser);
  threads.emplace_back(releaser);
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(damaged.load(), 0);
  EXPECT_LE(pool.pooledBytes(), RefBlockPool::kMaxPooledBytes);
}

// The core's counters see live blocks only; pooled ones are given back when the core goes idle
// and when memory runs short.
class RefBlockPoolInCoreTest : public test::CoreTest {};

TEST_F(RefBlockPoolInCoreTest, CountersSeeLiveBlocksAndThePoolEmptiesWhenIdleOrShortOfMemory) {
  core_->logLevels[0] = 50;
  const std::string payload(500, 'a');
  auto alarm = record(kTypeAlarm, kFlagLive, makeAddress(0x30), payload);
  ASSERT_EQ(postEvent(&alarm), kPostAccepted);
  EXPECT_EQ(core_->counters.refblkCount.load(), 1u);
  EXPECT_EQ(core_->counters.refblkBytes.load(), 508u);
  core_->requestStop();
  core_->dispatchLoop();  // nobody wants it: its block goes to the pool
  EXPECT_EQ(core_->counters.refblkCount.load(), 0u);
  EXPECT_EQ(core_->counters.refblkBytes.load(), 0u);
  EXPECT_GT(core_->blockPool.pooledBytes(), 0u);
  core_->stopRequested = false;
  core_->setThrottling(true);
  EXPECT_EQ(core_->blockPool.pooledBytes(), 0u);

  // The episode's log line and memory document are queued; once they are delivered and the loop
  // finds nothing more, the pool is empty again.
  ASSERT_EQ(postEvent(&alarm), kPostAccepted);
  // Long enough that the delivered blocks are seen in the pool before the idle second empties it.
  core_->dispatchIdleWait = std::chrono::milliseconds(200);
  std::thread loop([this] { core_->dispatchLoop(); });
  const auto waitFor = [this](bool pooled) {
    for (int i = 0; i < 5000 && (core_->blockPool.pooledBytes() != 0) != pooled; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return (core_->blockPool.pooledBytes() != 0) == pooled;
  };
  EXPECT_TRUE(waitFor(true));   // delivered: the blocks wait for the next payloads
  EXPECT_TRUE(waitFor(false));  // a quiet second: given back
  core_->requestStop();
  loop.join();
  EXPECT_EQ(core_->blockPool.pooledBytes(), 0u);
}

}  // namespace
}  // namespace kv::core
