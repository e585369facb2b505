// The camera simulator's frame schedule: key frame cadence, alarms, and the reaction to the core's
// drop codes.
#include "examples/common/FrameSource.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kv::samples {
namespace {

FrameSourceSettings settings(uint32_t gop, uint32_t backoffTicks = 4) {
  FrameSourceSettings s;
  s.fps = 10;
  s.gop = gop;
  s.alarmSeconds = 0;
  s.backoffTicks = backoffTicks;
  return s;
}

// The frame numbers that are key frames among the next `ticks` ticks, all posts accepted.
std::vector<uint32_t> keyFrames(FrameSource& source, int ticks) {
  std::vector<uint32_t> keys;
  for (int i = 0; i < ticks; ++i) {
    const FrameTick tick = source.next();
    if (tick.key) keys.push_back(tick.frame);
    source.onPostResult(kv::core::kPostAccepted);
  }
  return keys;
}

TEST(FrameSourceTest, AKeyFrameStartsTheStreamAndEveryGop) {
  const struct {
    uint32_t gop;
    std::vector<uint32_t> keys;
  } cases[] = {
      {1, {1, 2, 3, 4, 5, 6}},
      {4, {1, 5}},
      {25, {1}},
  };
  for (const auto& c : cases) {
    FrameSource source(settings(c.gop));
    EXPECT_EQ(keyFrames(source, 6), c.keys) << "gop " << c.gop;
  }
}

TEST(FrameSourceTest, DropsForMissingOrLongGopAskForAKeyFrameNext) {
  for (const int drop : {kv::core::kPostDropNoKeyFrame, kv::core::kPostDropLongGop}) {
    FrameSource source(settings(10));
    keyFrames(source, 3);       // frames 1 (key) to 3
    source.next();              // frame 4 ...
    source.onPostResult(drop);  // ... dropped
    const FrameTick tick = source.next();
    EXPECT_TRUE(tick.video) << drop;
    EXPECT_TRUE(tick.key) << drop;
    EXPECT_EQ(tick.frame, 5u) << drop;
    // The GOP restarts at the forced key frame.
    source.onPostResult(kv::core::kPostAccepted);
    EXPECT_EQ(keyFrames(source, 10), std::vector<uint32_t>{15}) << drop;
  }
}

TEST(FrameSourceTest, ThrottlingPausesTheStreamThenResumesWithAKeyFrame) {
  FrameSource source(settings(10, 3));
  keyFrames(source, 2);
  source.next();  // frame 3, throttled
  source.onPostResult(kv::core::kPostDropThrottled);
  std::string sent;
  for (int i = 0; i < 5; ++i) {
    const FrameTick tick = source.next();
    sent += !tick.video ? '-' : tick.key ? 'K' : 'P';
    source.onPostResult(kv::core::kPostAccepted);
  }
  EXPECT_EQ(sent, "---KP");
  EXPECT_EQ(source.framesSent(), 5u);  // numbering goes on without gaps
}

TEST(FrameSourceTest, AlarmsKeepTheirPaceThroughAPause) {
  FrameSourceSettings s = settings(10, 4);
  s.fps = 2;
  s.alarmSeconds = 3;  // every 6 ticks
  FrameSource source(s);
  std::vector<int> alarmTicks;
  for (int tick = 1; tick <= 18; ++tick) {
    const bool alarm = source.next().alarm;
    if (alarm) alarmTicks.push_back(tick);
    source.onPostResult(tick == 5 ? kv::core::kPostDropThrottled : kv::core::kPostAccepted);
  }
  EXPECT_EQ(alarmTicks, (std::vector<int>{6, 12, 18}));

  s.alarmSeconds = 0;
  FrameSource silent(s);
  for (int tick = 0; tick < 100; ++tick) EXPECT_FALSE(silent.next().alarm);
}

}  // namespace
}  // namespace kv::samples
