#include "plugins/Plugin.h"

#include <dlfcn.h>

#include <chrono>
#include <cstring>
#include <string>

namespace kv::core {
namespace {

int64_t steadyNanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// A record of type T with `size` and `version` set and every other byte zero.
template <typename T>
T makeRecord(uint32_t version = kRecordVersion) {
  T record;
  std::memset(&record, 0, sizeof record);
  record.size = sizeof(T);
  record.version = version;
  return record;
}

IoctlRequest makeIoctlRequest(uint32_t code, uint32_t length, const void* data) {
  auto request = makeRecord<IoctlRequest>();
  request.code = code;
  request.length = length;
  request.data = data;
  return request;
}

IoctlReply makeIoctlReply(uint32_t code) {
  auto reply = makeRecord<IoctlReply>();
  reply.code = code;
  return reply;
}

ReadRequest makeReadRequest(uint32_t length, const void* data, uint32_t requestId) {
  auto request = makeRecord<ReadRequest>();
  request.readMode = kReadModeDefault;
  request.length = length;
  request.data = data;
  request.requestId = requestId;
  return request;
}

WriteRequest makeWriteRequest(const EventParms& event) {
  auto request = makeRecord<WriteRequest>();
  request.length = event.length;
  request.data = event.data;
  request.source = event.source;
  request.requestId = event.requestId;
  request.type = event.type;
  request.flags = event.flags;
  std::memcpy(request.typeParms, &event.parmsSize, kEventTypeParmsSize);
  return request;
}

std::string lastComponent(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

Plugin::Plugin(std::string fileName, void* handle)
    : handle_(handle),
      reply_(makeRecord<LoadReply>(kLoadReplyVersion)),
      fileName_(std::move(fileName)) {}

std::shared_ptr<Plugin> Plugin::Create(const std::string& path, PostEventFn postEvent,
                                       const std::string& systemId) {
  void* handle = dlopen(path.c_str(), RTLD_NOW);
  std::shared_ptr<Plugin> plugin(new Plugin(lastComponent(path), handle));
  if (handle == nullptr) {
    const char* text = dlerror();
    plugin->loadCode_ = kLoadDlopenFailed;
    plugin->errorText_ = text != nullptr ? text : "unknown";
    return plugin;
  }
  plugin->load_.store(plugin->lookUp<LoadFn>(kEntryLoad), std::memory_order_release);
  plugin->unload_.store(plugin->lookUp<UnloadFn>(kEntryUnload), std::memory_order_release);
  if (plugin->load_.load(std::memory_order_relaxed) == nullptr ||
      plugin->unload_.load(std::memory_order_relaxed) == nullptr) {
    plugin->loadCode_ = kLoadMissingEntry;
    plugin->errorText_ = "missing Load()/Unload()";
    plugin->ReleaseLibrary();
    return plugin;
  }
  plugin->callLoad(postEvent, systemId);
  if (plugin->loadCode_ != 0) {
    plugin->errorText_ = "load code " + std::to_string(plugin->loadCode_);
    plugin->ReleaseLibrary();
    return plugin;
  }
  plugin->onIpcResult_.store(plugin->lookUp<OnIpcResultFn>(kEntryOnIpcResult),
                             std::memory_order_release);
  plugin->ioctl_.store(plugin->lookUp<IoctlFn>(kEntryIoctl), std::memory_order_release);
  return plugin;
}

void Plugin::callLoad(PostEventFn postEvent, const std::string& systemId) {
  auto request = makeRecord<LoadRequest>(kLoadRequestVersion);
  request.postEvent = postEvent;
  request.systemId = systemId.c_str();
  request.systemIdLength = static_cast<uint32_t>(systemId.size());
  const int64_t start = steadyNanos();
  loadCode_ = load_.load(std::memory_order_relaxed)(&request, &reply_);
  loadTime_ = steadyNanos() - start;
}

Plugin::~Plugin() {
  // The core closes and unloads every plugin explicitly on its first thread, so the last holder
  // (an I/O or search thread included) only frees memory. This catches a Plugin that was never
  // taken down, so that its threads and library don't outlive it.
  if (isLoaded() || readerThread_.joinable() || workerThread_.joinable()) {
    Close();
    Unload();
  }
}

void Plugin::Open() {
  if (open_.load(std::memory_order_relaxed) != nullptr) return;
  const auto open = lookUp<OpenFn>(kEntryOpen);
  const auto close = lookUp<CloseFn>(kEntryClose);
  if (open == nullptr || close == nullptr) {
    openCode_ = kOpenMissingEntry;
    errorText_ = "missing Open()/Close()";
    return;
  }
  // Release: a search or IPC thread that sees an entry sees the library it points into.
  onEvent_.store(lookUp<OnEventFn>(kEntryOnEvent), std::memory_order_release);
  onSearch_.store(lookUp<OnSearchFn>(kEntryOnSearch), std::memory_order_release);
  read_.store(lookUp<ReadFn>(kEntryRead), std::memory_order_release);
  write_.store(lookUp<WriteFn>(kEntryWrite), std::memory_order_release);
  close_.store(close, std::memory_order_release);
  open_.store(open, std::memory_order_release);

  auto request = makeRecord<OpenRequest>();
  auto reply = makeRecord<OpenReply>();
  const int64_t start = steadyNanos();
  open(&request, &reply);
  openTime_ = steadyNanos() - start;
  StartAsyncReaderIf();
}

void Plugin::Close() {
  if (const auto close = close_.load(std::memory_order_relaxed)) {
    auto request = makeRecord<CloseRequest>();
    auto reply = makeRecord<CloseReply>();
    close(&request, &reply);
  }
  // OnIpcResult and IOCTL stay bound: the reader and worker threads may still be inside the
  // library, which stays open until Unload has joined them.
  open_.store(nullptr, std::memory_order_release);
  close_.store(nullptr, std::memory_order_release);
  onEvent_.store(nullptr, std::memory_order_release);
  onSearch_.store(nullptr, std::memory_order_release);
  read_.store(nullptr, std::memory_order_release);
  write_.store(nullptr, std::memory_order_release);
}

void Plugin::Unload() {
  // Search threads are detached; none may still run in the library when it goes.
  WaitForSearches();
  if (readerThread_.joinable()) readerThread_.join();
  if (workerThread_.joinable()) workerThread_.join();
  // No packet or IOCTL call reaches the plugin once its Unload has begun: the entries are cleared
  // and deliveries in flight have returned before it is called.
  const auto unload = unload_.load(std::memory_order_relaxed);
  unbindAll();
  if (unload != nullptr) {
    auto request = makeRecord<UnloadRequest>();
    auto reply = makeRecord<UnloadReply>();
    unload(&request, &reply);
  }
  closeLibrary();
}

void Plugin::ReleaseLibrary() {
  unbindAll();
  closeLibrary();
}

void Plugin::unbindAll() {
  // Sequentially consistent stores: paired with the counting in callCounted, either a delivery
  // counted itself in before waitForDeliveries reads the count, or it reads a null entry.
  load_.store(nullptr);
  unload_.store(nullptr);
  onIpcResult_.store(nullptr);
  ioctl_.store(nullptr);
  open_.store(nullptr);
  close_.store(nullptr);
  onEvent_.store(nullptr);
  onSearch_.store(nullptr);
  read_.store(nullptr);
  write_.store(nullptr);
  waitForDeliveries();
}

void Plugin::closeLibrary() {
  if (handle_ != nullptr) {
    dlclose(handle_);
    handle_ = nullptr;
  }
}

void Plugin::waitForDeliveries() {
  for (uint32_t n = deliveriesInFlight_.load(); n != 0; n = deliveriesInFlight_.load()) {
    deliveriesInFlight_.wait(n);
  }
}

void Plugin::ProvideWorkerThreadIf() {
  if (ioctl_.load(std::memory_order_relaxed) == nullptr || reply_.provideWorkerThread == 0) return;
  workerThread_ = std::thread([this] {
    auto request = makeIoctlRequest(kIoctlRunWorker, 0, nullptr);
    auto reply = makeIoctlReply(kIoctlRunWorker);
    // Acquire: pairs with the release store that bound the entry on the first thread.
    if (const auto ioctl = ioctl_.load(std::memory_order_acquire)) ioctl(&request, &reply);
  });
}

void Plugin::StartAsyncReaderIf() {
  if (read_.load(std::memory_order_relaxed) == nullptr || reply_.startAsyncReader == 0) return;
  readerThread_ = std::thread([this] {
    auto request = makeReadRequest(0, nullptr, 0);
    // Read once at the start: Close clears it while this call may still be running.
    if (const auto read = read_.load(std::memory_order_acquire)) read(&request, nullptr);
  });
}

template <typename Fn>
Fn Plugin::lookUp(const char* name) const {
  // A null handle would make dlsym search the whole process, so a failed plugin has no entries.
  if (handle_ == nullptr) return nullptr;
  return reinterpret_cast<Fn>(dlsym(handle_, name));
}

template <typename Fn, typename... Args>
int Plugin::callCounted(const std::atomic<Fn>& entry, Args... args) {
  // Sequentially consistent: the count must be visible before the entry is read (see
  // ReleaseLibrary), which acquire/release alone does not order.
  deliveriesInFlight_.fetch_add(1);
  int result = 0;
  if (const auto fn = entry.load()) result = fn(args...);
  if (deliveriesInFlight_.fetch_sub(1) == 1) deliveriesInFlight_.notify_all();
  return result;
}

int Plugin::DeliverEvent(const EventParms& event) {
  if (onEvent_.load(std::memory_order_acquire) != nullptr) {
    return callCounted(onEvent_, &event);
  }
  if (event.type == kTypeConfig) {
    auto request = makeIoctlRequest(kIoctlConfigEvent, event.length, event.data);
    auto reply = makeIoctlReply(kIoctlConfigEvent);
    callCounted(ioctl_, &request, &reply);
    return reply.handled != 0 ? 1 : 0;
  }
  if (reply_.acceptsWrite != 0 && write_.load(std::memory_order_acquire) != nullptr) {
    auto request = makeWriteRequest(event);
    auto reply = makeRecord<WriteReply>();
    callCounted(write_, &request, &reply);
    return reply.keepReference != 0 ? 1 : 0;
  }
  return 0;
}

int Plugin::DeliverSearch(const EventParms& request) {
  if (onSearch_.load(std::memory_order_acquire) != nullptr) {
    return callCounted(onSearch_, &request);
  }
  if (reply_.startAsyncReader != 0 && read_.load(std::memory_order_acquire) != nullptr) {
    auto readRequest = makeReadRequest(request.length, request.data, request.requestId);
    return callCounted(read_, &readRequest, static_cast<void*>(nullptr));
  }
  return 0;
}

int Plugin::DeliverIpcResult(uint32_t length, const void* packet) {
  if (onIpcResult_.load(std::memory_order_acquire) != nullptr) {
    return callCounted(onIpcResult_, packet, length);
  }
  auto request = makeIoctlRequest(kIoctlIpcPacket, length, packet);
  auto reply = makeIoctlReply(kIoctlIpcPacket);
  return callCounted(ioctl_, &request, &reply);
}

int Plugin::CallIoctl(uint32_t code, uint32_t length, const void* data, IoctlReply& reply) {
  auto request = makeIoctlRequest(code, length, data);
  reply = makeIoctlReply(code);
  return callCounted(ioctl_, &request, &reply);
}

bool Plugin::Exports(const char* name) const {
  return lookUp<void*>(name) != nullptr;
}

bool Plugin::CanServeSearches() const {
  if (onSearch_.load(std::memory_order_acquire) != nullptr) return true;
  if (reply_.startAsyncReader == 0 || read_.load(std::memory_order_acquire) == nullptr) {
    return false;
  }
  const uint32_t words = reply_.videoSub | reply_.audioSub | reply_.alarmSub | reply_.logSub |
                         reply_.posSub | reply_.analyticSub;
  return (words & kSubStored) != 0;
}

void Plugin::SearchStarted() {
  runningSearches_.fetch_add(1);
}

void Plugin::SearchEnded() {
  if (runningSearches_.fetch_sub(1) == 1) runningSearches_.notify_all();
}

void Plugin::WaitForSearches() const {
  for (uint32_t n = runningSearches_.load(); n != 0; n = runningSearches_.load()) {
    runningSearches_.wait(n);
  }
}

std::string_view Plugin::displayName() const {
  const std::string_view name(fileName_);
  return name.substr(0, name.find('.'));
}

}  // namespace kv::core
