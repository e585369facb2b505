// LogPI: the log plugin. The core loads it itself from plugins/LogPI.so at start, before any other
// plugin, and offers it every live log record: the core's own lines and those of other plugins.
// Each record becomes one line of "korva.log" in the core's working directory:
//
//   80000000 Opening 10:CamSim
//   00120000 searches=3 results=120 bytes=98304 cancelled=1
//
// (the source address as 8 hex digits, then the text). The file rotates by size: korva.log.1 is
// the newest old file, and `keep` old files stay.
//
// Settings, optional, in "LogPI.so.conf" beside the plugin:
//   maxBytes=N  largest size of korva.log before it rotates (default 1048576)
//   keep=N      old files to keep (default 3)
//
// Threads: OnEvent runs on the core's dispatch thread, except while the core is stopping: then the
// core hands each log record over directly, on whatever thread posted it, several at once. Such a
// record is the poster's own, not a reference-counted copy, so OnEvent reads it during the call,
// never keeps it and always returns 0. One mutex guards the file.
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "common/PluginSettings.h"
#include "common/RotatingLog.h"
#include "plugins/EntryGuard.h"
#include "plugins/PluginEntry.h"

using namespace kv::core;
using namespace kv::samples;

namespace {

constexpr uint32_t kLogPluginId = 0x7e;
constexpr char kLogFile[] = "korva.log";
constexpr int kWarningLevel = 75;

class LogPlugin {
 public:
  LogPlugin(PostEventFn post, uint64_t maxBytes, unsigned keep)
      : post_(post), log_(kLogFile, maxBytes, keep) {}

  // Any thread, several at once while the core stops.
  void write(const EventParms& event) {
    // The core passes this plugin its own records too while stopping; writing those would loop.
    if (samePlugin(event.source, address())) return;
    const std::string_view text(static_cast<const char*>(event.data), event.length);
    const std::string line = formatLogLine(event.source, text);
    bool reportFailure = false;
    int error = 0;
    {
      std::lock_guard lock(mutex_);
      if (closed_) return;
      const bool written = log_.append(line);
      error = errno;
      // Report the first failure of a run of failures, not every lost line.
      reportFailure = !written && !failing_;
      failing_ = !written;
    }
    // Posted without the lock: while the core stops, the post comes straight back into write().
    if (reportFailure) warn("LogPI: cannot write " + log_.path() + ": " + std::strerror(error));
  }

  void close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    log_.close();
  }

  static uint32_t address() { return makeAddress(kLogPluginId); }

 private:
  // A line for the core's own log sink (standard output), which doesn't depend on this file.
  void warn(const std::string& text) {
    EventParms event =
        makeEventRecord(kTypeLog, kFlagLive | kFlagLogWrite, address(), text.data(), text.size());
    event.level = kWarningLevel;
    post_(&event);
  }

  PostEventFn post_;
  std::mutex mutex_;
  RotatingLog log_;       // guarded by mutex_
  bool failing_ = false;  // guarded by mutex_: the last append failed
  bool closed_ = false;   // guarded by mutex_
};

std::unique_ptr<LogPlugin> plugin;  // lives from Load to Unload

}  // namespace

KV_PLUGIN_EXPORT int Load(const LoadRequest* request, LoadReply* reply) {
  return guardEntry(
      [&] {
        if (!loadRecordsFit(request, reply)) return 1;
        const auto settings =
            PluginSettings::load(libraryPathOf(reinterpret_cast<const void*>(&Load)) + ".conf");
        plugin = std::make_unique<LogPlugin>(request->postEvent,
                                             settings.number("maxBytes", 1 << 20, 1024, 1u << 30),
                                             settings.number("keep", 3, 0, 99));
        reply->address = LogPlugin::address();
        reply->logSub = kSubLive;
        reply->closeOrder = 0;
        return 0;
      },
      1);  // a non-zero load code: the core refuses the plugin
}

KV_PLUGIN_EXPORT int Unload(const UnloadRequest*, UnloadReply*) {
  plugin.reset();
  return 0;
}

KV_PLUGIN_EXPORT int Open(const OpenRequest*, OpenReply*) {
  return 0;
}

KV_PLUGIN_EXPORT int Close(const CloseRequest*, CloseReply*) {
  return guardEntry(
      [] {
        plugin->close();
        return 0;
      },
      0);
}

KV_PLUGIN_EXPORT int OnEvent(const EventParms* event) {
  return guardEntry(
      [&] {
        // Only live log records with text are subscribed to; configuration events reach every
        // plugin.
        const bool liveLog = maskedType(event->type) == kTypeLog && (event->flags & kFlagLive) != 0;
        if (liveLog && event->data != nullptr && event->length > 0) plugin->write(*event);
        return 0;  // keep no reference: the payload may not even be a reference-counted copy
      },
      0);
}
