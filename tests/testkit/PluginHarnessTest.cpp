// The test kit itself: what it answers, how it accounts for references, how it paces and cancels
// searches, and how it survives plugins that post from threads of their own.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "plugins/IpcPacket.h"
#include "testkit/PluginHarness.h"
#include "tests/support/HookPlugin.h"

namespace kv::testkit {
namespace {

using namespace kv::core;
using kv::test::PluginHooks;

constexpr uint32_t kHookAddress = makeAddress(0x31);

std::string testPlugin(const std::string& name) {
  return std::string(KV_TEST_PLUGIN_DIR) + "/" + name + ".so";
}

// The hook plugin with `hooks` installed before its Load runs.
std::unique_ptr<PluginHarness> hookedHarness(PluginHooks& hooks, HarnessOptions options = {}) {
  const std::string path = testPlugin("hook_search");
  void* handle = dlopen(path.c_str(), RTLD_NOW);
  EXPECT_NE(handle, nullptr) << dlerror();
  reinterpret_cast<kv::test::InstallHooksFn>(dlsym(handle, kv::test::kInstallHooks))(&hooks);
  if (!hooks.load) {
    hooks.load = [](LoadReply& reply) {
      reply.address = kHookAddress;
      reply.alarmSub = kSubLive;
    };
  }
  auto harness = std::make_unique<PluginHarness>(path, options);
  dlclose(handle);  // the harness holds the library now
  return harness;
}

EventParms alarm(std::string_view text) {
  return makeEventRecord(kTypeAlarm, kFlagLive, makeAddress(0x40), text.data(), text.size());
}

int decref(PluginHooks& hooks, const void* data) {
  EventParms record = makeEventRecord(kTypeDecref, 0, kHookAddress, data);
  return hooks.post(&record);
}

TEST(PluginHarnessLoadTest, FailedLoadsAreKeptWithTheCoreCodesAndStayHarmless) {
  struct Case {
    std::string path;
    int32_t code;
    std::string text;  // part of errorText
  };
  const Case cases[] = {
      {KV_TEST_NOT_A_LIBRARY, 79, "not_a_library.so"},
      {testPlugin("trace_no_unload"), -101, "missing Load()/Unload()"},
      {testPlugin("trace_load7"), 7, "load code 7"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    PluginHarness harness(c.path);
    EXPECT_FALSE(harness.loaded());
    EXPECT_EQ(harness.loadCode(), c.code);
    EXPECT_NE(harness.errorText().find(c.text), std::string::npos) << harness.errorText();
    // Nothing of the library is left to call: every driver call answers as the core's would.
    EXPECT_EQ(harness.open(), -102);
    EXPECT_EQ(harness.deliver(alarm("a"), "payload"), 0);
    EXPECT_EQ(harness.heldReferences(), 0u);
    auto search = harness.search(kTypeAlarm, "q");
    EXPECT_TRUE(search->finished());
    EXPECT_FALSE(search->next().has_value());
    harness.close();
    harness.unload();
  }
}

TEST(PluginHarnessLoadTest, OneHarnessAtATimeAndNoneAnswersAfterItsEnd) {
  PluginHooks hooks;
  auto harness = hookedHarness(hooks);
  ASSERT_TRUE(harness->loaded()) << harness->errorText();
  EXPECT_EQ(harness->pluginId(), 0x31u);
  EXPECT_TRUE(harness->exports(kEntryOnSearch));
  EXPECT_FALSE(harness->exports(kEntryIoctl));
  EXPECT_THROW(PluginHarness second(testPlugin("trace_full")), std::logic_error);

  PostEventFn post = hooks.post;
  harness.reset();
  // A thread the plugin left behind finds no core: refused, as after the core has gone.
  EventParms late = alarm("late");
  EXPECT_EQ(post(&late), kPostRefused);
  PluginHarness again(testPlugin("trace_full"));
  EXPECT_TRUE(again.loaded());
}

TEST(PluginHarnessAnswersTest, EachRequestIsAnsweredAsTheHeaderSays) {
  PluginHooks hooks;
  HarnessOptions options;
  options.logLevel = 50;
  auto harness = hookedHarness(hooks, options);
  const auto post = [&](EventParms record) { return hooks.post(&record); };

  EXPECT_EQ(post(makeEventRecord(kTypeLog, kFlagQuery, kHookAddress)), 50);

  const std::string text = "disk full";
  EventParms log =
      makeEventRecord(kTypeLog, kFlagLive | kFlagLogWrite, kHookAddress, text.data(), text.size());
  log.level = 75;
  EXPECT_EQ(post(log), 0);
  EventParms quiet =
      makeEventRecord(kTypeLog | kTypeModifier, kFlagLive, kHookAddress, text.data(), text.size());
  quiet.level = 100;  // with the modifier the core reads no level
  EXPECT_EQ(post(quiet), 0);
  const auto lines = harness->logLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].level, 75);
  EXPECT_EQ(lines[0].text, text);
  EXPECT_TRUE(lines[0].write);
  EXPECT_EQ(lines[1].level, 0);
  EXPECT_FALSE(lines[1].write);

