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

TEST(RecordRingTest, BurstsComeFromTheFrontInOrderAndStopAtWhatIsThere) {
  RecordRing ring;
  EventParms burst[64];
  EXPECT_EQ(ring.popFront(burst, 64), 0u);  // nothing, not even storage yet
  for (uint32_t n = 0; n < 100; ++n) ring.push_back(numbered(n));
  ASSERT_EQ(ring.popFront(burst, 64), 64u);
  for (uint32_t n = 0; n < 64; ++n) EXPECT_EQ(burst[n].requestId, n);
  EXPECT_EQ(ring.front().requestId, 64u);
  // Refilled past the wrap; the next burst takes the 36 left and the new ones in order.
  for (uint32_t n = 100; n < 150; ++n) ring.push_back(numbered(n));
  ASSERT_EQ(ring.popFront(burst, 64), 64u);
  for (uint32_t n = 0; n < 64; ++n) EXPECT_EQ(burst[n].requestId, 64 + n);
  ASSERT_EQ(ring.popFront(burst, 64), 22u);
  EXPECT_EQ(burst[21].requestId, 149u);
  EXPECT_TRUE(ring.empty());
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
  ring.popFront(std::vector<EventParms>(100).data(), 100);
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
