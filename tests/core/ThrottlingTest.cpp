// The memory watch through an injected memory reading and clock: limits, episodes, the lines and
// documents that report them, and the media gate while throttled.
#include <gtest/gtest.h>

#include "tests/support/CoreFixture.h"

namespace kv::core {
namespace {

constexpr int64_t kSecond = 1'000'000'000;
constexpr uint64_t kMiB = 1024 * 1024;

class FakeMemory : public MemorySystem {
 public:
  std::optional<std::string> statmText = "1000 100 50 10 0 200 0\n";
  std::optional<uint64_t> total = 256 * kMiB;
  std::optional<std::string> statm() override { return statmText; }
  uint64_t pageSize() override { return 4096; }
  uint64_t stackLimit() override { return 8 * kMiB; }
  std::optional<uint64_t> totalMemory() override { return total; }

  void resident(uint64_t bytes) { statmText = "9999 " + std::to_string(bytes / 4096) + " 1\n"; }
};

class ThrottlingTest : public test::CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    auto memory = std::make_unique<FakeMemory>();
    memory_ = memory.get();
    core_->memorySystem = std::move(memory);
    core_->steadyNanos = [this] { return now_; };
    core_->memoryLimits = determineMemoryLimits(*memory_);  // 190 MiB
  }

  // One check after `seconds`, with `mib` resident.
  void checkAfter(int64_t seconds, uint64_t mib) {
    now_ += seconds * kSecond;
    memory_->resident(mib * kMiB);
    core_->checkMemory();
  }

  std::vector<std::string> reports() {
    std::vector<std::string> texts;
    for (const auto& line : logLines()) {
      const auto at = line.find("available system memory");
      if (at != std::string::npos) texts.push_back(line.substr(at));
    }
    return texts;
  }

  size_t memoryDocuments() {
    size_t count = 0;
    for (const auto& entry : queued()) count += entry.type == kTypeAlarm;
    return count;
  }

  FakeMemory* memory_ = nullptr;
  int64_t now_ = 1000 * kSecond;
};

const std::string kLow = "available system memory is low, throttling audio/video";
const std::string kOk = "available system memory ok, not throttling audio/video";

TEST_F(ThrottlingTest, LimitsFollowTheSizeOfTheMachine) {
  EXPECT_EQ(determineMemoryLimits(*memory_).throttling, 199'229'440u);
  memory_->total = 1024 * kMiB;
  EXPECT_EQ(determineMemoryLimits(*memory_).throttling, 858'993'440u);
  memory_->total = 512 * kMiB;
  EXPECT_EQ(determineMemoryLimits(*memory_).throttling, 429'496'720u);
  memory_->total.reset();  // sysinfo failed
  EXPECT_EQ(determineMemoryLimits(*memory_).throttling, 199'229'440u);
  EXPECT_EQ(determineMemoryLimits(*memory_).stack, 8 * kMiB);

  EXPECT_EQ(memoryInUse(*memory_), 100u * 4096);
  memory_->statmText = "garbage";
  EXPECT_EQ(memoryInUse(*memory_), 0u);
  memory_->statmText.reset();
  EXPECT_EQ(memoryInUse(*memory_), 0u);

  // The first pulse determines the limits and reports them.
  memory_->total = 1024 * kMiB;
  core_->onPulse();
  const auto lines = logLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_TRUE(lines[0].ends_with("memory limits, throttling:819.2MiB stack:8MiB")) << lines[0];
}

TEST_F(ThrottlingTest, AnEpisodeIsReportedAtItsStartAndAMinuteAfterItsLastCheck) {
  checkAfter(1, 100);
  EXPECT_FALSE(core_->throttling.load());
  checkAfter(1, 200);  // over 190 MiB
  EXPECT_TRUE(core_->throttling.load());
  EXPECT_EQ(core_->lastMemoryInUse.load(), 200 * kMiB);
  checkAfter(1, 100);
  EXPECT_FALSE(core_->throttling.load());  // the gate follows every check at once
  checkAfter(58, 100);                     // 59 s after the over-limit check: not yet
  EXPECT_EQ(reports(), std::vector<std::string>{kLow});
  checkAfter(1, 100);  // 60 s
  EXPECT_EQ(reports(), (std::vector<std::string>{kLow, kOk}));
  checkAfter(100, 100);
  EXPECT_EQ(reports().size(), 2u);
  EXPECT_EQ(memoryDocuments(), 2u);
}

TEST_F(ThrottlingTest, AnOverLimitCheckWhileRecoveringExtendsTheEpisode) {
  checkAfter(1, 200);
  checkAfter(30, 100);
  checkAfter(1, 200);
  checkAfter(59, 100);
  EXPECT_EQ(reports(), std::vector<std::string>{kLow});
  EXPECT_EQ(memoryDocuments(), 1u);
  checkAfter(1, 100);
  EXPECT_EQ(reports(), (std::vector<std::string>{kLow, kOk}));
}

TEST_F(ThrottlingTest, SwitchedOffByConfigurationNothingHappens) {
  core_->throttleEnabled = false;
  checkAfter(1, 500);
  checkAfter(100, 10);
  EXPECT_FALSE(core_->throttling.load());
  EXPECT_TRUE(reports().empty());
  EXPECT_EQ(memoryDocuments(), 0u);
}

TEST_F(ThrottlingTest, WhileThrottledLiveMediaIsDroppedAtTheGate) {
  auto video = record(kTypeVideo, kFlagLive, makeAddress(0x21, 1), "frame");
  video.frameKind = kFrameKindKey;
  auto audio = record(kTypeAudio, kFlagLive, makeAddress(0x21, 2), "sound");
  EXPECT_EQ(postEvent(&video), kPostAccepted);
  checkAfter(1, 200);
  EXPECT_EQ(postEvent(&video), kPostDropThrottled);
  EXPECT_EQ(postEvent(&audio), kPostDropThrottled);
  checkAfter(1, 100);
  EXPECT_EQ(postEvent(&audio), kPostAccepted);  // audio resumes at once
  video.frameKind = 0;
  EXPECT_EQ(postEvent(&video), kPostDropNoKeyFrame);  // video at its next key frame
  video.frameKind = kFrameKindKey;
  EXPECT_EQ(postEvent(&video), kPostAccepted);
}

}  // namespace
}  // namespace kv::core
