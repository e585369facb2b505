// Recorder: a recorder in memory, plugin ID 0x11. It keeps the newest live video and audio frames
// and the newest alarm documents, and serves them back to searches as stored events. It shows the
// two ways of keeping a payload: holding the core's reference (frames: OnEvent returns 1, and a
// "decref" record gives the reference back) and copying it (alarms: OnEvent returns 0).
//
// Searches: a request of type video, audio or alarm gets the kept records of that type, oldest
// first; "max=N" in the query text limits it to the newest N (common/SearchWalk.h).
// Supervisor packets addressed to the plugin are answered with its statistics as text:
//   frames=123 held=45 alarms=6 searches=2 results=80
//
// Settings, optional, in "<library path>.conf" beside the plugin (Recorder.so.conf):
//   ring=N    frames to keep (default 200)
//
// Threads: OnEvent on the core's dispatch thread, OnSearch on a search thread per request (several
// at once), OnIpcResult on the core's I/O thread, Open and Close on its first thread. One mutex
// guards the kept frames and alarms; it is never held while posting, because a result post waits
// until the requester has released the previous result.
#include <atomic>
#include <cstdio>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/FrameRing.h"
#include "common/IpcPacket.h"
#include "common/PluginSettings.h"
#include "common/SearchWalk.h"
#include "plugins/EntryGuard.h"
#include "plugins/PluginEntry.h"

using namespace kv::core;
using namespace kv::samples;

namespace {

constexpr uint32_t kRecorderId = 0x11;
constexpr size_t kAlarmsKept = 32;

class Recorder {
 public:
  Recorder(PostEventFn post, size_t ringSize) : post_(post), frames_(ringSize) {}

  static uint32_t address() { return makeAddress(kRecorderId); }

  // Dispatch thread. Returns 1 when the frame's reference is kept.
  int onEvent(const EventParms& event) {
    if ((event.flags & kFlagLive) == 0 || event.data == nullptr || event.length == 0) return 0;
    const uint32_t type = maskedType(event.type);
    if (type == kTypeAlarm) {
      keepAlarm(event);
      return 0;
    }
    if (type != kTypeVideo && type != kTypeAudio) return 0;
    const void* release = nullptr;
    {
      std::lock_guard lock(mutex_);
      if (closed_) return 0;
      release = frames_.push({event.data, event.length, type, event.frameKind});
    }
    // Relaxed: a statistics counter, read only for reports.
    framesSeen_.fetch_add(1, std::memory_order_relaxed);
    giveBack(release);
    return 1;
  }

  // Search thread.
  void onSearch(const EventParms& request) {
    const uint32_t type = maskedType(request.type);
    if (type != kTypeVideo && type != kTypeAudio && type != kTypeAlarm) return;
    searches_.fetch_add(1, std::memory_order_relaxed);  // relaxed: statistics
    const size_t max = maxResults({static_cast<const char*>(request.data), request.length},
                                  std::numeric_limits<size_t>::max());
    const size_t posted = type == kTypeAlarm ? postAlarms(request, max) : postFrames(request, max);
    results_.fetch_add(posted, std::memory_order_relaxed);  // relaxed: statistics
  }

  // I/O thread: any packet addressed to this plugin asks for the statistics.
  void onIpc(const void* packet, uint32_t length) {
    IpcHeader header{};
    if (!readIpcPacket(packet, length, header)) return;
    const std::vector<uint8_t> answer = makeIpcPacket(header.route, header.type, statistics());
    EventParms event = makeEventRecord(kTypeIpc, 0, address(), answer.data(), answer.size());
    post_(&event);  // 1 when the supervisor pipe is gone: nobody left to answer
  }

  // First thread. Gives back every kept reference; frames a running search has pinned come back
  // when it unpins them.
  void close() {
    std::vector<const void*> release;
    {
      std::lock_guard lock(mutex_);
      closed_ = true;
      release = frames_.clear();
      alarms_.clear();
    }
    for (const void* data : release) giveBack(data);
  }

 private:
  void keepAlarm(const EventParms& event) {
    std::lock_guard lock(mutex_);
    alarms_.emplace_back(static_cast<const char*>(event.data), event.length);
    if (alarms_.size() > kAlarmsKept) alarms_.pop_front();
    alarmsSeen_.fetch_add(1, std::memory_order_relaxed);  // relaxed: statistics
  }

  size_t postFrames(const EventParms& request, size_t max) {
    std::vector<StoredFrame> pinned;
    {
      std::lock_guard lock(mutex_);
      if (closed_) return 0;
      pinned = frames_.pin(maskedType(request.type), max);
    }
    const size_t posted = walkResults(
        pinned.size(),
        [&](size_t i) {
          // The core copies the payload; the pin keeps it alive until then.
          EventParms result = makeEventRecord(pinned[i].type, kFlagStored, address(),
                                              pinned[i].data, pinned[i].length);
          result.requestId = request.requestId;
          result.frameKind = pinned[i].frameKind;
          return post_(&result);
        },
        [&] { return cancelled(request.requestId); });
    std::vector<const void*> release;
    {
      std::lock_guard lock(mutex_);
      for (const StoredFrame& frame : pinned) {
        if (const void* data = frames_.unpin(frame.data)) release.push_back(data);
      }
    }
    for (const void* data : release) giveBack(data);
    return posted;
  }

