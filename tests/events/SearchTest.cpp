// Search requests served by hook plugins on their own threads: eligibility, results only from
// search threads, one result payload in flight, cancel, revive and stop.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <semaphore>
#include <set>
#include <thread>

#include "tests/support/CoreFixture.h"

namespace kv::core {
namespace {

using namespace std::chrono_literals;
using test::CoreTest;
using test::PluginHooks;

constexpr uint32_t kServerId = 0x0A;
constexpr uint32_t kRequester = makeAddress(0x12);
constexpr uint32_t kRequestId = 0x00120001;  // requester 0x12 in bits 16 to 23

class SearchTest : public CoreTest {
 protected:
  static EventParms searchRecord(uint32_t requestId = kRequestId, uint32_t source = 3) {
    auto search = record(kTypeVideo, kFlagStored, source, "query");
    search.requestId = requestId;
    return search;
  }

  // A result of request `requestId` from the server, posted through the plugin's post function.
  static int postResult(PluginHooks& hooks, uint32_t requestId, std::string_view payload) {
    auto result = record(kTypeVideo, kFlagStored, makeAddress(kServerId), payload);
    result.requestId = requestId;
    return hooks.post(&result);
  }

  static int cancel(uint32_t requestId, uint32_t flags = 0) {
    auto event = record(kTypeCancel, flags, kRequester);
    event.requestId = requestId;
    return postEvent(&event);
  }

  // The queued records removed from the queue; each still holds the queue's reference.
  std::vector<EventParms> takeQueue() {
    std::lock_guard lock(core_->queue.queueMutex);
    std::vector<EventParms> taken(core_->queue.eventQueue.begin(), core_->queue.eventQueue.end());
    core_->queue.eventQueue.clear();
    return taken;
  }

  void expectNoBlocks() {
    EXPECT_EQ(core_->counters.refblkCount.load(), 0u);
    EXPECT_EQ(core_->counters.heldRefs[0].load(), 0);
  }

  // A server that posts a first result, then a second one that waits for the first to go, asks
  // whether its request is cancelled and posts a last result without payload, which never waits.
  std::shared_ptr<Plugin> addPacedServer(PluginHooks& hooks) {
    hooks.load = [](LoadReply& reply) { reply.address = makeAddress(kServerId); };
    hooks.search = [this, &hooks](const EventParms& request) {
      firstResult_ = postResult(hooks, request.requestId, "result one");
      firstPosted_.release();
      secondResult_ = postResult(hooks, request.requestId, "result two");
      auto query = record(kTypeCancel, kFlagQuery, makeAddress(kServerId));
      query.requestId = request.requestId;
      cancelQuery_ = hooks.post(&query);
      lateResult_ = postResult(hooks, request.requestId, "");
    };
    return addHookPlugin("hook_search", hooks);
  }

  // Starts a search served by a paced server and waits until its first result is posted.
  void startPacedSearch(EventParms& search) {
    addPacedServer(newHooks());
    ASSERT_EQ(postEvent(&search), kPostAccepted);
    ASSERT_TRUE(firstPosted_.try_acquire_for(30s));
  }

  // Takes everything off the queue and drops the queue's references, as delivery would.
  void releaseQueue() {
    for (const auto& entry : takeQueue()) core_->releaseRef(entry.data, 0);
  }

  // The second result is still waiting: it can't return while the first payload is held.
  bool secondStillWaiting() {
    std::this_thread::sleep_for(50ms);
    return secondResult_.load() == kPending;
  }

