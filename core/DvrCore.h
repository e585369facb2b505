// DvrCore: the one core object of the process, reachable process-wide through gCore.
//
// It owns the plugins, the event queue and its reference blocks, the state of running searches,
// the media gate, the I/O thread and the supervisor link, the log sink and the core's settings.
// Its operations are defined in the room they belong to, each group below naming its file:
//   construction, Init, teardown, sendIpc/supervisorInfo  core/DvrCore.cpp
//   Run, requestStop, onPulse                              core/MainLoop.cpp
//   checkMemory, setThrottling                             core/Throttling.cpp
//   statusTick                                             core/StatusLine.cpp
//   handleEvent .. logLevelOf, handleCryptoRequest         events/Intake.cpp
//   isSearchRequest, searchRequest                         events/Search.cpp
//   dispatchLoop                                           events/Dispatch.cpp
//   loadPlugins                                            plugins/LoadPlugins.cpp
//   openPlugins, closePlugins, unloadPlugins               plugins/OpenPlugins.cpp
//   loadConfiguration, applyModulesDelta                   config/Configuration.cpp
//   publishStatusDocument, publishMemoryDocument           config/StatusDocuments.cpp
// The pipe itself is SupervisorLink (core/SupervisorLink.h), the I/O thread IoThread
// (core/IoThread.h); the hub holds both through pointers, so this header needs no Asio.
//
// Threads (see each member for its guard): the first thread constructs, runs Init, the plugin life
// and the dispatch loop, and destroys; the I/O thread runs `ioContext`; the post function runs on
// any thread, including plugins' own and search threads. No lock is held while plugin code runs.
// Locks: `requestMutex` before a StoredProvider's mutex; `coreXmlMutex` before `queueMutex`;
// `queueMutex`, `gopMutex`, `pluginsMutex`, `searchThreadMutex` and the log sink's mutex are
// leaves. A stop is decided against the queue under `queueMutex`: the dispatch loop ends only
// when, under it, the queue is empty and a stop requested, and a post appends only when, under it,
// no stop is requested.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/Guarded.h"
#include "core/MemoryWatch.h"
#include "core/PrivilegeDrop.h"
#include "core/Version.h"
#include "events/EventParms.h"
#include "events/EventQueue.h"
#include "events/MediaGate.h"
#include "events/RefBlockPool.h"
#include "events/Search.h"
#include "log/LogSink.h"
#include "log/RefusalRun.h"
#include "plugins/Plugin.h"

namespace kv::core {

class DeliveryClock;   // events/DeliveryClock.h
class IoThread;        // core/IoThread.h
class SupervisorLink;  // core/SupervisorLink.h

// Process-wide counters, updated atomically from any thread. The reference counters return to
// zero when every holder has released; the statistics are reset by the status line.
struct CoreCounters {
  std::atomic<uint32_t> refblkCount{0};              // live reference blocks
  std::atomic<uint64_t> refblkBytes{0};              // sum of their total sizes
  std::array<std::atomic<int32_t>, 256> heldRefs{};  // references held, per slot
  std::atomic<uint32_t> searchesRequested{0};
  std::atomic<uint32_t> searchCancels{0};
  std::atomic<uint32_t> searchResults{0};
  std::atomic<uint64_t> searchResultBytes{0};
  std::atomic<uint32_t> throttledVideo{0};
  std::atomic<uint32_t> throttledAudio{0};
  std::atomic<uint32_t> ipcMessagesQueued{0};
  std::atomic<uint32_t> ipcPacketsDelivered{0};
  std::atomic<uint64_t> ipcBytesDelivered{0};
};

// What the dispatch loop counts for the status line, which reads and resets it on the first
// thread between deliveries.
struct DispatchContext {
  uint32_t queueLength = 0;        // records not yet delivered; 0 after an idle wake-up
  uint32_t eventsDispatched = 0;   // records taken from the queue for delivery
  uint32_t idleSeconds = 0;        // wake-ups that found the queue empty
  uint64_t logDeliveryMicros = 0;  // time spent delivering live log records
  int64_t lastStatusPrint = 0;     // steady-clock nanoseconds
  uint32_t memoryAtLastPrint = 0;  // memory in use when the last status record was due
};

class DvrCore {
 public:
  static constexpr int32_t kDefaultLogLevel = 25;
  static constexpr uint16_t kDefaultMaxGopLen = 1050;

