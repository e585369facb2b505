// The event queue's ring: order across the wrap and across growth, bursts taken from the front,
// and the storage given back after a burst.
#include <gtest/gtest.h>

#include <vector>

#include "events/RecordRing.h"

namespace kv::core {
namespace {

EventParms numbered(uint32_t n) {
  EventParms record{};
  record.requestId = n;
  return record;
}

std::vector<uint32_t> numbersIn(const RecordRing& ring) {
  std::vector<uint32_t> numbers;
  for (const EventParms& record : ring) numbers.push_back(record.requestId);
  return numbers;
}

TEST(RecordRingTest, KeepsOrderAcrossTheWrapAndAcrossGrowth) {
  RecordRing ring;
  uint32_t next = 0;
  uint32_t expected = 0;
  // Half a ring in, then in and out in turn so that the front wraps past the end of the storage.
  for (; next < RecordRing::kInitialCapacity / 2; ++next) ring.push_back(numbered(next));
  for (int i = 0; i < 100; ++i) {
    ring.push_back(numbered(next++));
    ASSERT_EQ(ring.front().requestId, expected++);
    ring.pop_front();
  }
  EXPECT_EQ(ring.capacity(), RecordRing::kInitialCapacity);
  // Now grow while wrapped: the copy must unroll the wrap in order.
  while (ring.size() < 3 * RecordRing::kInitialCapacity) ring.push_back(numbered(next++));
  EXPECT_EQ(ring.capacity(), 4 * RecordRing::kInitialCapacity);
  const auto numbers = numbersIn(ring);
  ASSERT_EQ(numbers.size(), ring.size());
  for (size_t i = 0; i < numbers.size(); ++i) EXPECT_EQ(numbers[i], expected + i) << i;
  EXPECT_EQ(ring.back().requestId, next - 1);
}

// The dispatch loop swaps its delivered, empty ring for the queue: each side keeps its order, and
// the storage travels with it.
TEST(RecordRingTest, ASwapHandsOverTheRecordsAndTheStorage) {
  RecordRing queue;
  RecordRing burst;
  for (uint32_t n = 0; n < 100; ++n) queue.push_back(numbered(n));
  for (uint32_t n = 0; n < 60; ++n) queue.pop_front();                // the front is past the start
  for (uint32_t n = 100; n < 150; ++n) queue.push_back(numbered(n));  // and wraps
  burst.swap(queue);
  EXPECT_TRUE(queue.empty());
  EXPECT_EQ(queue.capacity(), 0u);
  ASSERT_EQ(burst.size(), 90u);
  std::vector<uint32_t> expected;
  for (uint32_t n = 60; n < 150; ++n) expected.push_back(n);
  EXPECT_EQ(numbersIn(burst), expected);
  burst.clear();
  queue.push_back(numbered(1));
  burst.swap(queue);
  EXPECT_EQ(numbersIn(burst), std::vector<uint32_t>{1});
  EXPECT_EQ(queue.capacity(), 128u);  // the storage the first burst grew, ready for posters
}

TEST(RecordRingTest, AnEmptiedRingGivesBackWhatABurstGrewAndStillWorks) {
  RecordRing ring;
  for (uint32_t n = 0; n < 1000; ++n) ring.push_back(numbered(n));
  EXPECT_EQ(ring.capacity(), 1024u);
  ring.clear();
  ring.shrink();
  EXPECT_EQ(ring.capacity(), 0u);
  for (uint32_t n = 0; n < 100; ++n) ring.push_back(numbered(n));
  ring.shrink();  // not while records are queued
  EXPECT_EQ(ring.capacity(), 128u);
  ring.clear();
  ring.shrink();
  ring.push_back(numbered(7));
  EXPECT_EQ(ring.capacity(), RecordRing::kInitialCapacity);
  ring.pop_front();
  ring.shrink();  // the first size is kept, or every idle second would free and allocate it
  EXPECT_EQ(ring.capacity(), RecordRing::kInitialCapacity);
  ring.push_back(numbered(7));
  EXPECT_EQ(numbersIn(ring), std::vector<uint32_t>{7});
}

}  // namespace
}  // namespace kv::core
