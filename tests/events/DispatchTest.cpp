// The dispatch loop with hook plugins: order of delivery, references around each delivery,
// records posted while delivering, the latency report and the counters.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "events/RefBlock.h"
#include "tests/support/CoreFixture.h"

namespace kv::core {
namespace {

using namespace std::chrono_literals;

constexpr uint32_t kCam = makeAddress(0x30, 1);

class DispatchTest : public test::CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    core_->logLevels[0] = 50;  // no status records among the deliveries
  }

  // A plugin that receives alarms and logs and notes "<name>:<payload>" for each delivery.
  std::shared_ptr<Plugin> addReceiver(const std::string& name, uint32_t id, int keep = 0) {
    auto& hooks = newHooks();
    hooks.load = [id](LoadReply& reply) {
      reply.address = makeAddress(id);
      reply.alarmSub = reply.logSub = reply.videoSub = kSubLive;
    };
    hooks.event = [this, name, keep](const EventParms& event) {
      std::lock_guard lock(mutex_);
      deliveries_.push_back(name + ":" +
                            std::string(static_cast<const char*>(event.data), event.length));
      return keep;
    };
    return addHookPlugin("hook_search", hooks, name + ".so");
  }

  int postAlarm(std::string_view payload, uint32_t source = kCam) {
    auto alarm = record(kTypeAlarm, kFlagLive, source, payload);
    return postEvent(&alarm);
  }

  std::vector<std::string> deliveries() {
    std::lock_guard lock(mutex_);
    return deliveries_;
  }

  // Runs the loop until everything queued so far is delivered.
  void drain() {
    core_->requestStop();
    core_->dispatchLoop();
  }

  std::mutex mutex_;
  std::vector<std::string> deliveries_;
};

TEST_F(DispatchTest, QueueOrderThenListOrderAndEverythingQueuedBeforeTheStop) {
  addReceiver("first", 0x41);
  addReceiver("second", 0x42);
  for (auto payload : {"A", "B", "C"}) ASSERT_EQ(postAlarm(payload), kPostAccepted);
  drain();
  EXPECT_EQ(deliveries(), (std::vector<std::string>{"first:A", "second:A", "first:B", "second:B",
                                                    "first:C", "second:C"}));
  // The first turn of the loop is a status tick, which starts the count anew after one record.
  EXPECT_EQ(core_->dispatchContext.eventsDispatched, 2u);
  EXPECT_EQ(core_->dispatchContext.queueLength, 0u);
  // Nobody kept anything: every block went with its last delivery.
  EXPECT_EQ(core_->counters.refblkCount.load(), 0u);
  EXPECT_EQ(core_->counters.heldRefs[0x41].load(), 0);
}

// Records taken from the queue in one burst but not yet delivered still count as queued.
TEST_F(DispatchTest, TheQueueLengthCountsEveryRecordNotYetDelivered) {
  std::vector<uint32_t> lengths;
  auto& hooks = newHooks();
  hooks.load = [](LoadReply& reply) {
    reply.address = makeAddress(0x41);
    reply.alarmSub = kSubLive;
  };
  hooks.event = [this, &lengths](const EventParms&) {
    lengths.push_back(core_->dispatchContext.queueLength);
    return 0;
  };
  addHookPlugin("hook_search", hooks, "counter.so");
  for (int i = 0; i < 100; ++i) ASSERT_EQ(postAlarm("x"), kPostAccepted);
  drain();
  ASSERT_EQ(lengths.size(), 100u);
  for (uint32_t i = 0; i < 100; ++i) EXPECT_EQ(lengths[i], 99 - i) << i;
}

// The bounds count a burst until it is delivered, and not a byte longer: after bursts and quiet
// seconds the queue's byte count is back to what is queued.
TEST_F(DispatchTest, DeliveredBurstsLeaveTheQueueBoundsExactly) {
  addReceiver("only", 0x41);
  core_->dispatchIdleWait = 2ms;
  std::thread loop([this] { core_->dispatchLoop(); });
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 10; ++i) ASSERT_EQ(postAlarm("0123456789"), kPostAccepted);
    for (int i = 0; i < 3000 && deliveries().size() < 10u * (round + 1); ++i) {
      std::this_thread::sleep_for(1ms);
    }
    std::this_thread::sleep_for(10ms);  // a few quiet seconds of the loop
  }
  core_->requestStop();
  loop.join();
  EXPECT_EQ(deliveries().size(), 30u);
  std::lock_guard lock(core_->queue.queueMutex);
  EXPECT_EQ(core_->queue.queuedBytes, 0u);
  EXPECT_EQ(core_->queue.burstRecords, 0u);
}