  // Sets every member to its default. `exePath`: canonical path of the running executable;
  // `logSeams`: where log lines go (standard output and the system log unless tests say else).
  explicit DvrCore(std::string exePath, LogSink::Seams logSeams = {});
  // The teardown: reports unreleased event references, then frees everything; plugins whose last
  // holder goes are closed and unloaded. First thread, after every other thread has stopped.
  ~DvrCore();
  DvrCore(const DvrCore&) = delete;
  DvrCore& operator=(const DvrCore&) = delete;

  // Process-level initialisation (core/DvrCore.cpp): system identifier, file mode mask, the
  // supervisor's user, pipe, log plugin. `pipeFd` is -1 when no pipe was given. False when the
  // process can't go on. First thread.
  bool Init(int32_t pipeFd);
  // The life of the core between Init and the teardown (core/MainLoop.cpp): signals,
  // configuration, the I/O thread with its pulse and the pipe, plugins up, dispatch until a stop,
  // plugins down. First thread.
  void Run();
  // Ends the main loop (core/MainLoop.cpp): sets `stopRequested`, cancels the pulse, wakes search
  // threads waiting to post and the dispatch loop. Harmless when repeated. I/O thread (or any
  // thread before it runs).
  void requestStop();
  // The 250 ms pulse: the clock check and the memory check, then the next pulse; nothing once a
  // stop is requested. I/O thread, when the pulse timer expires.
  void onPulse();

  // The intake (events/Intake.cpp). handleEvent routes one posted record and returns the post
  // result; any thread. REQUIRES: `length` is 0 when `data` is null.
  int handleEvent(EventParms& event);
  // Copies the payload into a reference block and appends the record to the queue: 0, or 1 when
  // a search result is refused, the payload's block size would not fit 32 bits, or the queue is
  // full. `unbounded`: the core's own status and memory documents, which pass a full queue. Any
  // thread.
  int queueEvent(const EventParms& event, bool unbounded = false);
  // One reference more or less on the block whose payload starts at `data`, counted for `slot`.
  // Both ignore null and return 0. releaseRef frees the block with its last reference and wakes
  // the search thread whose result it was. Any thread.
  int addRef(void* data, uint32_t slot);
  int releaseRef(void* data, uint32_t slot);
  // A plugin's "decref" of `data` for `slot`: as releaseRef, but 1 (refused, `data` untouched)
  // when the slot holds no reference. Any thread.
  int giveBackRef(void* data, uint32_t slot);
  // The media gate for live video and audio: 0 to pass, or kPostDrop*. Any thread, but one thread
  // at a time per source.
  int gateMedia(const EventParms& event);
  // Posts one of the core's own log lines (`length` bytes at `text`). Any thread.
  int postLog(int32_t level, uint32_t length, const char* text);
  // The log level of a slot: its `logLevels` entry, kDefaultLogLevel when negative.
  int32_t logLevelOf(uint32_t slot) const;

  // Searches (events/Search.cpp). Whether a record is a search request: its source names no
  // plugin and its requestId does. Any thread.
  static bool isSearchRequest(const EventParms& event);
  // Takes a search request: starts one detached thread per eligible plugin. The post result: 0, or
  // 1 when the threads would pass SearchState::kMaxSearchThreads. Any thread.
  int searchRequest(const EventParms& event);