  char buffer[32] = "secret";
  EventParms crypto =
      makeEventRecord(kTypeCrypto, kCryptoEncrypt, kHookAddress, buffer, sizeof buffer);
  crypto.dataLength = 6;
  EXPECT_EQ(post(crypto), kCryptoNoOutput);
  harness->setPostAnswer(kTypeCrypto, 0);
  EXPECT_EQ(post(crypto), 0);
  EXPECT_STREQ(buffer, "secret");

  const char packet[] = "packet bytes";
  EXPECT_EQ(post(makeEventRecord(kTypeIpc, 0, kHookAddress, packet, sizeof packet)), 0);
  ASSERT_EQ(harness->packets().size(), 1u);
  EXPECT_EQ(harness->packets()[0], std::vector<uint8_t>(packet, packet + sizeof packet));

  EventParms cancelQuery = makeEventRecord(kTypeCancel, kFlagQuery, kHookAddress);
  cancelQuery.requestId = makeAddress(0x31, 77);
  EXPECT_EQ(post(cancelQuery), 0);
  EventParms cancel = cancelQuery;
  cancel.flags = 0;
  EXPECT_EQ(post(cancel), 0);
  EXPECT_EQ(post(cancelQuery), 1);

  EXPECT_EQ(post(alarm("ordinary")), 0);
  harness->setPostAnswer(kTypeVideo, kPostDropThrottled);
  EXPECT_EQ(post(makeEventRecord(kTypeVideo, kFlagLive, kHookAddress)), kPostDropThrottled);
  EXPECT_EQ(post(makeEventRecord(kTypeVideo | kTypeModifier, kFlagLive, kHookAddress)),
            kPostDropThrottled);

  // A result outside any search, and a search request of the plugin's own.
  EventParms stray = makeEventRecord(kTypeAlarm, kFlagStored, kHookAddress, "r", 1);
  stray.requestId = makeAddress(0x31, 5);
  EXPECT_EQ(post(stray), kPostRefused);
  EventParms request = makeEventRecord(kTypeAlarm, kFlagStored, 0, "q", 1);
  request.requestId = makeAddress(0x31, 6);
  EXPECT_EQ(post(request), 0);

  EXPECT_EQ(harness->malformedPosts(), 0u);
  EventParms shorter = alarm("short");
  shorter.size = 100;
  post(shorter);
  EXPECT_EQ(harness->malformedPosts(), 1u);

