// Plugin: the core's object for one plugin shared object.
//
// It owns the library handle, the bound entry points, what the plugin declared in its LoadReply,
// its load and open codes, times and error text, and the worker and reader threads the core runs
// for it. Loading and opening failures are recorded here, never thrown or logged.
//
// Life of one plugin: Create (calls Load) -> ProvideWorkerThreadIf -> Open (calls Open, then
// StartAsyncReaderIf) -> deliveries -> Close -> Unload -> destruction. The object is held through
// shared pointers. The core calls Close and Unload itself on its first thread, so whichever
// thread holds the last pointer only frees memory; the destructor closes and unloads only a
// Plugin that nobody took down.
//
// Threads. Create, Open, Close, Unload, ReleaseLibrary and ProvideWorkerThreadIf run on the core's
// first thread only, one plugin at a time; the destructor runs on whichever thread drops the last
// pointer, after the core took the plugin down. The Deliver* calls run on any thread:
// DeliverEvent on the dispatch loop (and, while the core stops, on whatever thread posted a log
// record), DeliverSearch on search threads, DeliverIpcResult on the I/O thread. The accessors read
// values that are fixed once Create has returned.
//
// Guarantee against deliveries racing the unbinding and the release of the library:
//  - Every entry point is an atomic pointer, so a read never tears against a bind or a clear.
//  - Every Deliver* call counts itself in for the whole of its call and reads its entry point only
//    after that. ReleaseLibrary first clears all entry points, then waits until no delivery is in
//    flight, and only then closes the library. A delivery that starts after the clearing finds its
//    entry null and does nothing. So once dlclose begins no code of the library runs, whichever
//    thread delivers. Close only clears the open-time entries, which IPC delivery never reads.
//  - The reader and worker threads are joined before Unload is called and the library released.
//  - Unload clears every entry point and waits for deliveries in flight before it calls the
//    plugin's Unload, so no packet or IOCTL call runs during or after it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "events/EventParms.h"
#include "plugins/PluginAbi.h"

namespace kv::core {

class Plugin {
 public:
  // Load codes recorded by Create.
  static constexpr int32_t kLoadDlopenFailed = 79;
  static constexpr int32_t kLoadMissingEntry = -101;
  // Open code recorded by Open when the plugin lacks Open or Close.
  static constexpr int32_t kOpenMissingEntry = -102;

  // Opens the library at `path` and calls its Load with `postEvent` and `systemId`. Never null;
  // failures leave a Plugin with no library and a non-zero loadCode(). REQUIRES: `systemId`
  // outlives the plugin (the plugin may keep a pointer to its characters). First thread.
  static std::shared_ptr<Plugin> Create(const std::string& path, PostEventFn postEvent,
                                        const std::string& systemId);

  Plugin(const Plugin&) = delete;
  Plugin& operator=(const Plugin&) = delete;
  ~Plugin();

  // Binds the open-time entry points, calls Open, then StartAsyncReaderIf. A no-op when already
  // opened; records kOpenMissingEntry when Open or Close is not exported. First thread.
  void Open();
  // Calls Close if opened and unbinds the open-time entry points. First thread.
  void Close();
  // Waits for the plugin's search threads, joins the reader, then the worker thread, clears every
  // entry point and waits for deliveries in flight (so no packet reaches the plugin from now on),
  // calls Unload and releases the library. Waits for as long as the plugin keeps its search, Read
  // or IOCTL code 1 calls running. Harmless when repeated. First thread.
  void Unload();
  // Clears all entry points, waits for deliveries in flight, closes the library. First thread.
  void ReleaseLibrary();

  // Starts the worker thread (IOCTL code 1) when the plugin asked for it. Called once, by the
  // loader after all plugins are loaded. Throws std::system_error if no thread can be created.
  void ProvideWorkerThreadIf();
  // Starts the reader thread (Read) when the plugin asked for it. Called once, by Open.
  void StartAsyncReaderIf();