  // Dispatch (events/Dispatch.cpp). Delivers queued records to every plugin that wants them, in
  // queue order and then list order, until a stop is requested and the queue is empty. First
  // thread, between opening and closing the plugins.
  void dispatchLoop();
  // Loading (plugins/LoadPlugins.cpp): finds, orders and loads the plugin files, refuses
  // duplicate IDs, names the plugins, then starts their worker threads. First thread.
  void loadPlugins();
  // Opening, closing and unloading (plugins/OpenPlugins.cpp), each a pass over `plugins` in its
  // order. Opening appends the log plugin and gives up CAP_SYS_RAWIO. First thread.
  void openPlugins();
  void closePlugins();
  void unloadPlugins();

  // Configuration (config/Configuration.cpp). Reads product.xml and core.xml from the working
  // directory once at start; never fails outward. First thread, before plugins load.
  void loadConfiguration();
  // Applies the log levels of a "config" record that carries a module-settings delta, and
  // publishes the status document when one changed. Dispatch thread, for every record.
  void applyModulesDelta(const EventParms& record);
  // Status documents (config/StatusDocuments.cpp). The status document: posted as a "config"
  // event with the product, written to core.xml without it. First thread.
  void publishStatusDocument();
  // The memory document: posted as an "alarm" event whenever throttling changes. Any thread.
  void publishMemoryDocument();

  // Crypto requests (events/Intake.cpp): transforms the request's buffer in place; the result
  // codes of the crypto handler. Any thread.
  int handleCryptoRequest(EventParms& event);

  // The supervisor link (core/DvrCore.cpp, handing over to `link`). Queues the record's packet for
  // the pipe: 0, or 1 when it is refused. Any thread.
  int sendIpc(const EventParms& event);
  // The supervisor's file name and version as it announced them. Any thread.
  std::pair<std::string, std::string> supervisorInfo() const;

  // ---- Members, in the order of their life; see each for its owner and guard. ----

  std::string systemId;  // set by Init, then read-only; handed to every plugin at load
  // Log level per slot; -1 means unset (reads as 25). Written by the configuration on the first
  // thread, read everywhere.
  std::array<std::atomic<int32_t>, 256> logLevels{};
  // The log plugin: set by Init before any other thread runs, released by the teardown only after
  // the log plugin was unloaded; read by the intake on any thread in between.
  std::shared_ptr<Plugin> logPlugin;
  // The loaded plugins in load order, and those that failed. Changed on the first thread only,
  // while no dispatch runs, and then under `pluginsMutex`. Readers on other threads (the I/O
  // thread routing packets, search requests on any thread) take `pluginsMutex` and copy what they
  // need before they call into a plugin; the first thread reads without it.
  std::vector<std::shared_ptr<Plugin>> plugins;
  std::vector<std::shared_ptr<Plugin>> failedPlugins;
  mutable std::mutex pluginsMutex;

  // The I/O thread with `ioContext`, the pulse timer and the stop signals, and the pipe to the
  // supervisor on it (`ipcSocket`, `ipcSendQueue`, `ipcRx`). Created by the
  // constructor, never null; the link goes before the I/O thread.
  std::unique_ptr<IoThread> io;
  std::unique_ptr<SupervisorLink> link;

  // The intake's queue with its bounds (events/EventQueue.h).
  EventQueue queue;
  // Payload blocks kept for reuse (events/RefBlockPool.h); lock-free, any thread.
  RefBlockPool blockPool;

  // Serialises the writing of core.xml, so that the queue lock is never held across a write to
  // the memory card. Taken before queueMutex.
  std::mutex coreXmlMutex;

  MediaGate gate;        // the media gate's streams (events/MediaGate.h)
  SearchState searches;  // cancelled requests, search threads (events/Search.h)

  // Set by the constructor and the configuration on the first thread before plugins load, then
  // read-only.
  const std::string exePath;
  std::string productName = "Korvascope";
  std::string coreVersion = kCoreVersion;

  // The log sink with `logMutex`, `colourLog`, `background` and `pluginNames`.
  LogSink logSink;