// In a stream of deliveries the read that ends one delivery starts the next: one clock read per
// delivery, not one on either side of each and more per record.
TEST_F(DispatchTest, AStreamOfDeliveriesReadsTheClockOncePerDelivery) {
  addReceiver("first", 0x41);
  addReceiver("second", 0x42);
  constexpr int kRecords = 50;
  for (int i = 0; i < kRecords; ++i) ASSERT_EQ(postAlarm("x"), kPostAccepted);
  std::atomic<int> reads{0};
  core_->steadyNanos = [&reads] { return int64_t{1'000'000'000} + reads++; };
  drain();
  ASSERT_EQ(deliveries().size(), 2u * kRecords);
  // The start of the loop and the status record of its first turn may read once more each.
  EXPECT_LE(reads.load(), 2 * kRecords + 3);
}

TEST_F(DispatchTest, ARecordNobodyWantsIsStillFreed) {
  addReceiver("only", 0x41);
  auto unknown = record(0x80, kFlagLive, kCam, "nobody");
  ASSERT_EQ(postEvent(&unknown), kPostAccepted);
  drain();
  EXPECT_TRUE(deliveries().empty());
  EXPECT_EQ(core_->dispatchContext.queueLength, 0u);
  EXPECT_EQ(core_->counters.refblkCount.load(), 0u);
}

TEST_F(DispatchTest, APluginThatKeepsAReferenceReleasesItLater) {
  addReceiver("keeper", 0x41, 1);
  addReceiver("reader", 0x42);
  ASSERT_EQ(postAlarm("kept"), kPostAccepted);
  void* data = queued().at(0).data;
  drain();
  EXPECT_EQ(refBlockOf(data)->count.load(), 1u);
  EXPECT_EQ(core_->counters.heldRefs[0x41].load(), 1);
  EXPECT_EQ(core_->counters.heldRefs[0].load(), 0);
  auto decref = record(kTypeDecref, 0, makeAddress(0x41));
  decref.data = data;
  EXPECT_EQ(postEvent(&decref), kPostAccepted);
  EXPECT_EQ(core_->counters.refblkCount.load(), 0u);
  EXPECT_EQ(core_->counters.heldRefs[0x41].load(), 0);
}

TEST_F(DispatchTest, RecordsPostedWhileDeliveringComeAfterTheCurrentOne) {
  addReceiver("second", 0x42);
  auto& hooks = newHooks();
  hooks.load = [](LoadReply& reply) {
    reply.address = makeAddress(0x43);
    reply.alarmSub = kSubLive;
  };
  hooks.event = [this](const EventParms& event) {
    const std::string payload(static_cast<const char*>(event.data), event.length);
    if (payload == "A") postAlarm("reply to A", makeAddress(0x43));
    std::lock_guard lock(mutex_);
    deliveries_.push_back("poster:" + payload);
    return 0;
  };
  addHookPlugin("hook_search", hooks, "poster.so");
  ASSERT_EQ(postAlarm("A"), kPostAccepted);
  ASSERT_EQ(postAlarm("B"), kPostAccepted);
  core_->dispatchIdleWait = 5ms;
  std::thread loop([this] { core_->dispatchLoop(); });
  for (int i = 0; i < 3000 && deliveries().size() < 6; ++i) std::this_thread::sleep_for(1ms);
  core_->requestStop();
  loop.join();
  EXPECT_EQ(deliveries(), (std::vector<std::string>{"second:A", "poster:A", "second:B", "poster:B",
                                                    "second:reply to A", "poster:reply to A"}));
}

TEST_F(DispatchTest, AnEmptyQueueCountsIdleWakeUps) {
  core_->dispatchIdleWait = 5ms;
  std::thread loop([this] { core_->dispatchLoop(); });
  // Dozens of 5 ms waits; the first status tick resets the count once.
  std::this_thread::sleep_for(500ms);
  core_->requestStop();
  loop.join();
  EXPECT_GE(core_->dispatchContext.idleSeconds, 1u);
  EXPECT_EQ(core_->dispatchContext.eventsDispatched, 0u);
  EXPECT_EQ(core_->dispatchContext.queueLength, 0u);
}

TEST_F(DispatchTest, SlowDeliveriesAreReportedAndLiveLogDeliveriesTimed) {
  core_->logLevels[0] = 0;
  std::atomic<int64_t> now{1'000'000'000'000};
  core_->steadyNanos = [&now] { return now.load(); };
  auto& hooks = newHooks();
  hooks.load = [](LoadReply& reply) {
    reply.address = makeAddress(0x44);
    reply.videoSub = reply.logSub = kSubLive;
  };
  hooks.event = [&now](const EventParms&) {
    now += 6'000'000;  // every delivery takes 6 ms
    return 0;
  };
  addHookPlugin("hook_search", hooks, "Slow.Plugin.so");
  addReceiver("Cam", 0x30);  // names the source of the video

  const std::string frame(1234, 'v');
  auto video = record(kTypeVideo | kTypeModifier, kFlagLive, kCam, frame);
  ASSERT_EQ(postEvent(&video), kPostAccepted);
  auto log = record(kTypeLog, kFlagLive, makeAddress(0x31), "plugin log line");
  log.level = 50;
  ASSERT_EQ(postEvent(&log), kPostAccepted);
  // With the modifier a log record's level reads as 0, and its delivery is timed like any other.
  core_->logLevels[0x31] = 0;
  auto modifiedLog = record(kTypeLog | kTypeModifier, kFlagLive, makeAddress(0x31), "mod");
  ASSERT_EQ(postEvent(&modifiedLog), kPostAccepted);
  core_->requestStop();
  core_->dispatchLoop();

  std::vector<std::string> reports;
  for (const auto& line : logLines()) {
    const auto at = line.find(" took ");
    if (at != std::string::npos) reports.push_back(line.substr(line.find("Slow")));
  }
  EXPECT_EQ(reports, (std::vector<std::string>{
                         "Slow took 6ms for video event from Cam [1,234]",
                         "Slow took 6ms for log event from unknown [3]",
                     }));
  EXPECT_EQ(core_->dispatchContext.logDeliveryMicros, 6000u);
}

}  // namespace
}  // namespace kv::core