  // Every post is recorded with its answer.
  const auto all = harness->posted();
  ASSERT_EQ(all.size(), 15u);
  EXPECT_EQ(all[0].answer, 50);
  EXPECT_EQ(all[4].answer, 0);
  EXPECT_EQ(all[10].answer, kPostDropThrottled);
  EXPECT_EQ(all[12].answer, kPostRefused);
  harness->clearPosted();
  EXPECT_TRUE(harness->posted().empty());
  EXPECT_TRUE(harness->logLines().empty());
}

TEST(PluginHarnessAnswersTest, PacketsReachThePluginWholeAndRoutedToIt) {
  PluginHooks hooks;
  std::vector<uint8_t> received;
  hooks.ipc = [&](const void* packet, uint32_t length) {
    const auto* bytes = static_cast<const uint8_t*>(packet);
    received.assign(bytes, bytes + length);
  };
  auto harness = hookedHarness(hooks);
  harness->sendPacket(0x55, "stats", 9);
  ASSERT_EQ(received.size(), kIpcHeaderSize + 5);
  const IpcHeader header = readIpcHeader(received.data());
  EXPECT_EQ(header.length, received.size());
  EXPECT_EQ(ipcRoutePluginId(header.route), 0x31u);
  EXPECT_EQ(header.type, 0x55u);
  EXPECT_EQ(header.reserved, 9u);
  EXPECT_EQ(std::string(received.begin() + kIpcHeaderSize, received.end()), "stats");
  const uint8_t raw[3] = {1, 2, 3};
  harness->sendRawPacket(raw, sizeof raw);
  EXPECT_EQ(received, std::vector<uint8_t>(raw, raw + 3));
}

TEST(PluginHarnessReferencesTest, KeptReleasedAndStrayDecrefsAreTold) {
  PluginHooks hooks;
  int keep = 1;
  std::vector<const void*> delivered;
  std::string seen;
  hooks.event = [&](const EventParms& event) {
    delivered.push_back(event.data);
    seen.assign(static_cast<const char*>(event.data), event.length);
    return keep;
  };
  auto harness = hookedHarness(hooks);
  harness->open();

  const std::string first = "first payload";
  EXPECT_EQ(harness->deliver(alarm("x"), first), 1);
  EXPECT_EQ(seen, first);
  EXPECT_NE(delivered[0], static_cast<const void*>(first.data()));  // a copy of its own
  keep = 0;
  EXPECT_EQ(harness->deliver(alarm("x"), "second"), 0);
  EXPECT_EQ(harness->heldReferences(), 1u);

  EXPECT_EQ(decref(hooks, delivered[0]), 0);
  EXPECT_EQ(harness->heldReferences(), 0u);
  EXPECT_EQ(harness->strayDecrefs(), 0u);
  EXPECT_EQ(decref(hooks, delivered[0]), 1);  // given back twice
  EXPECT_EQ(decref(hooks, delivered[1]), 1);  // never kept
  EXPECT_EQ(decref(hooks, &keep), 1);         // never delivered
  EXPECT_EQ(decref(hooks, nullptr), 0);       // nothing to give back: no fault
  EXPECT_EQ(harness->strayDecrefs(), 3u);
  EXPECT_EQ(harness->decrefs(), 5u);

  // A reference still held when the harness goes is freed with it (the leak checker would tell).
  keep = 1;
  EXPECT_EQ(harness->deliver(alarm("x"), "kept to the end"), 1);
  EXPECT_EQ(harness->heldReferences(), 1u);
}

TEST(PluginHarnessReferencesTest, AGiveBackDuringTheDeliverySettlesWithItsAnswer) {
  for (const int keep : {1, 0}) {
    SCOPED_TRACE(keep);
    PluginHooks hooks;
    hooks.event = [&](const EventParms& event) {
      // As from another thread of the plugin that got hold of the payload first.
      EXPECT_EQ(decref(hooks, event.data), 0);
      return keep;
    };
    auto harness = hookedHarness(hooks);
    harness->open();
    EXPECT_EQ(harness->deliver(alarm("x"), "payload"), keep);
    EXPECT_EQ(harness->heldReferences(), 0u);
    EXPECT_EQ(harness->strayDecrefs(), keep != 0 ? 0u : 1u);
  }
}

#if defined(__SANITIZE_ADDRESS__)
TEST(PluginHarnessReferencesDeathTest, APayloadReadAfterItsGiveBackIsAUseAfterFree) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        PluginHooks hooks;
        const void* kept = nullptr;
        hooks.event = [&](const EventParms& event) {
          kept = event.data;
          return 1;
        };
        auto harness = hookedHarness(hooks);
        harness->open();
        harness->deliver(alarm("x"), "payload");
        decref(hooks, kept);
        volatile uint8_t byte = *static_cast<const volatile uint8_t*>(kept);
        (void)byte;
      },
      "heap-use-after-free");
}
#endif

// One search thread of the hook plugin posting `count` alarm results; the answers it got, in order.
struct ResultPoster {
  std::mutex mutex;
  std::vector<int> answers;
  int cancelQuery = -1;
  int otherRequest = -1;

