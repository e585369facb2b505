// The test kit's stand-in for the core: one plugin loaded by the core's Plugin object, and a post
// function that records and answers what the plugin posts.
#include "testkit/PluginHarness.h"

#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <stdexcept>
#include <unordered_map>
#include <utility>

#include "plugins/IpcPacket.h"
#include "plugins/Plugin.h"

namespace kv::testkit {

using core::EventParms;

namespace detail {

// A payload delivered to the plugin, alive while the plugin holds its reference.
struct Block {
  std::unique_ptr<uint8_t[]> bytes;
  bool delivering = true;      // its event entry is still running
  bool releasedEarly = false;  // a "decref" named it while the entry was still running
};

// A search result posted on a search's thread, waiting for the test to take it.
struct Result {
  PostedRecord record;
  uint64_t ticket = 0;   // paced: the post waits until the test took this ticket
  bool decided = false;  // its post has its answer (unpaced results are decided at once)
};

// One running search, shared by the Search object, its thread and the hub.
struct SearchRun {
  std::shared_ptr<Hub> hub;
  EventParms request{};
  std::vector<uint8_t> query;
  std::deque<Result> results;  // guarded by hub->mutex, as is everything below
  uint64_t tickets = 0;
  uint64_t lastTaken = 0;
  bool cancelled = false;
  bool done = false;
  int result = 0;
  std::thread thread;  // joined by ~Search
};

// Everything the post function touches. Held by the harness, by each search and by each post in
// flight, so that a post racing the harness's destruction still finds it.
struct Hub {
  explicit Hub(HarnessOptions options) : options(std::move(options)) {}

  int post(EventParms& event);
  int postResult(std::unique_lock<std::mutex>& lock, PostedRecord record,
                 const std::shared_ptr<SearchRun>& run);
  int giveBack(const void* data);
  // Refuses the results of `run` that still wait: the search was cancelled or is being stopped.
  void refuseWaiting(SearchRun& run);
  size_t append(PostedRecord record);
  void setAnswer(uint64_t sequence, int answer);
  int answerFor(uint32_t type, int usual) const {
    const auto found = answers.find(type);
    return found == answers.end() ? usual : found->second;
  }

