// Skeleton: a plugin to start from, with plugin ID 0x7A. `korva-new-plugin NAME ID` copies it
// under a name and an ID of your own, with its test and build files.
//
// It counts the live alarms it receives, logs each one, and answers any supervisor packet
// addressed to it with "alarms=N". Replace what it does and keep its shape:
//  - every entry point runs its body in guardEntry: nothing may be thrown out of an entry point;
//  - Load refuses a core whose records are shorter than this plugin's headers (loadRecordsFit);
//  - the plugin's state is one object, made in Load and destroyed in Unload;
//  - OnEvent runs on the core's first thread, which is also its dispatch thread, like Load, Open,
//    Close and Unload; OnIpcResult runs on the I/O thread, at the same time: hence the atomic.
#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "events/EventParms.h"
#include "plugins/EntryGuard.h"
#include "plugins/IpcPacket.h"
#include "plugins/PluginEntry.h"

using namespace kv::core;

namespace {

constexpr uint32_t kPluginId = 0x7A;

class Skeleton {
 public:
  explicit Skeleton(PostEventFn post) : post_(post) {}

  static constexpr uint32_t address() { return makeAddress(kPluginId); }

  // Dispatch thread. Returns 0: nothing is kept, so the core may free the payload.
  int onEvent(const EventParms& event) {
    if (maskedType(event.type) != kTypeAlarm || (event.flags & kFlagLive) == 0) return 0;
    // Relaxed: a counter, read only for the report.
    const uint64_t seen = alarms_.fetch_add(1, std::memory_order_relaxed) + 1;
    log(25, "alarm " + std::to_string(seen));
    return 0;
  }

  // I/O thread: any packet addressed to this plugin asks for the count.
  void onPacket(const void* packet, uint32_t length) {
    IpcHeader header;
    if (!readIpcPacket(packet, length, header)) return;
    const std::string text = "alarms=" + std::to_string(alarms_.load(std::memory_order_relaxed));
    std::vector<uint8_t> reply(kIpcHeaderSize + text.size());
    writeIpcHeader(reply.data(),
                   {static_cast<uint32_t>(reply.size()), header.route, header.type, 0});
    std::memcpy(reply.data() + kIpcHeaderSize, text.data(), text.size());
    EventParms ipc = makeEventRecord(kTypeIpc, 0, address(), reply.data(), reply.size());
    post_(&ipc);  // 1 when the supervisor is gone: nothing to do about it here
  }

 private:
  void log(int level, const std::string& text) {
    EventParms record =
        makeEventRecord(kTypeLog, kFlagLive | kFlagLogWrite, address(), text.data(), text.size());
    record.level = level;
    post_(&record);
  }

  const PostEventFn post_;
  std::atomic<uint64_t> alarms_{0};
};

std::unique_ptr<Skeleton> plugin;  // lives from Load to Unload

}  // namespace

KV_PLUGIN_EXPORT int Load(const LoadRequest* request, LoadReply* reply) {
  return guardEntry(
      [&] {
        if (!loadRecordsFit(request, reply)) return 1;
        plugin = std::make_unique<Skeleton>(request->postEvent);
        reply->address = Skeleton::address();
        reply->alarmSub = kSubLive;
        reply->closeOrder = 10;  // closed before the log plugin (0), which then logs our closing
        return 0;
      },
      1);
}

KV_PLUGIN_EXPORT int Unload(const UnloadRequest*, UnloadReply*) {
  plugin.reset();  // no entry point of ours runs any more
  return 0;
}

KV_PLUGIN_EXPORT int Open(const OpenRequest*, OpenReply*) {
  return 0;
}

KV_PLUGIN_EXPORT int Close(const CloseRequest*, CloseReply*) {
  return 0;
}

KV_PLUGIN_EXPORT int OnEvent(const EventParms* event) {
  return guardEntry([&] { return plugin->onEvent(*event); }, 0);
}

KV_PLUGIN_EXPORT int OnIpcResult(const void* packet, uint32_t length) {
  return guardEntry(
      [&] {
        plugin->onPacket(packet, length);
        return 0;
      },
      0);
}
