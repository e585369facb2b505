// The post function: answers to requests, refusals, the log intake and the media gate, checked
// through the queue and the counters.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "events/RefBlock.h"
#include "tests/support/CoreFixture.h"

namespace kv::core {
namespace {

using test::CoreTest;

constexpr uint32_t kCamera = 0x00210001;  // plugin 0x21, stream 1

class IntakeTest : public CoreTest {
 protected:
  int post(EventParms event) { return postEvent(&event); }

  int postFrame(bool key, uint32_t type = kTypeVideo, uint32_t source = kCamera) {
    auto frame = record(type, kFlagLive, source, "frame");
    frame.frameKind = key ? kFrameKindKey : 2;
    return post(frame);
  }

  int postLogText(int32_t level, std::string_view text, uint32_t source = kCamera,
                  uint32_t flags = kFlagLive | kFlagLogWrite) {
    auto log = record(kTypeLog, flags, source, text);
    log.level = level;
    return post(log);
  }

  // Takes the oldest record off the queue as the dispatch loop does; false when it is empty.
  bool popQueued() {
    EventParms record;
    {
      std::lock_guard lock(core_->queue.queueMutex);
      if (core_->queue.eventQueue.empty()) return false;
      record = core_->queue.eventQueue.front();
      core_->queue.eventQueue.pop_front();
      core_->queue.queuedBytes -= record.length;
    }
    core_->releaseRef(record.data, 0);
    return true;
  }

  size_t linesWith(std::string_view text) {
    size_t count = 0;
    for (const auto& line : logLines()) count += line.find(text) != std::string::npos;
    return count;
  }