  size_t postAlarms(const EventParms& request, size_t max) {
    std::vector<std::string> alarms;  // a copy: the dispatch thread goes on replacing them
    {
      std::lock_guard lock(mutex_);
      if (closed_) return 0;
      const size_t first = alarms_.size() > max ? alarms_.size() - max : 0;
      alarms.assign(alarms_.begin() + static_cast<std::ptrdiff_t>(first), alarms_.end());
    }
    return walkResults(
        alarms.size(),
        [&](size_t i) {
          EventParms result = makeEventRecord(kTypeAlarm, kFlagStored, address(), alarms[i].data(),
                                              alarms[i].size());
          result.requestId = request.requestId;
          return post_(&result);
        },
        [&] { return cancelled(request.requestId); });
  }

  // Whether to stop a search: the requester cancelled it, or the plugin is closing (the core waits
  // for running searches before it unloads the plugin).
  bool cancelled(uint32_t requestId) {
    {
      std::lock_guard lock(mutex_);
      if (closed_) return true;
    }
    EventParms query = makeEventRecord(kTypeCancel, kFlagQuery, address());
    query.requestId = requestId;
    return post_(&query) != 0;
  }

  // Hands a kept reference back to the core.
  void giveBack(const void* data) {
    if (data == nullptr) return;
    EventParms decref = makeEventRecord(kTypeDecref, 0, address(), data);
    post_(&decref);
  }

  std::string statistics() {
    size_t held = 0;
    {
      std::lock_guard lock(mutex_);
      held = frames_.size();
    }
    char text[160];
    const int length = std::snprintf(
        text, sizeof text, "frames=%llu held=%zu alarms=%llu searches=%llu results=%llu",
        static_cast<unsigned long long>(framesSeen_.load(std::memory_order_relaxed)), held,
        static_cast<unsigned long long>(alarmsSeen_.load(std::memory_order_relaxed)),
        static_cast<unsigned long long>(searches_.load(std::memory_order_relaxed)),
        static_cast<unsigned long long>(results_.load(std::memory_order_relaxed)));
    return std::string(text, static_cast<size_t>(length));
  }

  PostEventFn post_;
  std::mutex mutex_;
  FrameRing frames_;                // guarded by mutex_
  std::deque<std::string> alarms_;  // guarded by mutex_; newest last
  bool closed_ = false;             // guarded by mutex_
  std::atomic<uint64_t> framesSeen_{0};
  std::atomic<uint64_t> alarmsSeen_{0};
  std::atomic<uint64_t> searches_{0};
  std::atomic<uint64_t> results_{0};
};

std::unique_ptr<Recorder> recorder;  // lives from Load to Unload

}  // namespace

KV_PLUGIN_EXPORT int Load(const LoadRequest* request, LoadReply* reply) {
  return guardEntry(
      [&] {
        if (!loadRecordsFit(request, reply)) return 1;
        const auto settings =
            PluginSettings::load(libraryPathOf(reinterpret_cast<const void*>(&Load)) + ".conf");
        recorder =
            std::make_unique<Recorder>(request->postEvent, settings.number("ring", 200, 1, 100000));
        reply->address = Recorder::address();
        // Live frames and alarms in; stored ones served to searches.
        reply->videoSub = kSubLive | kSubStored;
        reply->audioSub = kSubLive | kSubStored;
        reply->alarmSub = kSubLive | kSubStored;
        reply->closeOrder = 10;  // before the log plugin (0), which then still logs our closing
        return 0;
      },
      1);
}

KV_PLUGIN_EXPORT int Unload(const UnloadRequest*, UnloadReply*) {
  recorder.reset();  // the core waited for our searches and IPC deliveries to end
  return 0;
}

KV_PLUGIN_EXPORT int Open(const OpenRequest*, OpenReply*) {
  return 0;
}

KV_PLUGIN_EXPORT int Close(const CloseRequest*, CloseReply*) {
  return guardEntry(
      [] {
        recorder->close();
        return 0;
      },
      0);
}

KV_PLUGIN_EXPORT int OnEvent(const EventParms* event) {
  return guardEntry([&] { return recorder->onEvent(*event); }, 0);
}

KV_PLUGIN_EXPORT int OnSearch(const EventParms* request) {
  return guardEntry(
      [&] {
        recorder->onSearch(*request);
        return 0;
      },
      0);
}

KV_PLUGIN_EXPORT int OnIpcResult(const void* packet, uint32_t length) {
  return guardEntry(
      [&] {
        recorder->onIpc(packet, length);
        return 0;
      },
      0);
}