  void serve(PluginHooks& hooks, const EventParms& request, int count) {
    EventParms other = makeEventRecord(kTypeAlarm, kFlagStored, kHookAddress, "o", 1);
    other.requestId = request.requestId + 1;
    const int otherAnswer = hooks.post(&other);
    std::vector<int> got;
    for (int i = 0; i < count; ++i) {
      const std::string text = "result " + std::to_string(i);
      EventParms result =
          makeEventRecord(kTypeAlarm, kFlagStored, kHookAddress, text.data(), text.size());
      result.requestId = request.requestId;
      const int answer = hooks.post(&result);
      std::lock_guard lock(mutex);
      answers.push_back(answer);
    }
    EventParms query = makeEventRecord(kTypeCancel, kFlagQuery, kHookAddress);
    query.requestId = request.requestId;
    const int queried = hooks.post(&query);
    std::lock_guard lock(mutex);
    cancelQuery = queried;
    otherRequest = otherAnswer;
  }
  size_t returned() {
    std::lock_guard lock(mutex);
    return answers.size();
  }
};

bool hasStoredResults(const std::vector<PostedRecord>& posted, size_t count) {
  size_t found = 0;
  for (const PostedRecord& record : posted) {
    found += record.fromSearchRun && record.text().starts_with("result") ? 1 : 0;
  }
  return found >= count;
}

TEST(PluginHarnessSearchTest, PacedResultsWaitForTheTestAndCancelRefusesTheRest) {
  PluginHooks hooks;
  ResultPoster poster;
  hooks.search = [&](const EventParms& request) { poster.serve(hooks, request, 5); };
  auto harness = hookedHarness(hooks);
  harness->open();
  auto search = harness->search(kTypeAlarm, "everything", 0x44);
  EXPECT_EQ(addressSlot(search->requestId()), 0x44u);

  ASSERT_TRUE(harness->waitFor([](const auto& posted) { return hasStoredResults(posted, 1); }));
  // The first result waits until the test takes it; a result from the test's thread is refused.
  EXPECT_EQ(poster.returned(), 0u);
  EventParms foreign = makeEventRecord(kTypeAlarm, kFlagStored, kHookAddress, "f", 1);
  foreign.requestId = search->requestId();
  EXPECT_EQ(hooks.post(&foreign), kPostRefused);

  for (const char* expected : {"result 0", "result 1"}) {
    const auto result = search->next();
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->text(), expected);
    EXPECT_TRUE(result->fromSearchRun);
    EXPECT_EQ(result->record.requestId, search->requestId());
  }
  search->cancel();
  ASSERT_TRUE(search->finished());
  EXPECT_FALSE(search->next().has_value());
  EXPECT_EQ(search->result(), 0);
  EXPECT_EQ(poster.answers, (std::vector<int>{0, 0, 1, 1, 1}));
  EXPECT_EQ(poster.cancelQuery, 1);
  EXPECT_EQ(poster.otherRequest, kPostRefused);
  // The record of the result that waited at the cancel shows its refusal.
  std::vector<int> recorded;
  for (const PostedRecord& record : harness->posted(kTypeAlarm)) {
    if (record.text().starts_with("result")) recorded.push_back(record.answer);
  }
  EXPECT_EQ(recorded, poster.answers);
}

TEST(PluginHarnessSearchTest, UnpacedResultsPileUpInOrder) {
  PluginHooks hooks;
  ResultPoster poster;
  hooks.search = [&](const EventParms& request) { poster.serve(hooks, request, 4); };
  HarnessOptions options;
  options.pacedSearches = false;
  auto harness = hookedHarness(hooks, options);
  harness->open();
  auto search = harness->search(kTypeAlarm, "everything");
  ASSERT_TRUE(search->finished());
  EXPECT_EQ(poster.answers, (std::vector<int>{0, 0, 0, 0}));
  EXPECT_EQ(poster.cancelQuery, 0);
  for (int i = 0; i < 4; ++i) {
    const auto result = search->next();
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->text(), "result " + std::to_string(i));
  }
  EXPECT_FALSE(search->next().has_value());
}

TEST(PluginHarnessSearchTest, UnloadingRefusesAWaitingResultInsteadOfWaitingForEver) {
  PluginHooks hooks;
  ResultPoster poster;
  hooks.search = [&](const EventParms& request) { poster.serve(hooks, request, 3); };
  auto harness = hookedHarness(hooks);
  harness->open();
  auto search = harness->search(kTypeAlarm, "everything");
  ASSERT_TRUE(harness->waitFor([](const auto& posted) { return hasStoredResults(posted, 1); }));
  harness.reset();  // closes and unloads while the first result waits for the test
  EXPECT_TRUE(search->finished(std::chrono::milliseconds(0)));
  EXPECT_EQ(poster.answers, (std::vector<int>{1, 1, 1}));
  EXPECT_FALSE(search->next().has_value());
}

