// Plugins that give back more than they hold: a "decref" twice for one kept payload, or for a
// pointer the core never handed out. Checked inside the core, where the block counts can be read.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "events/RefBlock.h"
#include "tests/support/CoreFixture.h"
#include "tests/support/OddRecords.h"

namespace kv::core {
namespace {

constexpr uint32_t kCamera = 0x00210001;
constexpr uint32_t kKeeper = 0x00410000;
constexpr uint32_t kStranger = 0x00420000;

class OverReleaseTest : public test::CoreTest {
 protected:
  int decref(uint32_t source, void* data) {
    EventParms record = makeEventRecord(kTypeDecref, 0, source, data);
    return postEvent(&record);
  }
  // A queued alarm's payload, kept by the keeper as a delivery that returned non-zero keeps it.
  void* keptPayload() {
    EventParms alarm = record(kTypeAlarm, kFlagLive, kCamera, "<kept/>");
    EXPECT_EQ(postEvent(&alarm), kPostAccepted);
    void* data = queued().back().data;
    core_->addRef(data, addressSlot(kKeeper));
    return data;
  }
  void dropQueue() {
    std::lock_guard lock(core_->queue.queueMutex);
    for (const auto& entry : core_->queue.eventQueue) core_->releaseRef(entry.data, 0);
    core_->queue.eventQueue.clear();
    core_->queue.queuedBytes = 0;
  }
};

TEST_F(OverReleaseTest, OnlyReferencesAPluginHoldsAreGivenBack) {
  void* data = keptPayload();
  EXPECT_EQ(decref(kStranger, data), kPostRefused);  // never held anything
  EXPECT_EQ(refBlockOf(data)->count.load(), 2u);
  EXPECT_EQ(decref(kKeeper, data), kPostAccepted);
  EXPECT_EQ(decref(kKeeper, data), kPostRefused);  // the second give-back of the same payload
  EXPECT_EQ(refBlockOf(data)->count.load(), 1u);   // the queue's, still there
  EXPECT_EQ(core_->counters.heldRefs[addressSlot(kKeeper)].load(), 0);
  EXPECT_EQ(decref(kKeeper, nullptr), kPostAccepted);  // nothing to give back, nothing refused

  // A pointer the core never handed out is not touched, even when it looks like a block.
  test::OddScratch scratch;
  EXPECT_EQ(decref(kStranger, scratch.fakeBlock.payload), kPostRefused);
  EXPECT_EQ(scratch.fakeBlock.count, 1u);

  dropQueue();
  EXPECT_EQ(core_->counters.refblkCount.load(), 0u);
  EXPECT_EQ(core_->counters.heldRefs[0].load(), 0);
}

// Two threads of one plugin give the one reference it holds back at the same time, over and
// over: exactly one of them is accepted each time, and the block outlives both.
TEST_F(OverReleaseTest, RacingGiveBacksReleaseOneReferenceOnce) {
  for (int round = 0; round < 300; ++round) {
    void* data = keptPayload();
    std::atomic<int> accepted{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i) {
      threads.emplace_back([&] {
        while (!go.load()) std::this_thread::yield();
        if (decref(kKeeper, data) == kPostAccepted) accepted.fetch_add(1);
      });
    }
    go.store(true);
    for (auto& thread : threads) thread.join();
    ASSERT_EQ(accepted.load(), 1) << "round " << round;
    ASSERT_EQ(refBlockOf(data)->count.load(), 1u) << "round " << round;
    dropQueue();
  }
  EXPECT_EQ(core_->counters.refblkCount.load(), 0u);
}

}  // namespace
}  // namespace kv::core