  // Sequentially consistent: written on the I/O thread, read by the intake on any thread.
  std::atomic<bool> stopRequested{false};
  std::atomic<bool> throttleEnabled{true};
  std::atomic<bool> throttling{false};
  std::atomic<uint16_t> maxGopLen{kDefaultMaxGopLen};
  std::atomic<int64_t> lowMemorySince{INT64_MAX};

  CoreCounters counters;
  DispatchContext dispatchContext;  // first thread only

  // State of the pulse, set on its first run. I/O thread only.
  struct PulseState {
    bool started = false;
    int64_t lastSteady = 0;  // of the last memory check
    int64_t lastWall = 0;    // of the last clock comparison
  } pulseState;

  // The steady and the system clock, in nanoseconds; tests hand in their own. These seams and the
  // two below are set before any thread runs, then read-only.
  std::function<int64_t()> steadyNanos;
  std::function<int64_t()> wallNanos;
  // The system calls of the privilege drop and the memory watch; tests hand in their own.
  std::unique_ptr<PrivilegeSystem> privilegeSystem;
  std::unique_ptr<MemorySystem> memorySystem;

  // The memory watch (core/Throttling.cpp): limits set on the first pulse, then one check per
  // second on the I/O thread. The last memory in use is read by the status line.
  MemoryLimits memoryLimits;
  std::atomic<uint32_t> lastMemoryInUse{0};
  void checkMemory();
  // Switches `throttling`; logs and publishes the start of an episode, and its end once memory
  // stayed under the limit for 60 seconds. I/O thread.
  void setThrottling(bool over);
  // The status line (core/StatusLine.cpp): once a minute, the three-line status record. Called by
  // the dispatch loop after each record it takes and each idle second. First thread.
  void statusTick(DispatchContext& context);
  // The same at steady-clock time `now`; true when it printed.
  bool statusTick(DispatchContext& context, int64_t now);
  // How long the dispatch loop waits for a record before it counts an idle second. First thread.
  std::chrono::milliseconds dispatchIdleWait{1000};

 private:
  void reportLeakedReferences();
  void releaseQueuedRecords();
  void loadLogPlugin();
  int cancelRequest(const EventParms& event);
  void logIntake(EventParms& event, bool& ended);
  void wakeSearchThreads(uint32_t requestId, bool everyRequest);
  std::vector<std::shared_ptr<Plugin>> searchServers();
  bool reserveSearchThreads(uint32_t count);
  void searchThreadsEnded(uint32_t count);
  void waitForSearchThreads();
  void runSearch(std::shared_ptr<AsyncEvent> request, std::shared_ptr<Plugin> plugin);
  std::shared_ptr<SearchHandler::StoredProvider> resultProvider(uint32_t requestId);
  bool takeResultSlot(SearchHandler::StoredProvider& provider, void* block);
  int appendToQueue(const EventParms& entry, bool unbounded);
  bool pushRecord(const EventParms& entry);
  int refuseResult(void* block);
  // The block's part of a release: frees it with its last reference.
  int dropRef(void* data);
  int refuseFullQueue(uint32_t source);
  void waitForRecords(std::unique_lock<std::mutex>& lock);
  void finishBurst(RecordRing& burst, uint64_t& bytes);
  void deliver(const EventParms& record, DeliveryClock& clock);
  std::string_view sourceName(uint32_t source) const;
  void reportStartupStatus();
  void checkClock(int64_t wall, int64_t elapsed);
  void logMemoryLimits();
  std::string topHolders();
};

// The process's core: set by the entry point right after construction, cleared after the core is
// destroyed, so that a stray plugin thread posting later is refused instead of touching freed
// memory. Atomic, since plugin threads read it while the first thread clears it.
extern std::atomic<DvrCore*> gCore;

// The post function handed to every plugin at load: forces `length` to 0 when `data` is null and
// returns the core's answer; 1 when there is no core. Throws nothing but the forced unwind of a
// cancelled thread, which must pass. Any thread.
int postEvent(EventParms* event);

}  // namespace kv::core
