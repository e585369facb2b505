// PluginHarness: one plugin shared object loaded into a test process, as the core would load it,
// with a recording post function in place of the core.
//
// The harness loads the plugin with the core's own loading code (the Plugin object), so a plugin
// sees the same records, the same entry-point binding and the same thread rules as under
// korvacore. A test delivers events, sends supervisor packets, calls IOCTL, serves searches and
// drives Open, Close and Unload; it reads back everything the plugin posted. Nothing sleeps: the
// test waits for asynchronous posts with waitFor, which returns as soon as they are there.
//
// One harness at a time per process (the post function has no context argument); creating a
// second while one lives throws std::logic_error.
//
// Threads: the life-cycle calls, deliver, sendPacket and ioctl run the plugin on the calling
// thread (the test's), which stands for the core's first, dispatch or I/O thread. The worker and
// reader calls and each search run on threads the harness owns. The plugin may post from any
// thread, also from threads of its own during Load and after Close; the accessors are safe on any
// thread.
//
// How the harness answers each post (the post function's result), by the type with the modifier
// bit cleared:
//   "log" with kFlagQuery     HarnessOptions::logLevel.
//   live "log"                0 (or setPostAnswer); the text is kept as a LogLine, whatever its
//                             level: the test sees what the plugin would have logged.
//   "decref"                  0 when `data` is a payload the plugin holds a reference to (the
//                             reference is released and the block freed at once), 1 otherwise,
//                             counted in strayDecrefs(). A null `data` answers 0 and does nothing.
//   "cancel"                  with kFlagQuery: 1 when that request was cancelled (by the test or
//                             by a cancel post), 0 otherwise. Without: the request is cancelled
//                             (a running Search with that identifier too); 0.
//   "crypto"                  kCryptoNoOutput, unless setPostAnswer says otherwise. The harness
//                             does not encrypt: the buffer is left as it was.
//   "ipc"                     0 (or setPostAnswer); the packet is kept (packets()).
//   a search result           a record with a `requestId` whose `source` names a plugin (a stored
//                             result): accepted only on the thread of a running Search with that
//                             requestId. Paced, the post waits until the test takes the result
//                             (Search::next) and answers 0; once the search is cancelled or the
//                             plugin is being unloaded it answers 1, the waiting one included.
//                             From any other thread, or for another request: 1, as the core
//                             refuses it.
//   a search request          (`source` names no plugin, `requestId` set) recorded, answered 0;
//                             the harness serves no searches of the plugin's own.
//   every other record        0, or what setPostAnswer set for its type (a media-gate drop code,
//                             1 as a stopping core answers).
// setPostAnswer does not change the answers to "decref", to the queries and to search results,
// which carry the harness's bookkeeping. Every post is recorded (posted()), the refused ones too.
//
// Payloads: deliver copies the payload into a block of exactly its size that lives while the
// plugin holds a reference to it: it is freed when the event entry returns 0, or at the "decref"
// that gives it back. A plugin that reads a payload after giving it back reads freed memory,
// which AddressSanitizer reports. Blocks still held when the harness goes are freed then.
//
// Differences from a core, on purpose: the harness routes nothing between plugins, filters no log
// levels, runs no media gate, and paces each search result until the test takes it (the core lets
// a result go once every holder released the previous one, which is never stricter). A Search
// runs even in a plugin the core would offer none to (without a search entry it ends at once).
// Unloading refuses the results of running searches and waits for their entries to return.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "events/EventParms.h"
#include "plugins/PluginAbi.h"

namespace kv::testkit {

// One record the plugin posted, copied during the post.
struct PostedRecord {
  core::EventParms record;       // as posted; `data` points at the plugin's own buffer
  std::vector<uint8_t> payload;  // the `length` bytes at `data` when it was posted
  int answer = 0;                // what the post function returned
  bool fromSearchRun = false;    // posted on the thread of a search run

  uint32_t type() const { return core::maskedType(record.type); }
  std::string_view text() const {
    return {reinterpret_cast<const char*>(payload.data()), payload.size()};
  }
};

// A live "log" record: its level, its text, and whether it asked to be written to the log.
struct LogLine {
  int level = 0;
  std::string text;
  bool write = false;
};

struct HarnessOptions {
  // The system identifier handed to Load.
  std::string systemId = "TESTKIT0000000000";
  // The answer to a "log" query: the plugin's configured level.
  int logLevel = 25;
  // Whether each search result waits until the test has taken it (Search::next), as the core
  // paces results to the requester. Unpaced, results pile up and never block the plugin.
  bool pacedSearches = true;
};

class PluginHarness;

namespace detail {
struct Hub;
struct SearchRun;
}  // namespace detail

// One search the harness asked the plugin to serve (its OnSearch, or Read on the reader's terms),
// running on a thread of its own. Destroying it cancels it and waits for the plugin to return.
class Search {
 public:
  Search(const Search&) = delete;
  Search& operator=(const Search&) = delete;
  ~Search();

