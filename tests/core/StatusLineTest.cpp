// The three-line status record: its exact text, the top holders, the memory change, and the
// minute that every record covers.
#include <gtest/gtest.h>

#include "tests/support/CoreFixture.h"

namespace kv::core {
namespace {

constexpr int64_t kMinute = 60'000'000'000;
constexpr uint32_t kMiB = 1024 * 1024;

class StatusLineTest : public test::CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    core_->steadyNanos = [this] { return now_; };
    context_.lastStatusPrint = now_ - kMinute;  // as the dispatch loop starts it
  }

  // The text of the record logged by the next tick, or "none".
  std::string tick() {
    const size_t before = queued().size();
    core_->statusTick(context_);
    const auto queue = queued();
    if (queue.size() == before) return "none";
    return {static_cast<const char*>(queue.back().data), queue.back().length};
  }

  void addPlugin(const std::string& fileName, uint32_t id) {
    auto& hooks = newHooks();
    hooks.load = [id](LoadReply& reply) { reply.address = makeAddress(id); };
    addHookPlugin("hook_search", hooks, fileName);
  }

  int64_t now_ = 100 * kMinute;
  DispatchContext context_;
};

TEST_F(StatusLineTest, TheRecordSaysWhatHappenedInTheMinute) {
  context_.queueLength = 3;
  context_.eventsDispatched = 12345;
  context_.idleSeconds = 7;
  context_.logDeliveryMicros = 1500;
  auto& c = core_->counters;
  c.throttledVideo = 1001;
  c.throttledAudio = 2;
  c.ipcMessagesQueued = 3;
  c.ipcPacketsDelivered = 4;
  c.ipcBytesDelivered = 204800;
  c.searchesRequested = 5;
  c.searchCancels = 1;
  c.searchResults = 1200;
  c.searchResultBytes = 4096;
  c.refblkCount = 2;
  c.refblkBytes = 1536000;
  c.heldRefs[0] = 1;
  c.heldRefs[0x21] = 1234;
  addPlugin("LogPI.so", 0x21);
  core_->lastMemoryInUse = 40 * kMiB;
  EXPECT_EQ(tick(),
            "InQ:3 events:12,345 idle:7s throttled[v:1,001 a:2]\n"
            "ltm:1,500us ipc[r:3 p:4 d:200KiB] srch[r:5 c:1 p:1,200 d:4,096]\n"
            "memory[inuse:40MiB +40MiB] refblks:2(1.47MiB) top: LogPI 1,234, Core 1");

  // Everything but the queue length and the references starts again from 0; the first record,
  // still queued, now holds a block of its own.
  now_ += kMinute;
  EXPECT_EQ(tick(),
            "InQ:3 events:0 idle:0s throttled[v:0 a:0]\n"
            "ltm:0us ipc[r:0 p:0 d:0] srch[r:0 c:0 p:0 d:0]\n"
            "memory[inuse:40MiB] refblks:3(1.47MiB) top: LogPI 1,234, Core 2");
}

TEST_F(StatusLineTest, AtMostOneRecordAMinute) {
  EXPECT_NE(tick(), "none");  // the first turn prints
  now_ += kMinute - 1;
  EXPECT_EQ(tick(), "none");
  now_ += 1;
  EXPECT_NE(tick(), "none");
}

TEST_F(StatusLineTest, TheFiveLargestHoldersInOrder) {
  const std::pair<uint32_t, int32_t> holders[] = {{0x31, 9}, {0x32, 5}, {0x33, 1}, {0x34, 8},
                                                  {0x35, 9}, {0x36, 7}, {0x37, 6}};
  for (const auto& [id, count] : holders) {
    core_->counters.heldRefs[id] = count;
    addPlugin("p" + std::to_string(id) + ".x.so", id);
  }
  core_->counters.heldRefs[0x40] = 1;  // no plugin has this ID
  const std::string record = tick();
  EXPECT_TRUE(record.ends_with("top: p49 9, p53 9, p52 8, p54 7, p55 6")) << record;

  for (auto& held : core_->counters.heldRefs) held = 0;
  now_ += kMinute;
  EXPECT_TRUE(tick().ends_with("top: ")) << "no holders";
}

TEST_F(StatusLineTest, TheMemoryChangeSinceTheLastRecord) {
  core_->lastMemoryInUse = 40 * kMiB;
  tick();
  now_ += kMinute;
  core_->lastMemoryInUse = 42 * kMiB;
  EXPECT_NE(tick().find("memory[inuse:42MiB +2MiB]"), std::string::npos);
  now_ += kMinute;
  core_->lastMemoryInUse = 41 * kMiB;
  EXPECT_NE(tick().find("memory[inuse:41MiB -1MiB]"), std::string::npos);
}

TEST_F(StatusLineTest, AboveLevel25NothingIsPrintedButTheMinuteStillEnds) {
  core_->logLevels[0] = 50;
  context_.eventsDispatched = 10;
  core_->counters.searchResults = 4;
  EXPECT_EQ(tick(), "none");
  EXPECT_EQ(context_.eventsDispatched, 0u);
  EXPECT_EQ(core_->counters.searchResults.load(), 0u);
}

}  // namespace
}  // namespace kv::core