  static constexpr int kPending = -99;
  std::binary_semaphore firstPosted_{0};
  std::atomic<int> firstResult_{kPending};
  std::atomic<int> secondResult_{kPending};
  std::atomic<int> cancelQuery_{kPending};
  std::atomic<int> lateResult_{kPending};
};

TEST_F(SearchTest, OneThreadPerEligiblePlugin) {
  std::mutex mutex;
  std::condition_variable bothRunning;
  std::set<std::thread::id> threads;
  std::vector<std::string> payloads;
  // Each search waits for the other, which proves that they run at the same time.
  auto serve = [&](const EventParms& request) {
    std::unique_lock lock(mutex);
    threads.insert(std::this_thread::get_id());
    payloads.emplace_back(static_cast<const char*>(request.data), request.length);
    bothRunning.notify_all();
    bothRunning.wait_for(lock, 30s, [&] { return payloads.size() >= 2; });
  };
  auto& withOnSearch = newHooks();
  auto& reader = newHooks();
  auto& readerWithoutStored = newHooks();
  auto& storedWithoutReader = newHooks();
  auto& ptzOnly = newHooks();
  withOnSearch.load = [](LoadReply& r) { r.address = makeAddress(0x0A); };  // no stored bit
  reader.load = [](LoadReply& r) {
    r.address = makeAddress(0x0B);
    r.startAsyncReader = 1;
    r.analyticSub = kSubStored;
  };
  readerWithoutStored.load = [](LoadReply& r) {
    r.address = makeAddress(0x0C);
    r.startAsyncReader = 1;
    r.videoSub = kSubLive;
  };
  storedWithoutReader.load = [](LoadReply& r) {
    r.address = makeAddress(0x0D);
    r.posSub = kSubStored;
  };
  ptzOnly.load = [](LoadReply& r) {  // ptz and serial words don't count for searches
    r.address = makeAddress(0x0E);
    r.startAsyncReader = 1;
    r.ptzSub = r.serialSub = kSubStored;
  };
  for (auto* hooks :
       {&withOnSearch, &reader, &readerWithoutStored, &storedWithoutReader, &ptzOnly}) {
    hooks->search = serve;
  }
  addHookPlugin("hook_search", withOnSearch);
  addHookPlugin("hook_read", reader);
  addHookPlugin("hook_read", readerWithoutStored);
  addHookPlugin("hook_read", storedWithoutReader);
  addHookPlugin("hook_read", ptzOnly);

  auto search = searchRecord();
  EXPECT_EQ(postEvent(&search), kPostAccepted);
  for (const auto& plugin : core_->plugins) plugin->WaitForSearches();
  EXPECT_EQ(threads.size(), 2u);
  EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
  EXPECT_EQ(payloads, (std::vector<std::string>{"query", "query"}));
  EXPECT_EQ(core_->counters.searchesRequested.load(), 1u);
  EXPECT_TRUE(queued().empty());

  // With plugin bits in the source the same record is no search request but a result, which
  // only a search thread may post.
  auto notSearch = searchRecord(kRequestId, 0x00120000);
  EXPECT_EQ(postEvent(&notSearch), kPostRefused);
  EXPECT_EQ(core_->counters.searchesRequested.load(), 1u);
  expectNoBlocks();
}

TEST_F(SearchTest, AResultWaitsUntilEveryHolderReleasedThePrevious) {
  auto search = searchRecord();
  startPacedSearch(search);
  EXPECT_EQ(firstResult_.load(), kPostAccepted);
  EXPECT_TRUE(secondStillWaiting());

  // Dispatch: the requester keeps the result, the queue's reference goes.
  auto first = takeQueue();
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].requestId, kRequestId);
  core_->addRef(first[0].data, 0x12);
  core_->releaseRef(first[0].data, 0);
  EXPECT_TRUE(secondStillWaiting());

  auto decref = record(kTypeDecref, 0, kRequester);
  decref.data = first[0].data;
  EXPECT_EQ(postEvent(&decref), kPostAccepted);
  core_->plugins[0]->WaitForSearches();
  EXPECT_EQ(secondResult_.load(), kPostAccepted);
  EXPECT_EQ(cancelQuery_.load(), 0);
  EXPECT_EQ(lateResult_.load(), kPostAccepted);
  EXPECT_EQ(core_->counters.searchResults.load(), 3u);
  EXPECT_EQ(core_->counters.searchResultBytes.load(), 20u);
  releaseQueue();
  expectNoBlocks();
}

TEST_F(SearchTest, ACancelRefusesTheWaitingResultAndARequestRevivesIt) {
  auto search = searchRecord();
  startPacedSearch(search);
  EXPECT_TRUE(secondStillWaiting());

  EXPECT_EQ(cancel(kRequestId), kPostAccepted);
  core_->plugins[0]->WaitForSearches();
  EXPECT_EQ(secondResult_.load(), kPostRefused);  // woken by the cancel, not left waiting
  EXPECT_EQ(cancelQuery_.load(), kPostRefused);
  EXPECT_EQ(lateResult_.load(), kPostRefused);
  EXPECT_EQ(core_->counters.refblkCount.load(), 1u);  // refused payloads were freed at once
  EXPECT_EQ(core_->counters.searchCancels.load(), 1u);

  // A new request with the same identifier makes results acceptable again; the first result is
  // still queued, but each search thread has its own payload in flight.
  firstResult_ = secondResult_ = kPending;
  ASSERT_EQ(postEvent(&search), kPostAccepted);
  ASSERT_TRUE(firstPosted_.try_acquire_for(30s));
  EXPECT_EQ(firstResult_.load(), kPostAccepted);
  EXPECT_EQ(cancel(kRequestId, kFlagQuery), kPostAccepted);
  EXPECT_TRUE(secondStillWaiting());
  auto results = takeQueue();
  ASSERT_EQ(results.size(), 2u);
  for (const auto& entry : results) core_->releaseRef(entry.data, 0);
  core_->plugins[0]->WaitForSearches();
  EXPECT_EQ(secondResult_.load(), kPostAccepted);
  releaseQueue();
  expectNoBlocks();
}

TEST_F(SearchTest, AStopWakesAWaitingResult) {
  auto search = searchRecord();
  startPacedSearch(search);
  EXPECT_TRUE(secondStillWaiting());
  core_->requestStop();
  core_->plugins[0]->WaitForSearches();
  EXPECT_EQ(secondResult_.load(), kPostRefused);
  releaseQueue();
  expectNoBlocks();
}