TEST(PluginHarnessThreadsTest, PostsFromSeveralThreadsAreAllRecordedInTheirOwnOrder) {
  PluginHooks hooks;
  std::mutex mutex;
  std::deque<const void*> toGiveBack;
  hooks.event = [&](const EventParms& event) {
    std::lock_guard lock(mutex);
    toGiveBack.push_back(event.data);
    return 1;
  };
  auto harness = hookedHarness(hooks);
  harness->open();

  constexpr int kThreads = 4;
  constexpr int kPosts = 200;
  std::atomic<bool> delivering{true};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPosts; ++i) {
        const std::string text = std::to_string(t) + " " + std::to_string(i);
        EventParms record = alarm(text);
        hooks.post(&record);
      }
    });
  }
  // A plugin thread gives back what the dispatch thread keeps, sometimes before OnEvent returned.
  std::thread giver([&] {
    for (;;) {
      const void* data = nullptr;
      {
        std::lock_guard lock(mutex);
        if (!toGiveBack.empty()) {
          data = toGiveBack.front();
          toGiveBack.pop_front();
        }
      }
      if (data != nullptr) {
        decref(hooks, data);
      } else if (!delivering.load()) {
        std::lock_guard lock(mutex);
        if (toGiveBack.empty()) return;
      } else {
        std::this_thread::yield();
      }
    }
  });
  for (int i = 0; i < kPosts; ++i) harness->deliver(alarm("x"), "frame " + std::to_string(i));
  delivering.store(false);
  for (auto& thread : threads) thread.join();
  giver.join();

  EXPECT_EQ(harness->heldReferences(), 0u);
  EXPECT_EQ(harness->strayDecrefs(), 0u);
  EXPECT_EQ(harness->decrefs(), static_cast<size_t>(kPosts));
  std::vector<int> next(kThreads, 0);
  size_t alarms = 0;
  for (const PostedRecord& record : harness->posted(kTypeAlarm)) {
    ++alarms;
    const std::string text(record.text());
    const int thread = std::stoi(text.substr(0, text.find(' ')));
    EXPECT_EQ(std::stoi(text.substr(text.find(' ') + 1)), next[thread]++);
  }
  EXPECT_EQ(alarms, static_cast<size_t>(kThreads * kPosts));
}

TEST(PluginHarnessThreadsTest, UnloadJoinsTheWorkerBeforeTheUnloadEntryRuns) {
  PluginHarness harness(KV_KIT_WORKER_PLUGIN);
  ASSERT_TRUE(harness.loaded()) << harness.errorText();
  harness.startWorker();
  harness.startWorker();  // the core starts it once
  harness.open();
  ASSERT_TRUE(harness.waitForPosts(kTypeAlarm, 1));
  harness.close();
  harness.unload();
  const auto posted = harness.posted(kTypeAlarm);
  ASSERT_FALSE(posted.empty());
  EXPECT_EQ(posted.front().text(), "worker started");
  EXPECT_EQ(posted.back().text(), "unload: worker ended");
  EXPECT_EQ(posted.size(), 2u + 2000u);
}

TEST(PluginHarnessThreadsTest, APluginThreadPostingFromLoadToUnloadIsServed) {
  // Its own thread posts search requests from inside Load until its Unload joins it.
  PluginHarness harness(testPlugin("search_poster"));
  ASSERT_TRUE(harness.loaded()) << harness.errorText();
  ASSERT_TRUE(harness.waitForPosts(kTypeVideo, 1));
  harness.open();
  harness.close();
  harness.clearPosted();
  ASSERT_TRUE(harness.waitForPosts(kTypeVideo, 10));  // after Close
  for (const PostedRecord& record : harness.posted(kTypeVideo)) {
    EXPECT_EQ(record.answer, 0);
    EXPECT_FALSE(namesOriginator(record.record.source));
  }
  harness.unload();
  harness.clearPosted();
  EXPECT_TRUE(harness.posted().empty());  // its thread ended with Unload
}

}  // namespace
}  // namespace kv::testkit