  void expectNoBlocks() {
    EXPECT_EQ(core_->counters.refblkCount.load(), 0u);
    EXPECT_EQ(core_->counters.refblkBytes.load(), 0u);
    for (uint32_t slot = 0; slot < 256; ++slot) {
      EXPECT_EQ(core_->counters.heldRefs[slot].load(), 0) << "slot " << slot;
    }
  }
};

TEST_F(IntakeTest, QueuedRecordsCarryTheirOwnCopyOfThePayload) {
  std::string payload = "<alarm/>";
  auto alarm = record(kTypeAlarm, kFlagLive | 0x80, kCamera, payload);
  alarm.typeBytes52[0] = 0x77;
  EXPECT_EQ(post(alarm), kPostAccepted);
  payload[1] = 'X';  // the core keeps no pointer into the caller's payload

  const auto queue = queued();
  ASSERT_EQ(queue.size(), 1u);
  const EventParms& entry = queue[0];
  EXPECT_NE(entry.data, alarm.data);
  EXPECT_EQ(std::string(static_cast<const char*>(entry.data), entry.length), "<alarm/>");
  EXPECT_EQ(entry.flags, alarm.flags);
  EXPECT_EQ(entry.typeBytes52[0], 0x77);
  EXPECT_EQ(refBlockOf(entry.data)->count.load(), 1u);  // the queue's own reference
  EXPECT_EQ(refBlockOf(entry.data)->total, 8u + 8u);
  EXPECT_EQ(core_->counters.refblkCount.load(), 1u);
  EXPECT_EQ(core_->counters.refblkBytes.load(), 16u);
  EXPECT_EQ(core_->counters.heldRefs[0].load(), 1);

  // The same bytes posted twice make two independent blocks.
  EXPECT_EQ(post(alarm), kPostAccepted);
  const auto two = queued();
  ASSERT_EQ(two.size(), 2u);
  EXPECT_NE(two[0].data, two[1].data);
  EXPECT_EQ(core_->counters.refblkCount.load(), 2u);

  for (const auto& queuedRecord : two) core_->releaseRef(queuedRecord.data, 0);
  std::lock_guard lock(core_->queue.queueMutex);
  core_->queue.eventQueue.clear();
}

TEST_F(IntakeTest, RequestsToTheCoreAreAnsweredAndNeverQueued) {
  // A null record is refused without being touched; a null payload forces the length to 0.
  EXPECT_EQ(postEvent(nullptr), kPostRefused);
  auto noPayload = record(kTypeWatchdog, kFlagLive, kCamera);
  noPayload.length = 12;
  EXPECT_EQ(postEvent(&noPayload), kPostAccepted);
  EXPECT_EQ(noPayload.length, 0u);
  EXPECT_EQ(queued().at(0).length, 0u);
  EXPECT_EQ(queued().at(0).data, nullptr);
  core_->queue.eventQueue.clear();

  struct Row {
    const char* what;
    EventParms event;
    int expected;
  };
  auto cancel = record(kTypeCancel, 0, kCamera);
  cancel.requestId = 0x00210007;
  auto cancelQuery = cancel;
  cancelQuery.flags = kFlagQuery;
  auto logQuery = record(kTypeLog, kFlagQuery, makeAddress(5));
  auto coreLogQuery = record(kTypeLog, kFlagQuery, kCoreAddress);
  auto crypto = record(kTypeCrypto, 3, kCamera, "abc");
  crypto.dataLength = 3;
  core_->logLevels[5] = 75;
  const Row rows[] = {
      {"decref of null", record(kTypeDecref, 0, kCamera), kPostAccepted},
      {"cancel query before the cancel", cancelQuery, kPostAccepted},
      {"cancel", cancel, kPostAccepted},
      {"cancel query after the cancel", cancelQuery, kPostRefused},
      {"log level of slot 5", logQuery, 75},
      {"log level of the core, unset", coreLogQuery, 25},
      {"crypto with an unknown operation", crypto, -1},
      {"ipc without a pipe", record(kTypeIpc, 0, kCamera, "packet"), kPostRefused},
      {"empty search request",
       [] {
         auto search = record(kTypeVideo, kFlagStored, 3);
         search.requestId = 0x00120001;
         return search;
       }(),
       kPostAccepted},
  };
  for (const auto& row : rows) EXPECT_EQ(post(row.event), row.expected) << row.what;
  EXPECT_EQ(core_->counters.searchCancels.load(), 1u);
  EXPECT_EQ(core_->counters.searchesRequested.load(), 0u);
  EXPECT_TRUE(queued().empty());
  expectNoBlocks();
}

TEST_F(IntakeTest, SearchResultsFromOtherThreadsAreRefused) {
  for (uint32_t source : {kCoreAddress, kCamera}) {
    auto result = record(kTypeVideo, kFlagStored, source, "stored frame");
    result.requestId = 0x00120001;
    EXPECT_EQ(post(result), kPostRefused);
  }
  EXPECT_TRUE(queued().empty());
  expectNoBlocks();
}

TEST_F(IntakeTest, LiveLogRecordsAreFilteredWrittenAndQueued) {
  core_->logLevels[0x21] = 50;
  EXPECT_EQ(postLogText(49, "below"), kPostAccepted);
  EXPECT_EQ(postLogText(50, "equal"), kPostAccepted);
  EXPECT_EQ(postLogText(75, "quiet", kCamera, kFlagLive), kPostAccepted);  // queued, not written
  EXPECT_EQ(postLogText(75, ""), kPostAccepted);
  // The level field counts only for a plain log type; with the modifier the level is 0.
  auto modified = record(kTypeLog | kTypeModifier, kFlagLive | kFlagLogWrite, kCamera, "mod");
  modified.level = 100;
  EXPECT_EQ(post(modified), kPostAccepted);
  // Stored log records skip the log intake entirely.
  auto stored = record(kTypeLog, kFlagStored, kCamera, "stored");
  stored.level = 0;
  EXPECT_EQ(post(stored), kPostAccepted);

  const auto queue = queued();
  ASSERT_EQ(queue.size(), 3u);
  EXPECT_EQ(std::string(static_cast<const char*>(queue[0].data), queue[0].length), "equal");
  EXPECT_EQ(std::string(static_cast<const char*>(queue[1].data), queue[1].length), "quiet");
  EXPECT_EQ(std::string(static_cast<const char*>(queue[2].data), queue[2].length), "stored");
  const auto lines = logLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("equal"), std::string::npos);
  for (const auto& entry : queue) core_->releaseRef(entry.data, 0);
  core_->queue.eventQueue.clear();
}

TEST_F(IntakeTest, ALineThatCannotBeWrittenIsLostButTheRecordGoesOn) {
  const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(full, 0);
  ::dup2(full, logFd_);
  ::close(full);
  EXPECT_EQ(postLogText(50, "lost line"), kPostAccepted);
  ASSERT_EQ(queued().size(), 1u);
  core_->releaseRef(queued()[0].data, 0);
  core_->queue.eventQueue.clear();
}

TEST_F(IntakeTest, AfterAStopOnlyRequestsAndTheLogPluginAreServed) {
  auto& logHooks = newHooks();
  std::vector<const EventParms*> handedOver;
  logHooks.event = [&](const EventParms& event) {
    handedOver.push_back(&event);
    return 1;  // ignored: the log plugin may not keep the poster's record
  };
  core_->logPlugin = addHookPlugin("hook_search", logHooks);
  core_->plugins.clear();

  EXPECT_EQ(postFrame(true), kPostAccepted);
  const void* held = queued().at(0).data;
  core_->addRef(const_cast<void*>(held), 0x21);  // a plugin keeps the frame
  core_->requestStop();

  EXPECT_EQ(postFrame(true), kPostRefused);
  EXPECT_EQ(post(record(kTypeAlarm, kFlagLive, kCamera, "<a/>")), kPostRefused);
  auto log = record(kTypeLog, kFlagLive | kFlagLogWrite, kCamera, "stopping");
  log.level = 50;
  EXPECT_EQ(post(log), kPostRefused);
  ASSERT_EQ(handedOver.size(), 1u);
  EXPECT_EQ(handedOver[0]->data, log.data);  // the poster's own payload, no block
  EXPECT_EQ(logLines().size(), 1u);
  auto below = record(kTypeLog, kFlagLive, kCamera, "below");
  below.level = 0;
  EXPECT_EQ(post(below), kPostRefused);  // filtered records answer 1 while stopping
  EXPECT_EQ(handedOver.size(), 1u);

  // decref still releases.
  auto decref = record(kTypeDecref, 0, 0x00210009);
  decref.data = const_cast<void*>(held);
  EXPECT_EQ(post(decref), kPostAccepted);
  EXPECT_EQ(core_->counters.heldRefs[0x21].load(), 0);
  EXPECT_EQ(queued().size(), 1u);
  core_->releaseRef(const_cast<void*>(held), 0);
  core_->queue.eventQueue.clear();
  expectNoBlocks();
}

TEST_F(IntakeTest, VideoWaitsForAKeyFrameAndDropsOverlongGops) {
  EXPECT_EQ(postFrame(false), kPostDropNoKeyFrame);  // first frame of a new source
  EXPECT_EQ(postFrame(true), kPostAccepted);
  for (int i = 1; i < 1050; ++i) ASSERT_EQ(postFrame(false), kPostAccepted) << i;
  EXPECT_EQ(postFrame(false), kPostDropLongGop);  // frame 1051 of the GOP
  // The counter saturates: an endless GOP stays dropped instead of wrapping back to accepted.
  for (int i = 0; i < 40000; ++i) ASSERT_EQ(postFrame(false), kPostDropLongGop) << i;
  EXPECT_EQ(postFrame(true), kPostAccepted);  // the next key frame restarts the count
  EXPECT_EQ(postFrame(false), kPostAccepted);

  // Sources are counted apart; output frames and audio need no key frame.
  EXPECT_EQ(postFrame(false, kTypeVideo, kCamera + 1), kPostDropNoKeyFrame);
  auto output = record(kTypeVideo, kFlagLive, kCamera + 2, "out");
  output.frameFlags = kFrameFlagOutput;
  EXPECT_EQ(post(output), kPostAccepted);
  EXPECT_EQ(postFrame(false, kTypeAudio, kCamera + 3), kPostAccepted);
  // Only live records of the plain media types are gated.
  EXPECT_EQ(postFrame(false, kTypeVideo | kTypeModifier, kCamera + 4), kPostAccepted);
  auto stored = record(kTypeVideo, kFlagStored, kCamera + 5, "x");
  EXPECT_EQ(post(stored), kPostAccepted);

  core_->maxGopLen = 765;
  EXPECT_EQ(postFrame(true, kTypeVideo, kCamera + 6), kPostAccepted);
  for (int i = 1; i < 765; ++i) ASSERT_EQ(postFrame(false, kTypeVideo, kCamera + 6), 0);
  EXPECT_EQ(postFrame(false, kTypeVideo, kCamera + 6), kPostDropLongGop);

  for (const auto& entry : queued()) core_->releaseRef(entry.data, 0);
  core_->queue.eventQueue.clear();
  expectNoBlocks();
}

TEST_F(IntakeTest, ThrottlingDropsLiveMediaUntilVideoSeesAKeyFrame) {
  EXPECT_EQ(postFrame(true), kPostAccepted);
  core_->throttling = true;
  EXPECT_EQ(postFrame(true), kPostDropThrottled);
  EXPECT_EQ(postFrame(false), kPostDropThrottled);
  EXPECT_EQ(postFrame(false, kTypeAudio), kPostDropThrottled);
  EXPECT_EQ(postFrame(false, kTypeVideo | kTypeModifier), kPostAccepted);  // the modifier bypasses
  EXPECT_EQ(post(record(kTypeAlarm, kFlagLive, kCamera, "<a/>")), kPostAccepted);
  EXPECT_EQ(core_->counters.throttledVideo.load(), 2u);
  EXPECT_EQ(core_->counters.throttledAudio.load(), 1u);

  core_->throttling = false;
  EXPECT_EQ(postFrame(false, kTypeAudio), kPostAccepted);  // audio resumes at once
  EXPECT_EQ(postFrame(false), kPostDropNoKeyFrame);        // video at its next key frame
  EXPECT_EQ(postFrame(true), kPostAccepted);
  EXPECT_EQ(postFrame(false), kPostAccepted);

  for (const auto& entry : queued()) core_->releaseRef(entry.data, 0);
  core_->queue.eventQueue.clear();
}

// A payload said to be longer than a block can count is refused before any allocation, and so is
// a length with nothing behind it.
TEST_F(IntakeTest, PayloadsThatCannotMakeABlockAreRefused) {
  char byte = 'x';
  auto event = record(kTypeAlarm, kFlagLive, kCamera, "x");
  event.data = &byte;
  for (const uint32_t length : {0xFFFFFFF8u, 0xFFFFFFFFu}) {
    event.length = length;
    EXPECT_EQ(core_->queueEvent(event), kPostRefused) << length;
  }
  event.data = nullptr;
  event.length = 5;
  EXPECT_EQ(core_->queueEvent(event), kPostRefused);
  EXPECT_TRUE(queued().empty());
  expectNoBlocks();
}

TEST_F(IntakeTest, TheQueueIsBoundedByRecordsAndBytes) {
  core_->logLevels[0] = 0;
  const auto alarm = record(kTypeAlarm, kFlagLive, kCamera, "a");
  for (size_t i = 0; i < EventQueue::kMaxQueuedRecords; ++i) ASSERT_EQ(post(alarm), kPostAccepted);
  EXPECT_EQ(post(alarm), kPostRefused);
  EXPECT_EQ(post(alarm), kPostRefused);
  EXPECT_EQ(linesWith("core\033[0m event queue full"), 1u);  // once, when the run starts
  // The core's own documents still pass.
  core_->publishMemoryDocument();
  EXPECT_EQ(core_->queue.eventQueue.size(), EventQueue::kMaxQueuedRecords + 1);
  EXPECT_EQ(core_->queue.eventQueue.back().source, kCoreAddress);

  popQueued();
  popQueued();
  EXPECT_EQ(post(alarm), kPostAccepted);
  EXPECT_EQ(linesWith("event queue full: 2 posts refused"), 1u);
  while (popQueued()) continue;

  // Bytes: a payload that would take the queue past its bound waits for room like any other.
  const std::string big(EventQueue::kMaxQueuedBytes / 2, 'b');
  const auto large = record(kTypeAlarm, kFlagLive, kCamera, big);
  EXPECT_EQ(post(large), kPostAccepted);
  EXPECT_EQ(post(large), kPostAccepted);
  EXPECT_EQ(post(alarm), kPostRefused);
  popQueued();
  EXPECT_EQ(post(alarm), kPostAccepted);
  while (popQueued()) continue;
  expectNoBlocks();
}

TEST_F(IntakeTest, ReferencesReturnToZeroWhenEveryHolderReleases) {
  EXPECT_EQ(post(record(kTypeAlarm, kFlagLive, kCamera, std::string(1000, 'x'))), kPostAccepted);
  void* data = queued().at(0).data;
  core_->queue.eventQueue.clear();

  // Four plugins take and give back references at the same time, one keeps a reference.
  core_->addRef(data, 0x30);
  std::vector<std::thread> holders;
  for (uint32_t slot = 0x31; slot < 0x35; ++slot) {
    holders.emplace_back([this, data, slot] {
      for (int i = 0; i < 2000; ++i) {
        core_->addRef(data, slot);
        core_->releaseRef(data, slot);
      }
    });
  }
  for (auto& holder : holders) holder.join();
  EXPECT_EQ(refBlockOf(data)->count.load(), 2u);
  EXPECT_EQ(core_->counters.heldRefs[0x30].load(), 1);
  core_->releaseRef(data, 0);  // the queue's reference goes first
  EXPECT_EQ(core_->counters.refblkCount.load(), 1u);
  auto decref = record(kTypeDecref, 0, makeAddress(0x30));
  decref.data = data;
  EXPECT_EQ(post(decref), kPostAccepted);  // the last holder frees the block
  expectNoBlocks();
}

// A posting thread cancelled inside the post function (in the log write, a cancellation point)
// unwinds through it: the process goes on, and no lock is left held.
TEST_F(IntakeTest, AThreadCancelledInsideThePostUnwindsThroughIt) {
  struct Poster {
    EventParms log;
    std::atomic<bool> posting{false};
  };
  const auto run = [](void* arg) -> void* {
    auto* poster = static_cast<Poster*>(arg);
    for (;;) {
      EventParms log = poster->log;
      postEvent(&log);
      poster->posting.store(true);
    }
    return nullptr;
  };
  auto log = record(kTypeLog, kFlagLive | kFlagLogWrite, kCamera, "posting until cancelled");
  log.level = 50;
  for (int round = 0; round < 20; ++round) {
    Poster poster{log};
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, nullptr, run, &poster), 0);
    while (!poster.posting.load()) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::microseconds(200 * round));
    pthread_cancel(thread);
    void* result = nullptr;
    pthread_join(thread, &result);
    EXPECT_EQ(result, PTHREAD_CANCELED);
  }
  // The log and queue locks were let go on the way out.
  EXPECT_EQ(postLogText(50, "still writing"), kPostAccepted);
  EXPECT_NE(logLines().back().find("still writing"), std::string::npos);
  std::lock_guard lock(core_->queue.queueMutex);
  for (const auto& entry : core_->queue.eventQueue) core_->releaseRef(entry.data, 0);
  core_->queue.eventQueue.clear();
}