  uint32_t requestId() const { return requestId_; }
  // The next result the plugin posted for this search, waiting up to `timeout` for it; nullopt
  // once the plugin has returned from the search with nothing left, or on timeout. Taking a paced
  // result lets the plugin's post return (with 0).
  std::optional<PostedRecord> next(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Cancels the search as a "cancel" record would: every later result post, and the one waiting,
  // answers 1, and a cancel query for this request answers 1.
  void cancel();
  // Waits up to `timeout` for the plugin to return from the search. True when it did.
  bool finished(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // The search entry's return value; valid once finished() is true.
  int result() const;

 private:
  friend class PluginHarness;
  Search(uint32_t requestId, std::shared_ptr<detail::SearchRun> run);
  uint32_t requestId_;
  // Shared with the search's thread; outlives the harness when the test keeps the Search longer.
  std::shared_ptr<detail::SearchRun> run_;
};

class PluginHarness {
 public:
  // Loads the plugin at `path` (Load is called, the plugin is not opened). A failed load is kept:
  // loaded() is false and loadCode()/errorText() say why, as the core would log it.
  explicit PluginHarness(const std::string& path, HarnessOptions options = {});
  // Closes and unloads the plugin if the test did not, then frees the blocks it still holds. From
  // then on the post function answers 1 to any thread the plugin left behind.
  ~PluginHarness();
  PluginHarness(const PluginHarness&) = delete;
  PluginHarness& operator=(const PluginHarness&) = delete;

  // What Load did.
  bool loaded() const;
  int32_t loadCode() const;
  const std::string& errorText() const;
  const core::LoadReply& reply() const;
  uint32_t pluginId() const;
  // Whether the library exports the entry point `name` (core::kEntry*).
  bool exports(const char* name) const;

  // The life cycle, each on the calling thread. startWorker runs IOCTL code 1 on a harness thread
  // when the plugin asked for it (the core does this after loading, before Open); runWorker runs
  // it on the calling thread instead, for a worker that returns by itself. open calls Open (and
  // starts the reader thread when the plugin asked for it) and returns its open code; unload
  // refuses the results of running searches and waits for them, joins the reader and worker
  // threads, as the core does, then calls Unload and closes the library. Each runs once; a
  // second call does nothing.
  void startWorker();
  int runWorker();
  int32_t open();
  void close();
  void unload();

  // Whether the core would offer `event` to this plugin (its subscriptions, and where it is from).
  bool wants(const core::EventParms& event) const;
  // Delivers `event` with a copy of `payload` in a reference-counted block, as the dispatch loop
  // does (OnEvent, or IOCTL code 2 or Write as the core falls back); `event.data`/`length` are
  // replaced by the block's. Returns the plugin's answer: non-zero, it keeps a reference that it
  // must give back with a "decref".
  int deliver(core::EventParms event, std::string_view payload = {});
  // Sends a supervisor packet routed to this plugin with `type` and `payload` (OnIpcResult, or
  // IOCTL code 4); sendRawPacket sends the bytes as they are. Return the plugin's result.
  int sendPacket(uint32_t type, std::string_view payload, uint32_t reserved = 0);
  int sendRawPacket(const void* bytes, uint32_t length);
  // Calls IOCTL with `code` and the `length` bytes at `data`; `reply` receives the plugin's reply.
  int ioctl(uint32_t code, const void* data = nullptr, uint32_t length = 0,
            core::IoctlReply* reply = nullptr);
  // Starts a search of this plugin with `query` as its payload, `type` (kFlagStored set) and a
  // fresh request identifier of a requester with ID `requesterId`, on a thread of its own, as the
  // core offers a search request. Throws std::invalid_argument for an empty query, which the core
  // never offers. Unloading the plugin waits for the search's entry to return, so a Search may
  // outlive its harness.
  std::unique_ptr<Search> search(uint32_t type, std::string_view query,
                                 uint32_t requesterId = 0xEE);

  // Everything the plugin posted so far (since clearPosted), in the order of the posts, and views
  // of it. A paced search result shows answer 0 while it waits, 1 once it was refused.
  std::vector<PostedRecord> posted() const;
  std::vector<PostedRecord> posted(uint32_t type) const;  // masked type
  std::vector<LogLine> logLines() const;                  // live "log" records
  std::vector<std::vector<uint8_t>> packets() const;      // payloads of "ipc" posts
  size_t decrefs() const;  // "decref" posts since load, accepted or not; not reset by clearPosted
  // Forgets what was posted and the log lines (not the references the plugin holds, nor the
  // counters).
  void clearPosted();
  // Waits until `ready` holds for what was posted, or `timeout` passes. True when it holds.
  // `ready` runs with the harness locked: it must not call the harness.
  bool waitFor(const std::function<bool(const std::vector<PostedRecord>&)>& ready,
               std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Waits until at least `count` records of (masked) `type` were posted.
  bool waitForPosts(uint32_t type, size_t count,
                    std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // From now on, posts of (masked) `type` are answered `answer` instead of the core's usual one:
  // a media-gate drop code, or 1 as a stopping core answers. Not for "decref", the queries and
  // search results (see the table at the top).
  void setPostAnswer(uint32_t type, int answer);

  // References the plugin holds on blocks it was delivered, and "decref" posts that named no block
  // the plugin held (each one a fault that under the core frees someone else's payload). A decref
  // of the payload being delivered, from another thread before the event entry returned, settles
  // with the entry's answer: kept, it gives the reference back; not kept, it is stray.
  size_t heldReferences() const;
  size_t strayDecrefs() const;
  // Posted records whose size, version or type-specific size are not those of a whole record.
  size_t malformedPosts() const;

 private:
  friend class Search;
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace kv::testkit
