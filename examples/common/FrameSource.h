// The frame schedule of a live camera stream: which tick sends a frame, which frame is a key frame,
// when an alarm is due, and how the stream reacts to the core dropping its frames.
//
// The camera ticks `fps` times a second. Each tick normally sends one video frame; every `gop`-th
// frame is a key frame, counted from the last key frame. The core's media gate answers a post with
// a drop code, and the schedule follows it:
//   kPostDropNoKeyFrame, kPostDropLongGop: the core waits for a key frame, so the next frame is
//   one; kPostDropThrottled: the core is short of memory, so the stream pauses for `backoffTicks`
//   ticks (one second by default) and resumes with a key frame, which video needs after throttling.
// Alarms run on wall time: every `alarmSeconds` seconds of ticks, paused or not (0: no alarms).
//
// Thread safety: none; one stream is driven by one thread (the core's media gate expects a source
// to post its frames from one thread at a time anyway).
#pragma once

#include <cstdint>

#include "events/EventParms.h"

namespace kv::samples {

struct FrameSourceSettings {
  uint32_t fps = 25;           // ticks a second; REQUIRES > 0
  uint32_t gop = 25;           // frames from one key frame to the next; REQUIRES > 0
  uint32_t alarmSeconds = 5;   // 0: no alarms
  uint32_t backoffTicks = 25;  // ticks without frames after a throttling drop
};

// What one tick sends.
struct FrameTick {
  bool video = false;  // send a video frame (and its audio frame)
  bool key = false;    // that frame is a key frame
  uint32_t frame = 0;  // its number, counting sent frames from 1; else the last one sent
  bool alarm = false;  // send an alarm document
};

class FrameSource {
 public:
  explicit FrameSource(const FrameSourceSettings& settings)
      : settings_(settings), alarmTicks_(uint64_t{settings.alarmSeconds} * settings.fps) {}

  // Advances one tick and says what to send on it.
  FrameTick next() {
    FrameTick tick;
    ++ticks_;
    tick.alarm = alarmTicks_ != 0 && ticks_ % alarmTicks_ == 0;
    if (backoffLeft_ > 0) {
      --backoffLeft_;
      tick.frame = frame_;
      return tick;
    }
    tick.video = true;
    tick.key = needKey_ || sinceKey_ >= settings_.gop;
    if (tick.key) sinceKey_ = 0;
    needKey_ = false;
    ++sinceKey_;
    tick.frame = ++frame_;
    return tick;
  }

  // Feeds back the post result of the frame that next() last scheduled.
  void onPostResult(int result) {
    switch (result) {
      case kv::core::kPostDropNoKeyFrame:
      case kv::core::kPostDropLongGop: needKey_ = true; break;
      case kv::core::kPostDropThrottled:
        backoffLeft_ = settings_.backoffTicks;
        needKey_ = true;
        break;
      default: break;  // accepted, or refused because the core stops: nothing to change
    }
  }

  uint32_t framesSent() const { return frame_; }

 private:
  FrameSourceSettings settings_;
  uint64_t alarmTicks_;
  uint64_t ticks_ = 0;
  uint32_t frame_ = 0;
  uint32_t sinceKey_ = 0;  // frames since the last key frame, that one included
  bool needKey_ = true;    // a stream starts with a key frame
  uint32_t backoffLeft_ = 0;
};

}  // namespace kv::samples
