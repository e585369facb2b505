// A test plugin configured by a file beside it and reporting to a journal, so that many copies of
// it can be loaded by a real core, in-process or as the korvacore executable.
//
// "<its path>.conf" holds key=value lines (all optional):
//   address=N  closeOrder=N  worker=1 (ask for a worker thread)  loadSleepMs=N
//   record=1 (subscribe to alarms and keep the core's configuration and alarm documents)
//   thread=1 (run a thread of its own from Load to Unload; Load journals "pid <process ID>")
// Each entry call appends "<file name> <entry>" to "journal.txt" in the directory above the
// plugin's own (the executable's directory). With record=1 every document the core sends is
// appended to "<its path>.events" as "<type> <payload>". A packet from the supervisor is posted
// back as a configuration event whose payload is the packet's payload (a module-settings delta).
#include <dlfcn.h>

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

#include "plugins/IpcPacket.h"
#include "plugins/PluginEntry.h"

using namespace kv::core;

namespace {

std::string ownPath() {
  Dl_info info{};
  dladdr(reinterpret_cast<void*>(&Load), &info);
  return info.dli_fname != nullptr ? info.dli_fname : "";
}

std::string fileName(const std::string& path) {
  return path.substr(path.rfind('/') + 1);
}

void journal(const char* entry) {
  const std::string path = ownPath();
  const std::string dir = path.substr(0, path.rfind('/'));
  const std::string journalPath = dir.substr(0, dir.rfind('/')) + "/journal.txt";
  if (FILE* file = std::fopen(journalPath.c_str(), "a")) {
    std::fprintf(file, "%s %s\n", fileName(path).c_str(), entry);
    std::fclose(file);
  }
}

unsigned long setting(const char* key, unsigned long fallback) {
  std::ifstream conf(ownPath() + ".conf");
  std::string line;
  const std::string prefix = std::string(key) + "=";
  while (std::getline(conf, line)) {
    if (line.rfind(prefix, 0) == 0) return std::strtoul(line.c_str() + prefix.size(), nullptr, 0);
  }
  return fallback;
}

PostEventFn post = nullptr;
uint32_t address = 0;

// The plugin's own thread, started in Load: it waits for Unload.
std::thread ownThread;
std::mutex ownMutex;
std::condition_variable ownCond;
bool ownStop = false;

void startOwnThread() {
  ownStop = false;
  ownThread = std::thread([] {
    std::unique_lock lock(ownMutex);
    ownCond.wait(lock, [] { return ownStop; });
  });
  journal(("pid " + std::to_string(getpid())).c_str());
}

void stopOwnThread() {
  if (!ownThread.joinable()) return;
  {
    std::lock_guard lock(ownMutex);
    ownStop = true;
  }
  ownCond.notify_all();
  ownThread.join();
}

}  // namespace

KV_PLUGIN_EXPORT int Load(const LoadRequest* request, LoadReply* reply) {
  journal("Loading");
  post = request->postEvent;
  std::this_thread::sleep_for(std::chrono::milliseconds(setting("loadSleepMs", 0)));
  journal("Load");
  address = static_cast<uint32_t>(setting("address", makeAddress(0x40)));
  reply->address = address;
  if (setting("record", 0) != 0) reply->alarmSub = kSubLive;
  reply->closeOrder = static_cast<uint32_t>(setting("closeOrder", 0));
  reply->provideWorkerThread = setting("worker", 0) != 0 ? 1 : 0;
  if (setting("thread", 0) != 0) startOwnThread();
  return 0;
}
KV_PLUGIN_EXPORT int Unload(const UnloadRequest*, UnloadReply*) {
  stopOwnThread();
  journal("Unload");
  return 0;
}
KV_PLUGIN_EXPORT int Open(const OpenRequest*, OpenReply*) {
  journal("Open");
  return 0;
}
KV_PLUGIN_EXPORT int Close(const CloseRequest*, CloseReply*) {
  journal("Close");
  return 0;
}
KV_PLUGIN_EXPORT int IOCTL(const IoctlRequest* request, IoctlReply*) {
  if (request->code == kIoctlRunWorker) journal("Worker");
  return 0;
}

KV_PLUGIN_EXPORT int OnEvent(const EventParms* event) {
  if (event->source != kCoreAddress || setting("record", 0) == 0) return 0;
  if (FILE* file = std::fopen((ownPath() + ".events").c_str(), "a")) {
    std::fprintf(file, "%u %.*s\n", event->type, static_cast<int>(event->length),
                 static_cast<const char*>(event->data));
    std::fclose(file);
  }
  return 0;
}

KV_PLUGIN_EXPORT int OnIpcResult(const void* packet, uint32_t length) {
  if (length <= kIpcHeaderSize) return 0;
  std::string payload(static_cast<const char*>(packet) + kIpcHeaderSize, length - kIpcHeaderSize);
  EventParms event = makeEventRecord(kTypeConfig, kFlagLive | kFlagConfigDelta, address,
                                     payload.data(), payload.size());
  return post(&event);
}
