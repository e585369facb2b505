// A test plugin that records every call it receives by posting a trace record (CallTrace.h).
//
// The KV_TRACE_NO_* definitions remove entry points to build the variants the tests need, and
// KV_TRACE_LOAD_RESULT sets what Load returns. The system identifier text configures the rest:
//   address=N    LoadReply address word          keep=1       OnEvent returns 1
//   write=1      LoadReply acceptsWrite          keepwrite=1  Write sets the keep word
//   worker=1     LoadReply provideWorkerThread   handled=1    IOCTL code 2 sets the handled word
//   reader=1     LoadReply startAsyncReader      ipcsleep=MS  OnIpcResult/IOCTL 4 sleep MS first
//   unloadsleep=MS  Unload sleeps MS after reporting itself
// With worker=1 and reader=1 the IOCTL code 1 and the empty Read calls block until Close.
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "plugins/PluginEntry.h"
#include "tests/support/CallTrace.h"

#ifndef KV_TRACE_LOAD_RESULT
#define KV_TRACE_LOAD_RESULT 0
#endif

using namespace kv::core;

namespace {

struct Config {
  uint32_t address = makeAddress(0x42);
  bool keep = false;
  bool keepWrite = false;
  bool handled = false;
  bool write = false;
  bool worker = false;
  bool reader = false;
  int ipcSleepMs = 0;
  int unloadSleepMs = 0;
};

Config config;
PostEventFn post = nullptr;
std::mutex closedMutex;
std::condition_variable closedCond;
bool closed = false;

struct Part {
  const void* bytes;
  size_t length;
};

void trace(const char* name, std::initializer_list<Part> parts) {
  std::vector<uint8_t> payload(name, name + std::strlen(name) + 1);
  for (const Part& part : parts) {
    const auto* bytes = static_cast<const uint8_t*>(part.bytes);
    if (bytes != nullptr) payload.insert(payload.end(), bytes, bytes + part.length);
  }
  EventParms record =
      makeEventRecord(kv::test::kTraceType, 0, config.address, payload.data(), payload.size());
  post(&record);
}

void parseConfig(const std::string& text) {
  config = Config{};
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find(' ', pos);
    if (end == std::string::npos) end = text.size();
    const std::string word = text.substr(pos, end - pos);
    const size_t eq = word.find('=');
    if (eq != std::string::npos) {
      const std::string key = word.substr(0, eq);
      const unsigned long value = std::strtoul(word.c_str() + eq + 1, nullptr, 0);
      if (key == "address") config.address = static_cast<uint32_t>(value);
      if (key == "keep") config.keep = value != 0;
      if (key == "keepwrite") config.keepWrite = value != 0;
      if (key == "handled") config.handled = value != 0;
      if (key == "write") config.write = value != 0;
      if (key == "worker") config.worker = value != 0;
      if (key == "reader") config.reader = value != 0;
      if (key == "ipcsleep") config.ipcSleepMs = static_cast<int>(value);
      if (key == "unloadsleep") config.unloadSleepMs = static_cast<int>(value);
    }
    pos = end + 1;
  }
}

[[maybe_unused]] void waitUntilClosed() {
  std::unique_lock lock(closedMutex);
  closedCond.wait(lock, [] { return closed; });
}

[[maybe_unused]] void sleepForIpc() {
  std::this_thread::sleep_for(std::chrono::milliseconds(config.ipcSleepMs));
}

}  // namespace

KV_PLUGIN_EXPORT int Load(const LoadRequest* request, LoadReply* reply) {
  post = request->postEvent;
  parseConfig(std::string(request->systemId, request->systemIdLength));
  {
    std::lock_guard lock(closedMutex);
    closed = false;
  }
  trace("Load", {{request, sizeof *request}, {reply, sizeof *reply}});
  reply->address = config.address;
  reply->videoSub = kSubLive;
  reply->closeOrder = 0x1234;
  reply->acceptsWrite = config.write ? 1 : 0;
  reply->provideWorkerThread = config.worker ? 1 : 0;
  reply->startAsyncReader = config.reader ? 1 : 0;
  return KV_TRACE_LOAD_RESULT;
}

#ifndef KV_TRACE_NO_UNLOAD
KV_PLUGIN_EXPORT int Unload(const UnloadRequest* request, UnloadReply* reply) {
  trace("Unload", {{request, sizeof *request}, {reply, sizeof *reply}});
  std::this_thread::sleep_for(std::chrono::milliseconds(config.unloadSleepMs));
  return 0;
}
#endif

KV_PLUGIN_EXPORT int Open(const OpenRequest* request, OpenReply* reply) {
  trace("Open", {{request, sizeof *request}, {reply, sizeof *reply}});
  return 0;
}

#ifndef KV_TRACE_NO_CLOSE
KV_PLUGIN_EXPORT int Close(const CloseRequest* request, CloseReply* reply) {
  trace("Close", {{request, sizeof *request}, {reply, sizeof *reply}});
  {
    std::lock_guard lock(closedMutex);
    closed = true;
  }
  closedCond.notify_all();
  return 0;
}
#endif

#ifndef KV_TRACE_NO_ONEVENT
KV_PLUGIN_EXPORT int OnEvent(const EventParms* event) {
  trace("OnEvent", {{event, sizeof *event}});
  return config.keep ? 1 : 0;
}
#endif

#ifndef KV_TRACE_NO_ONSEARCH
KV_PLUGIN_EXPORT int OnSearch(const EventParms* request) {
  trace("OnSearch", {{request, sizeof *request}});
  return 0;
}
#endif

#ifndef KV_TRACE_NO_READ
KV_PLUGIN_EXPORT int Read(const ReadRequest* request, void* reply) {
  const bool nullReply = reply == nullptr;
  trace("Read", {{request, sizeof *request}, {&nullReply, sizeof nullReply}});
  if (request->data == nullptr && config.reader) waitUntilClosed();
  return 0;
}
#endif

#ifndef KV_TRACE_NO_WRITE
KV_PLUGIN_EXPORT int Write(const WriteRequest* request, WriteReply* reply) {
  trace("Write", {{request, sizeof *request}, {reply, sizeof *reply}});
  reply->keepReference = config.keepWrite ? 1 : 0;
  return 0;
}
#endif

#ifndef KV_TRACE_NO_ONIPC
KV_PLUGIN_EXPORT int OnIpcResult(const void* packet, uint32_t length) {
  trace("OnIpcResult", {{&length, sizeof length}, {packet, length}});
  sleepForIpc();
  trace("OnIpcResult done", {});
  return 0;
}
#endif

#ifndef KV_TRACE_NO_IOCTL
KV_PLUGIN_EXPORT int IOCTL(const IoctlRequest* request, IoctlReply* reply) {
  trace("IOCTL", {{request, sizeof *request}, {reply, sizeof *reply}});
  if (request->code == kIoctlRunWorker && config.worker) waitUntilClosed();
  if (request->code == kIoctlConfigEvent) reply->handled = config.handled ? 1 : 0;
  if (request->code == kIoctlIpcPacket) {
    sleepForIpc();
    trace("IOCTL done", {});
  }
  return 0;
}
#endif