// A stop racing a poster: either the dispatch loop still delivers a record or the post is
// refused. The payload is large, so that most stops come while a post is copying it.
TEST_F(IntakeTest, EveryRecordAcceptedBeforeAStopIsDelivered) {
  const std::string payload(256 * 1024, 'a');
  for (int round = 0; round < 20; ++round) {
    if (round > 0) newCore();
    std::atomic<uint32_t> delivered{0};
    auto& hooks = newHooks();
    hooks.load = [](LoadReply& reply) {
      reply.address = makeAddress(0x31);
      reply.alarmSub = kSubLive;
    };
    hooks.event = [&delivered](const EventParms&) {
      delivered.fetch_add(1);
      return 0;
    };
    addHookPlugin("hook_search", hooks);
    std::atomic<uint32_t> accepted{0};
    std::thread poster([&] {
      while (post(record(kTypeAlarm, kFlagLive, kCamera, payload)) == kPostAccepted) {
        accepted.fetch_add(1);
      }
    });
    std::thread stopper([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(2 + round % 5));
      core_->requestStop();
    });
    core_->dispatchLoop();
    stopper.join();
    poster.join();
    EXPECT_EQ(delivered.load(), accepted.load()) << "round " << round;
    EXPECT_TRUE(queued().empty()) << "round " << round;
    expectNoBlocks();
  }
}

