// A test plugin for the test kit: its worker (IOCTL code 1) reports its start, waits for Close,
// then goes on posting for a while before it returns; its Unload reports whether the worker was
// still running. A host that called Unload without joining the worker first would see it running.
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "plugins/PluginEntry.h"

using namespace kv::core;

namespace {

constexpr uint32_t kAddress = makeAddress(0x35);
// Posts the worker makes after Close before it returns: long enough to still run when an Unload
// that did not wait for it came.
constexpr int kPostsAfterClose = 2000;

PostEventFn post = nullptr;
std::mutex mutex;
std::condition_variable wake;
bool closed = false;
std::atomic<bool> workerRunning{false};

void report(const char* text) {
  EventParms record = makeEventRecord(kTypeAlarm, kFlagLive, kAddress, text, std::strlen(text));
  post(&record);
}

}  // namespace

KV_PLUGIN_EXPORT int Load(const LoadRequest* request, LoadReply* reply) {
  post = request->postEvent;
  closed = false;
  reply->address = kAddress;
  reply->provideWorkerThread = 1;
  return 0;
}

KV_PLUGIN_EXPORT int Unload(const UnloadRequest*, UnloadReply*) {
  report(workerRunning.load() ? "unload: worker running" : "unload: worker ended");
  return 0;
}

KV_PLUGIN_EXPORT int Open(const OpenRequest*, OpenReply*) {
  return 0;
}

KV_PLUGIN_EXPORT int Close(const CloseRequest*, CloseReply*) {
  std::lock_guard lock(mutex);
  closed = true;
  wake.notify_all();
  return 0;
}

KV_PLUGIN_EXPORT int IOCTL(const IoctlRequest* request, IoctlReply*) {
  if (request->code != kIoctlRunWorker) return 0;
  workerRunning.store(true);
  report("worker started");
  {
    std::unique_lock lock(mutex);
    wake.wait(lock, [] { return closed; });
  }
  for (int i = 0; i < kPostsAfterClose; ++i) report("worker draining");
  workerRunning.store(false);
  return 0;
}