TEST_F(SearchTest, ASearchFromASearchThreadIsSwallowed) {
  auto& server = newHooks();
  std::atomic<int> searches{0};
  std::atomic<int> nested{kPending};
  server.load = [](LoadReply& reply) { reply.address = makeAddress(kServerId); };
  server.search = [&](const EventParms&) {
    if (searches++ > 0) return;
    auto inner = searchRecord(0x000A0005);
    nested = server.post(&inner);
  };
  addHookPlugin("hook_search", server);
  auto search = searchRecord();
  ASSERT_EQ(postEvent(&search), kPostAccepted);
  core_->plugins[0]->WaitForSearches();
  EXPECT_EQ(nested.load(), kPostAccepted);
  EXPECT_EQ(searches.load(), 1);
  EXPECT_EQ(core_->counters.searchesRequested.load(), 1u);
}

TEST_F(SearchTest, TwoRequestsRunOnTwoThreadsWithTheirOwnPayloadInFlight) {
  auto& server = newHooks();
  std::counting_semaphore<2> firsts{0};
  std::atomic<int> seconds{0};
  server.load = [](LoadReply& reply) { reply.address = makeAddress(kServerId); };
  server.search = [&](const EventParms& request) {
    EXPECT_EQ(postResult(server, request.requestId, "one"), kPostAccepted);
    firsts.release();
    EXPECT_EQ(postResult(server, request.requestId, "two"), kPostAccepted);
    ++seconds;
  };
  addHookPlugin("hook_search", server);
  for (uint32_t id : {kRequestId, kRequestId + 1}) {
    auto search = searchRecord(id);
    ASSERT_EQ(postEvent(&search), kPostAccepted);
  }
  ASSERT_TRUE(firsts.try_acquire_for(30s));
  ASSERT_TRUE(firsts.try_acquire_for(30s));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(seconds.load(), 0);
  const auto firstResults = takeQueue();
  ASSERT_EQ(firstResults.size(), 2u);
  EXPECT_NE(firstResults[0].requestId, firstResults[1].requestId);
  for (const auto& entry : firstResults) core_->releaseRef(entry.data, 0);
  core_->plugins[0]->WaitForSearches();
  EXPECT_EQ(seconds.load(), 2);
  releaseQueue();
  expectNoBlocks();
}

TEST_F(SearchTest, UnloadingWaitsForARunningSearch) {
  auto& server = newHooks();
  std::binary_semaphore started{0};
  std::atomic<bool> searchDone{false};
  std::atomic<bool> doneAtUnload{false};
  server.load = [](LoadReply& reply) { reply.address = makeAddress(kServerId); };
  server.search = [&](const EventParms&) {
    started.release();
    std::this_thread::sleep_for(300ms);
    searchDone = true;
  };
  server.unload = [&] { doneAtUnload = searchDone.load(); };
  const auto plugin = addHookPlugin("hook_search", server);
  auto search = searchRecord();
  ASSERT_EQ(postEvent(&search), kPostAccepted);
  ASSERT_TRUE(started.try_acquire_for(30s));
  plugin->Close();
  plugin->Unload();
  EXPECT_TRUE(doneAtUnload.load());
  EXPECT_EQ(plugin->RunningSearches(), 0u);
}

// A flood of requests can't make threads without end: past the limit a request is refused whole,
// and the run of refusals is logged when it starts and, with its count, when it ends.
TEST_F(SearchTest, SearchThreadsHaveALimitAndARunOfRefusalsIsLoggedOnce) {
  std::mutex mutex;
  std::condition_variable released;
  bool go = false;
  std::atomic<uint32_t> running{0};
  auto& server = newHooks();
  server.load = [](LoadReply& reply) { reply.address = makeAddress(kServerId); };
  server.search = [&](const EventParms&) {
    running.fetch_add(1);
    std::unique_lock lock(mutex);
    released.wait(lock, [&] { return go; });
  };
  const auto plugin = addHookPlugin("hook_search", server);
  const auto linesWith = [this](std::string_view text) {
    const auto lines = logLines();
    return std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
      return line.find(text) != std::string::npos;
    });
  };

  auto search = searchRecord();
  for (uint32_t i = 0; i < SearchState::kMaxSearchThreads; ++i) {
    ASSERT_EQ(postEvent(&search), kPostAccepted) << i;
  }
  for (int i = 0; i < 3; ++i) EXPECT_EQ(postEvent(&search), kPostRefused);
  EXPECT_EQ(linesWith("search threads at their limit of 64: refusing search requests"), 1);
  EXPECT_EQ(core_->counters.searchesRequested.load(), SearchState::kMaxSearchThreads);

  {
    std::lock_guard lock(mutex);
    go = true;
  }
  released.notify_all();
  plugin->WaitForSearches();
  {
    // The core's count goes down as each thread's last step, just after the plugin's count.
    std::unique_lock lock(core_->searches.searchThreadMutex);
    core_->searches.searchThreadCond.wait(lock, [&] { return core_->searches.searchThreads == 0; });
  }
  EXPECT_EQ(postEvent(&search), kPostAccepted);
  EXPECT_EQ(linesWith("search requests accepted again after 3 refused"), 1);
  plugin->WaitForSearches();
  EXPECT_EQ(running.load(), SearchState::kMaxSearchThreads + 1);
}

}  // namespace
}  // namespace kv::core
