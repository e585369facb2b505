// CamSim: a camera simulator, plugin ID 0x10. It produces the live stream a real camera plugin
// would: video frames at a steady rate with a key frame every `gop` frames, an audio frame with
// each video frame, and now and then an alarm document. The payloads are fake bytes that carry the
// frame number. It shows how a producer runs on the worker thread the core lends it, and how it
// follows the drop codes of the core's media gate (common/FrameSource.h).
//
// Settings, optional, in "<library path>.conf" beside the plugin (CamSim.so.conf):
//   fps=N           frames a second (default 25)
//   gop=N           frames from one key frame to the next (default 25)
//   alarmSeconds=N  seconds between alarm documents, 0 for none (default 5)
//
// Threads: the worker runs in IOCTL code 1 on a core thread, from just after Load until Close;
// Open and Close run on the core's first thread and reach the worker through a mutex and a
// condition variable. Configuration events reach IOCTL as code 2 on the dispatch thread, because
// the plugin has no OnEvent; it doesn't keep them.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/FrameSource.h"
#include "common/PluginSettings.h"
#include "plugins/EntryGuard.h"
#include "plugins/PluginEntry.h"

using namespace kv::core;
using namespace kv::samples;

namespace {

constexpr uint32_t kCamSimId = 0x10;
// The camera's first (and only) stream: the media gate keeps its GOP state per source word.
constexpr uint32_t kStreamSource = makeAddress(kCamSimId, 1);
constexpr size_t kKeyFrameBytes = 720;
constexpr size_t kDeltaFrameBytes = 240;
constexpr size_t kAudioFrameBytes = 320;  // 40 ms of 8 kHz 8-bit audio, one per 25 fps frame

class CameraSimulator {
 public:
  CameraSimulator(PostEventFn post, const FrameSourceSettings& settings)
      : post_(post), settings_(settings) {}

  void open() {
    std::lock_guard lock(mutex_);
    opened_ = true;
    wake_.notify_all();
  }

  // Ends the worker's loop; the worker returns within one frame period at the latest.
  void close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    wake_.notify_all();
  }

  // The worker thread's whole body.
  void run() {
    using Clock = std::chrono::steady_clock;
    const auto period = std::chrono::microseconds(1'000'000 / settings_.fps);
    FrameSource source(settings_);
    std::unique_lock lock(mutex_);
    // The core starts the worker right after Load; frames posted before Open would only wait in
    // the core's queue.
    wake_.wait(lock, [this] { return opened_ || closed_; });
    auto due = Clock::now();
    while (!closed_) {
      lock.unlock();  // never hold the lock while posting: the core may block the post
      sendTick(source);
      lock.lock();
      due += period;
      // Behind by more than a second (a stalled system): start afresh instead of bursting frames.
      if (Clock::now() - due > std::chrono::seconds(1)) due = Clock::now();
      wake_.wait_until(lock, due, [this] { return closed_; });
    }
  }

 private:
  void sendTick(FrameSource& source) {
    const FrameTick tick = source.next();
    if (tick.video) {
      source.onPostResult(postVideo(tick));
      // Audio is throttled together with video; its result counts as much.
      source.onPostResult(postAudio(tick.frame));
    }
    if (tick.alarm) postAlarm(tick.frame);
  }

  int postVideo(const FrameTick& tick) {
    fillFrame(tick.key ? kKeyFrameBytes : kDeltaFrameBytes, tick.frame, tick.key ? 'K' : 'P');
    EventParms event =
        makeEventRecord(kTypeVideo, kFlagLive, kStreamSource, frame_.data(), frame_.size());
    // The gate reads the low two bits of the frame kind; anything else than "key" is a delta.
    event.frameKind = tick.key ? kFrameKindKey : 0;
    return post_(&event);
  }

  int postAudio(uint32_t frame) {
    fillFrame(kAudioFrameBytes, frame, 'A');
    EventParms event =
        makeEventRecord(kTypeAudio, kFlagLive, kStreamSource, frame_.data(), frame_.size());
    return post_(&event);
  }

  void postAlarm(uint32_t frame) {
    char document[96];
    const int length =
        std::snprintf(document, sizeof document,
                      "<?xml version=\"1.0\"?><Alarm Camera=\"1\" Motion=\"1\" Frame=\"%u\"/>",
                      static_cast<unsigned>(frame));
    EventParms event = makeEventRecord(kTypeAlarm, kFlagLive, kStreamSource, document,
                                       static_cast<size_t>(length));
    post_(&event);  // alarms pass the media gate; nothing to react to
  }

  // Fake media: a readable header with the frame number, then a pattern derived from it. The core
  // copies the payload during the post, so one buffer serves every frame.
  void fillFrame(size_t bytes, uint32_t frame, char kind) {
    frame_.assign(bytes, 0);
    const int header = std::snprintf(reinterpret_cast<char*>(frame_.data()), bytes,
                                     "CAMSIM %c frame=%u\n", kind, static_cast<unsigned>(frame));
    for (size_t i = static_cast<size_t>(header) + 1; i < bytes; ++i) {
      frame_[i] = static_cast<uint8_t>(frame * 31 + i);
    }
  }

  PostEventFn post_;
  FrameSourceSettings settings_;
  std::vector<uint8_t> frame_;  // worker thread only
  std::mutex mutex_;
  std::condition_variable wake_;
  bool opened_ = false;  // guarded by mutex_
  bool closed_ = false;  // guarded by mutex_
};

std::unique_ptr<CameraSimulator> camera;  // lives from Load to Unload

}  // namespace

KV_PLUGIN_EXPORT int Load(const LoadRequest* request, LoadReply* reply) {
  return guardEntry(
      [&] {
        if (!loadRecordsFit(request, reply)) return 1;
        const auto settings =
            PluginSettings::load(libraryPathOf(reinterpret_cast<const void*>(&Load)) + ".conf");
        FrameSourceSettings stream;
        stream.fps = settings.number("fps", 25, 1, 120);
        stream.gop = settings.number("gop", 25, 1, 600);
        stream.alarmSeconds = settings.number("alarmSeconds", 5, 0, 3600);
        stream.backoffTicks = stream.fps;  // one second without frames after a throttling drop
        camera = std::make_unique<CameraSimulator>(request->postEvent, stream);
        reply->address = makeAddress(kCamSimId);
        reply->closeOrder = 10;  // before the log plugin (0), which then still logs our closing
        reply->provideWorkerThread = 1;
        return 0;
      },
      1);
}

KV_PLUGIN_EXPORT int Unload(const UnloadRequest*, UnloadReply*) {
  camera.reset();  // the core joined the worker before calling Unload
  return 0;
}

KV_PLUGIN_EXPORT int Open(const OpenRequest*, OpenReply*) {
  return guardEntry(
      [] {
        camera->open();
        return 0;
      },
      0);
}

KV_PLUGIN_EXPORT int Close(const CloseRequest*, CloseReply*) {
  return guardEntry(
      [] {
        camera->close();
        return 0;
      },
      0);
}

KV_PLUGIN_EXPORT int IOCTL(const IoctlRequest* request, IoctlReply* reply) {
  return guardEntry(
      [&] {
        if (request->code == kIoctlRunWorker) camera->run();
        // Any other code (configuration events, IPC packets) is not used: leaving `handled` at 0
        // tells the core that no reference is kept.
        reply->handled = 0;
        return 0;
      },
      0);
}