  const HarnessOptions options;
  std::mutex mutex;
  std::condition_variable changed;  // notified at every change below
  std::vector<PostedRecord> posted;
  uint64_t firstSequence = 0;  // sequence number of posted[0]; clearPosted moves it on
  std::vector<LogLine> logLines;
  std::map<uint32_t, int> answers;
  std::unordered_map<const void*, Block> blocks;
  size_t decrefs = 0;
  size_t strayDecrefs = 0;
  size_t malformed = 0;
  std::set<uint32_t> cancelledRequests;
  std::unordered_map<std::thread::id, std::shared_ptr<SearchRun>> searchThreads;
  std::vector<std::weak_ptr<SearchRun>> searches;
  bool stopping = false;  // the plugin is being unloaded: search results are refused
};

namespace {

// The harness of this process, if any. The post function has no context argument, so this is
// how a post finds its harness; a post after the harness has gone is refused like one after the
// core has gone.
std::mutex hubMutex;
std::shared_ptr<Hub> currentHub;

std::shared_ptr<Hub> hubOfProcess() {
  std::lock_guard lock(hubMutex);
  return currentHub;
}

int postToHarness(EventParms* event) {
  const auto hub = hubOfProcess();
  if (hub == nullptr || event == nullptr) return core::kPostRefused;
  return hub->post(*event);
}

bool wholeRecord(const EventParms& event) {
  return event.size == sizeof(EventParms) && event.version == core::kEventParmsVersion &&
         event.parmsSize == core::kEventTypeParmsSize &&
         event.parmsVersion == core::kEventTypeParmsVersion;
}

// A record tied to a request and naming its originator: a search result, which the core accepts
// only from a search thread of that request.
bool requestBound(const EventParms& event) {
  return event.requestId != 0 && core::namesOriginator(event.source);
}

}  // namespace

int Hub::post(EventParms& event) {
  // As the core: a null payload always travels with length 0.
  if (event.data == nullptr) event.length = 0;
  PostedRecord record;
  record.record = event;
  if (event.length != 0) {
    const auto* bytes = static_cast<const uint8_t*>(event.data);
    record.payload.assign(bytes, bytes + event.length);
  }
  const uint32_t type = core::maskedType(event.type);
  const bool query = (event.flags & core::kFlagQuery) != 0;

  std::unique_lock lock(mutex);
  if (!wholeRecord(event)) ++malformed;
  std::shared_ptr<SearchRun> run;
  if (const auto found = searchThreads.find(std::this_thread::get_id());
      found != searchThreads.end()) {
    run = found->second;
  }
  record.fromSearchRun = run != nullptr;

  int answer = 0;
  if (type == core::kTypeCrypto) {
    answer = answerFor(type, core::kCryptoNoOutput);
  } else if (type == core::kTypeIpc) {
    answer = answerFor(type, core::kPostAccepted);
  } else if (type == core::kTypeCancel) {
    if (query) {
      answer = cancelledRequests.count(event.requestId) != 0 ? 1 : 0;
    } else {
      cancelledRequests.insert(event.requestId);
      for (const auto& weak : searches) {
        const auto other = weak.lock();
        if (other == nullptr || other->request.requestId != event.requestId) continue;
        other->cancelled = true;
        refuseWaiting(*other);
      }
    }
  } else if (type == core::kTypeDecref) {
    answer = giveBack(event.data);
  } else if (type == core::kTypeLog && query) {
    answer = options.logLevel;
  } else {
    if (type == core::kTypeLog && (event.flags & core::kFlagLive) != 0 && event.length != 0) {
      // As the core reads it: the level field counts only for a plain "log" type.
      logLines.push_back({event.type == core::kTypeLog ? event.level : 0,
                          std::string(record.text()), (event.flags & core::kFlagLogWrite) != 0});
    }
    if (requestBound(event)) return postResult(lock, std::move(record), run);
    answer = answerFor(type, core::kPostAccepted);
  }
  record.answer = answer;
  append(std::move(record));
  return answer;
}

int Hub::postResult(std::unique_lock<std::mutex>& lock, PostedRecord record,
                    const std::shared_ptr<SearchRun>& run) {
  const uint32_t requestId = record.record.requestId;
  if (run == nullptr || run->request.requestId != requestId || run->cancelled || stopping) {
    record.answer = core::kPostRefused;
    append(std::move(record));
    return core::kPostRefused;
  }
  record.answer = core::kPostAccepted;
  const uint64_t sequence = append(record);
  if (!options.pacedSearches) {
    run->results.push_back({std::move(record), 0, true});
    changed.notify_all();
    return core::kPostAccepted;
  }
  const uint64_t ticket = ++run->tickets;
  run->results.push_back({std::move(record), ticket, false});
  changed.notify_all();
  changed.wait(lock, [&] { return run->lastTaken >= ticket || run->cancelled || stopping; });
  if (run->lastTaken >= ticket) return core::kPostAccepted;
  // refuseWaiting took the result off the queue.
  setAnswer(sequence, core::kPostRefused);
  return core::kPostRefused;
}

int Hub::giveBack(const void* data) {
  ++decrefs;
  if (data == nullptr) return core::kPostAccepted;
  const auto found = blocks.find(data);
  if (found == blocks.end() || found->second.releasedEarly) {
    ++strayDecrefs;
    return core::kPostRefused;
  }
  if (found->second.delivering) {
    // Given back from another thread before its event entry returned: settled by deliver.
    found->second.releasedEarly = true;
    return core::kPostAccepted;
  }
  blocks.erase(found);  // frees the payload now, so a later read of it is a use after free
  return core::kPostAccepted;
}

void Hub::refuseWaiting(SearchRun& run) {
  std::erase_if(run.results, [](const Result& result) { return !result.decided; });
  changed.notify_all();
}

size_t Hub::append(PostedRecord record) {
  posted.push_back(std::move(record));
  changed.notify_all();
  return firstSequence + posted.size() - 1;
}

void Hub::setAnswer(uint64_t sequence, int answer) {
  if (sequence < firstSequence || sequence - firstSequence >= posted.size()) return;
  posted[sequence - firstSequence].answer = answer;
  changed.notify_all();
}

}  // namespace detail

using detail::Hub;
using detail::SearchRun;

struct PluginHarness::State {
  std::shared_ptr<Hub> hub;
  std::shared_ptr<core::Plugin> plugin;
  uint32_t nextRequest = 0;
  bool workerStarted = false;
  bool unloaded = false;
};

// ---- Search ----

Search::Search(uint32_t requestId, std::shared_ptr<SearchRun> run)
    : requestId_(requestId), run_(std::move(run)) {}

Search::~Search() {
  cancel();
  if (run_->thread.joinable()) run_->thread.join();
}

std::optional<PostedRecord> Search::next(std::chrono::milliseconds timeout) {
  Hub& hub = *run_->hub;
  std::unique_lock lock(hub.mutex);
  hub.changed.wait_for(lock, timeout, [&] { return !run_->results.empty() || run_->done; });
  if (run_->results.empty()) return std::nullopt;
  detail::Result taken = std::move(run_->results.front());
  run_->results.pop_front();
  if (!taken.decided) run_->lastTaken = taken.ticket;
  hub.changed.notify_all();
  return std::move(taken.record);
}

void Search::cancel() {
  Hub& hub = *run_->hub;
  std::lock_guard lock(hub.mutex);
  run_->cancelled = true;
  hub.cancelledRequests.insert(requestId_);
  hub.refuseWaiting(*run_);
}

bool Search::finished(std::chrono::milliseconds timeout) {
  Hub& hub = *run_->hub;
  std::unique_lock lock(hub.mutex);
  return hub.changed.wait_for(lock, timeout, [&] { return run_->done; });
}

int Search::result() const {
  std::lock_guard lock(run_->hub->mutex);
  return run_->result;
}

// ---- PluginHarness ----

PluginHarness::PluginHarness(const std::string& path, HarnessOptions options)
    : state_(std::make_unique<State>()) {
  state_->hub = std::make_shared<Hub>(std::move(options));
  {
    std::lock_guard lock(detail::hubMutex);
    if (detail::currentHub != nullptr) {
      throw std::logic_error("a PluginHarness already lives in this process");
    }
    // Before Load: the plugin may post from Load, and from threads it starts there.
    detail::currentHub = state_->hub;
  }
  // The identifier's characters stay with the hub, which outlives the plugin.
  state_->plugin =
      core::Plugin::Create(path, &detail::postToHarness, state_->hub->options.systemId);
}

PluginHarness::~PluginHarness() {
  if (!state_->unloaded) {
    close();
    unload();
  }
  std::lock_guard lock(detail::hubMutex);
  detail::currentHub.reset();
}

bool PluginHarness::loaded() const {
  return state_->plugin->loadCode() == 0;
}

int32_t PluginHarness::loadCode() const {
  return state_->plugin->loadCode();
}

const std::string& PluginHarness::errorText() const {
  return state_->plugin->errorText();
}

const core::LoadReply& PluginHarness::reply() const {
  return state_->plugin->reply();
}

uint32_t PluginHarness::pluginId() const {
  return state_->plugin->pluginId();
}

bool PluginHarness::exports(const char* name) const {
  return state_->plugin->Exports(name);
}

void PluginHarness::startWorker() {
  // The core starts a plugin's worker once; a second thread would run IOCTL code 1 twice.
  if (state_->workerStarted) return;
  state_->workerStarted = true;
  state_->plugin->ProvideWorkerThreadIf();
}

int PluginHarness::runWorker() {
  core::IoctlReply reply{};
  return state_->plugin->CallIoctl(core::kIoctlRunWorker, 0, nullptr, reply);
}

int32_t PluginHarness::open() {
  state_->plugin->Open();
  return state_->plugin->openCode();
}

void PluginHarness::close() {
  state_->plugin->Close();
}

void PluginHarness::unload() {
  if (state_->unloaded) return;
  Hub& hub = *state_->hub;
  {
    // A search entry waiting for the test to take a result would keep Unload waiting for ever.
    std::lock_guard lock(hub.mutex);
    hub.stopping = true;
    for (const auto& weak : hub.searches) {
      if (const auto run = weak.lock()) hub.refuseWaiting(*run);
    }
  }
  state_->plugin->Unload();  // waits for searches, joins the reader and the worker
  state_->unloaded = true;
}

bool PluginHarness::wants(const core::EventParms& event) const {
  return state_->plugin->WantsEvent(event);
}

int PluginHarness::deliver(core::EventParms event, std::string_view payload) {
  Hub& hub = *state_->hub;
  std::unique_ptr<uint8_t[]> bytes;
  if (!payload.empty()) {
    bytes.reset(new uint8_t[payload.size()]);
    std::memcpy(bytes.get(), payload.data(), payload.size());
  }
  event.data = bytes.get();
  event.length = static_cast<uint32_t>(payload.size());
  const void* data = bytes.get();
  if (data != nullptr) {
    std::lock_guard lock(hub.mutex);
    hub.blocks[data].bytes = std::move(bytes);
  }
  const int kept = state_->plugin->DeliverEvent(event);
  if (data != nullptr) {
    std::lock_guard lock(hub.mutex);
    const auto block = hub.blocks.find(data);
    block->second.delivering = false;
    if (kept == 0 && block->second.releasedEarly)
      ++hub.strayDecrefs;  // gave back what it never kept
    if (kept == 0 || block->second.releasedEarly) hub.blocks.erase(block);
    hub.changed.notify_all();
  }
  return kept;
}

int PluginHarness::sendPacket(uint32_t type, std::string_view payload, uint32_t reserved) {
  std::vector<uint8_t> packet(core::kIpcHeaderSize + payload.size());
  core::writeIpcHeader(packet.data(), {static_cast<uint32_t>(packet.size()),
                                       core::ipcRoute(pluginId()), type, reserved});
  if (!payload.empty())
    std::memcpy(packet.data() + core::kIpcHeaderSize, payload.data(), payload.size());
  return state_->plugin->DeliverIpcResult(static_cast<uint32_t>(packet.size()), packet.data());
}

int PluginHarness::sendRawPacket(const void* bytes, uint32_t length) {
  // A copy of exactly `length` bytes: a plugin reading past the packet reads past a heap block.
  std::vector<uint8_t> packet(length);
  if (length != 0) std::memcpy(packet.data(), bytes, length);
  return state_->plugin->DeliverIpcResult(length, packet.data());
}

int PluginHarness::ioctl(uint32_t code, const void* data, uint32_t length,
                         core::IoctlReply* reply) {
  core::IoctlReply filled{};
  const int result = state_->plugin->CallIoctl(code, length, data, filled);
  if (reply != nullptr) *reply = filled;
  return result;
}

std::unique_ptr<Search> PluginHarness::search(uint32_t type, std::string_view query,
                                              uint32_t requesterId) {
  if (query.empty()) {
    throw std::invalid_argument("a search needs a query: the core offers none without one");
  }
  auto run = std::make_shared<SearchRun>();
  run->hub = state_->hub;
  run->query.assign(query.begin(), query.end());
  // The low 16 bits count this harness's requests from 1, so no two searches share an identifier.
  const uint32_t requestId = core::makeAddress(requesterId, ++state_->nextRequest);
  // A source without plugin bits and a request identifier: a search request, as the core passes it.
  run->request = core::makeEventRecord(type, core::kFlagStored, 0, run->query.data(), query.size());
  run->request.requestId = requestId;
  {
    std::lock_guard lock(state_->hub->mutex);
    std::erase_if(state_->hub->searches, [](const auto& weak) { return weak.expired(); });
    state_->hub->searches.push_back(run);
  }
  auto plugin = state_->plugin;
  // Counted before the thread starts, so that Unload waits for it.
  plugin->SearchStarted();
  try {
    run->thread = std::thread([run, plugin] {
      Hub& hub = *run->hub;
      {
        std::lock_guard lock(hub.mutex);
        hub.searchThreads[std::this_thread::get_id()] = run;
      }
      const int result = plugin->DeliverSearch(run->request);
      {
        std::lock_guard lock(hub.mutex);
        hub.searchThreads.erase(std::this_thread::get_id());
        run->done = true;
        run->result = result;
        hub.changed.notify_all();
      }
      plugin->SearchEnded();
    });
  } catch (...) {
    plugin->SearchEnded();
    throw;
  }
  return std::unique_ptr<Search>(new Search(requestId, std::move(run)));
}

std::vector<PostedRecord> PluginHarness::posted() const {
  std::lock_guard lock(state_->hub->mutex);
  return state_->hub->posted;
}

std::vector<PostedRecord> PluginHarness::posted(uint32_t type) const {
  std::lock_guard lock(state_->hub->mutex);
  std::vector<PostedRecord> found;
  for (const PostedRecord& record : state_->hub->posted) {
    if (record.type() == type) found.push_back(record);
  }
  return found;
}

std::vector<LogLine> PluginHarness::logLines() const {
  std::lock_guard lock(state_->hub->mutex);
  return state_->hub->logLines;
}

std::vector<std::vector<uint8_t>> PluginHarness::packets() const {
  std::lock_guard lock(state_->hub->mutex);
  std::vector<std::vector<uint8_t>> found;
  for (const PostedRecord& record : state_->hub->posted) {
    if (record.type() == core::kTypeIpc) found.push_back(record.payload);
  }
  return found;
}

size_t PluginHarness::decrefs() const {
  std::lock_guard lock(state_->hub->mutex);
  return state_->hub->decrefs;
}

void PluginHarness::clearPosted() {
  Hub& hub = *state_->hub;
  std::lock_guard lock(hub.mutex);
  hub.firstSequence += hub.posted.size();
  hub.posted.clear();
  hub.logLines.clear();
}

bool PluginHarness::waitFor(const std::function<bool(const std::vector<PostedRecord>&)>& ready,
                            std::chrono::milliseconds timeout) {
  Hub& hub = *state_->hub;
  std::unique_lock lock(hub.mutex);
  return hub.changed.wait_for(lock, timeout, [&] { return ready(hub.posted); });
}

bool PluginHarness::waitForPosts(uint32_t type, size_t count, std::chrono::milliseconds timeout) {
  return waitFor(
      [&](const std::vector<PostedRecord>& posted) {
        size_t found = 0;
        for (const PostedRecord& record : posted) found += record.type() == type ? 1 : 0;
        return found >= count;
      },
      timeout);
}

void PluginHarness::setPostAnswer(uint32_t type, int answer) {
  std::lock_guard lock(state_->hub->mutex);
  state_->hub->answers[core::maskedType(type)] = answer;
}

size_t PluginHarness::heldReferences() const {
  std::lock_guard lock(state_->hub->mutex);
  size_t held = 0;
  for (const auto& [data, block] : state_->hub->blocks) {
    held += !block.delivering && !block.releasedEarly ? 1 : 0;
  }
  return held;
}

size_t PluginHarness::strayDecrefs() const {
  std::lock_guard lock(state_->hub->mutex);
  return state_->hub->strayDecrefs;
}

size_t PluginHarness::malformedPosts() const {
  std::lock_guard lock(state_->hub->mutex);
  return state_->hub->malformed;
}

}  // namespace kv::testkit