  // Whether this plugin receives `event`: by its subscription words, by whether the event comes
  // from the plugin itself, and stored events only by the plugin that requested them. Any thread.
  bool WantsEvent(const EventParms& event) const;
  // Hands an event to OnEvent, or to IOCTL code 2 (configuration events) or Write as fallbacks.
  // Returns non-zero when the plugin keeps a reference to the payload. Any thread.
  int DeliverEvent(const EventParms& event);
  // Hands a search request to OnSearch, or to Read for a plugin that serves searches that way.
  // Returns the plugin's result (unused by the caller), 0 when nothing was called. Any thread.
  int DeliverSearch(const EventParms& request);
  // Hands a whole IPC packet, header included, to OnIpcResult or IOCTL code 4. Returns the
  // plugin's result (unused by the caller), 0 when nothing was called. Any thread.
  int DeliverIpcResult(uint32_t length, const void* packet);
  // Calls IOCTL with `code` and the `length` bytes at `data`, and fills `reply`. Returns the
  // plugin's result, 0 when it has no IOCTL. For tools that drive a plugin directly (the test kit,
  // the inspector); the core itself uses the calls above. Any thread.
  int CallIoctl(uint32_t code, uint32_t length, const void* data, IoctlReply& reply);
  // Whether the library exports the entry point `name` (kEntry*); false once it is released.
  // First thread.
  bool Exports(const char* name) const;

  // Whether searches are offered to this plugin: it has OnSearch, or it serves them through Read
  // (startAsyncReader set) and declares stored data of a searchable kind. First thread.
  bool CanServeSearches() const;
  // Search threads running in this plugin: counted in by the core before a thread starts, out
  // after its search entry returned. WaitForSearches returns once none runs. Any thread.
  void SearchStarted();
  void SearchEnded();
  uint32_t RunningSearches() const { return runningSearches_.load(); }
  void WaitForSearches() const;

  // True while the library is open: loading succeeded and Unload has not run.
  bool isLoaded() const { return handle_ != nullptr; }
  // True while the plugin is opened (Open bound).
  bool isOpened() const { return open_.load(std::memory_order_acquire) != nullptr; }

  const LoadReply& reply() const { return reply_; }
  // The plugin ID declared in reply().address: 0 for the core's address, else bits 16 to 23.
  uint32_t pluginId() const { return addressSlot(reply_.address); }
  const std::string& fileName() const { return fileName_; }
  // fileName() up to its first '.', for log lines.
  std::string_view displayName() const;
  int32_t loadCode() const { return loadCode_; }
  int32_t openCode() const { return openCode_; }
  // Durations of the Load and Open calls in steady-clock nanoseconds; 0 when not called.
  int64_t loadTime() const { return loadTime_; }
  int64_t openTime() const { return openTime_; }
  // Text of the last failure; empty when there was none.
  const std::string& errorText() const { return errorText_; }

 private:
  Plugin(std::string fileName, void* handle);

  template <typename Fn>
  Fn lookUp(const char* name) const;
  template <typename Fn, typename... Args>
  int callCounted(const std::atomic<Fn>& entry, Args... args);
  void callLoad(PostEventFn postEvent, const std::string& systemId);
  // Clears every entry point and waits until no delivery is in flight.
  void unbindAll();
  void waitForDeliveries();
  void closeLibrary();

  void* handle_;
  // Bound at load, kept until the library is released.
  std::atomic<LoadFn> load_{nullptr};
  std::atomic<UnloadFn> unload_{nullptr};
  std::atomic<OnIpcResultFn> onIpcResult_{nullptr};
  std::atomic<IoctlFn> ioctl_{nullptr};
  // Bound at open, cleared at close.
  std::atomic<OpenFn> open_{nullptr};
  std::atomic<CloseFn> close_{nullptr};
  std::atomic<OnEventFn> onEvent_{nullptr};
  std::atomic<OnSearchFn> onSearch_{nullptr};
  std::atomic<ReadFn> read_{nullptr};
  std::atomic<WriteFn> write_{nullptr};
  // Deliver* calls currently inside (or about to enter) the plugin.
  std::atomic<uint32_t> deliveriesInFlight_{0};
  std::atomic<uint32_t> runningSearches_{0};

  std::thread readerThread_;
  std::thread workerThread_;
  LoadReply reply_;
  std::string fileName_;
  int32_t loadCode_ = 0;
  int32_t openCode_ = 0;
  int64_t loadTime_ = 0;
  int64_t openTime_ = 0;
  std::string errorText_;
};

}  // namespace kv::core