// A stray plugin thread that posts after the core is gone is refused.
TEST_F(IntakeTest, WithoutACoreThePostRefuses) {
  gCore = nullptr;
  EXPECT_EQ(post(record(kTypeAlarm, kFlagLive, kCamera, "<a/>")), kPostRefused);
  gCore = core_.get();
}

// The teardown takes the log plugin down last, and `logPlugin` names it until it is unloaded: a
// log record posted while it closes (the core is stopping) is still handed to it.
TEST_F(IntakeTest, TheTeardownStillFeedsTheLogPluginWhileItCloses) {
  auto& logHooks = newHooks();
  std::vector<std::string> seen;
  logHooks.event = [&seen](const EventParms& event) {
    if (event.type == kTypeLog)
      seen.emplace_back(static_cast<const char*>(event.data), event.length);
    return 0;
  };
  logHooks.close = [&logHooks] {
    auto log = record(kTypeLog, kFlagLive, makeAddress(0x7F), "closing");
    log.level = 50;
    logHooks.post(&log);
  };
  core_->logPlugin = addHookPlugin("hook_search", logHooks);
  core_->plugins.clear();
  core_.reset();
  EXPECT_EQ(seen, std::vector<std::string>{"closing"});
}

}  // namespace
}  // namespace kv::core
