// A test plugin that posts search requests without pause from a thread it starts in Load and
// ends in Unload, and serves each search by returning at once: a plugin thread racing whatever the
// core's first thread does to its plugin list meanwhile.
#include <atomic>
#include <thread>

#include "plugins/PluginEntry.h"

using namespace kv::core;

namespace {

constexpr uint32_t kId = 0x7E;
PostEventFn post = nullptr;
std::atomic<bool> stopping{false};
std::thread poster;

void postSearches() {
  char query[] = "scan";
  for (uint32_t serial = 1; !stopping.load(); ++serial) {
    EventParms search = makeEventRecord(kTypeVideo, kFlagStored, 0, query, sizeof query);
    search.requestId = makeAddress(kId, serial & 0xFFFFu);
    post(&search);
  }
}

}  // namespace

KV_PLUGIN_EXPORT int Load(const LoadRequest* request, LoadReply* reply) {
  post = request->postEvent;
  reply->address = makeAddress(kId);
  stopping.store(false);
  poster = std::thread(postSearches);
  return 0;
}
KV_PLUGIN_EXPORT int Unload(const UnloadRequest*, UnloadReply*) {
  stopping.store(true);
  if (poster.joinable()) poster.join();
  return 0;
}
KV_PLUGIN_EXPORT int Open(const OpenRequest*, OpenReply*) {
  return 0;
}
KV_PLUGIN_EXPORT int Close(const CloseRequest*, CloseReply*) {
  return 0;
}
KV_PLUGIN_EXPORT int OnSearch(const EventParms*) {
  return 0;
}
