// The worker and reader threads the core runs for a plugin, and deliveries racing a close.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "plugins/Plugin.h"
#include "tests/support/TracedPlugins.h"

namespace kv::core {
namespace {

using test::CallLog;
using test::tracePluginPath;

class PluginThreadsTest : public ::testing::Test {
 protected:
  void SetUp() override { CallLog::clear(); }

  std::shared_ptr<Plugin> create(std::string_view variant, std::string config) {
    systemId_ = std::move(config);
    return Plugin::Create(tracePluginPath(variant), &CallLog::post, systemId_);
  }

  static size_t indexOf(const std::vector<std::string>& entries, const std::string& entry) {
    return std::find(entries.begin(), entries.end(), entry) - entries.begin();
  }

  std::string systemId_;
};

TEST_F(PluginThreadsTest, WorkerStartsBeforeOpenReaderAfterItBothJoinedBeforeUnload) {
  const auto plugin = create("full", "worker=1 reader=1");
  plugin->ProvideWorkerThreadIf();
  // The worker's IOCTL runs without the plugin being opened.
  ASSERT_TRUE(CallLog::waitFor("IOCTL"));
  EXPECT_EQ(CallLog::count("Open"), 0u);
  const auto worker = CallLog::last("IOCTL");
  const auto request = worker.at<IoctlRequest>();
  EXPECT_EQ(request.size, sizeof(IoctlRequest));
  EXPECT_EQ(request.code, kIoctlRunWorker);
  EXPECT_EQ(request.length, 0u);
  EXPECT_EQ(request.data, nullptr);
  EXPECT_EQ(worker.at<IoctlReply>(sizeof(IoctlRequest)).code, kIoctlRunWorker);

  plugin->Open();
  ASSERT_TRUE(CallLog::waitFor("Read"));
  const auto reader = CallLog::last("Read");
  EXPECT_EQ(reader.at<ReadRequest>().readMode, 1);
  EXPECT_EQ(reader.at<ReadRequest>().length, 0u);
  EXPECT_EQ(reader.at<ReadRequest>().data, nullptr);
  EXPECT_EQ(reader.at<ReadRequest>().requestId, 0u);
  EXPECT_TRUE(reader.at<bool>(sizeof(ReadRequest))) << "reply pointer must be null";

  // Both calls block until Close; Unload joins them before it calls the plugin's Unload.
  plugin->Close();
  plugin->Unload();
  const auto entries = CallLog::entries();
  EXPECT_EQ(entries.back(), "Unload");
  EXPECT_EQ(std::count(entries.begin(), entries.end(), "IOCTL"), 1);
  EXPECT_EQ(std::count(entries.begin(), entries.end(), "Read"), 1);
}

TEST_F(PluginThreadsTest, ThreadsStartOnlyWhenAskedForAndExported) {
  // Asked for, but without IOCTL or Read exported: no thread and no error.
  const auto missing = create("write_only", "worker=1 reader=1");
  missing->ProvideWorkerThreadIf();
  missing->Open();
  missing->Close();
  missing->Unload();

  // Exported but not asked for.
  const auto unasked = create("full", "worker=0 reader=0");
  unasked->ProvideWorkerThreadIf();
  unasked->Open();
  unasked->Close();
  unasked->Unload();
  EXPECT_EQ(CallLog::count("IOCTL"), 0u);
  EXPECT_EQ(CallLog::count("Read"), 0u);

  // A plugin that can't be opened gets no reader thread.
  const auto unopenable = create("no_close", "reader=1");
  unopenable->Open();
  unopenable->Unload();
  EXPECT_EQ(CallLog::count("Read"), 0u);
}

// An IPC delivery in progress on another thread holds the library open: Unload returns only after
// the plugin's call has returned, and deliveries after it call nothing.
TEST_F(PluginThreadsTest, IpcDeliveryRacingCloseAndUnloadNeverOutlivesTheLibrary) {
  for (const auto& [variant, entry] :
       {std::pair{"full", "OnIpcResult"}, std::pair{"fallbacks", "IOCTL"}}) {
    CallLog::clear();
    const auto plugin = create(variant, "ipcsleep=300");
    plugin->Open();
    const uint8_t packet[16] = {16};
    std::thread io([&] { plugin->DeliverIpcResult(sizeof packet, packet); });
    ASSERT_TRUE(CallLog::waitFor(entry)) << variant;
    plugin->Close();
    plugin->Unload();
    const std::string done = std::string(entry) + " done";
    EXPECT_EQ(CallLog::count(done), 1u) << variant << ": the library was released mid-call";
    io.join();
    EXPECT_EQ(plugin->DeliverIpcResult(sizeof packet, packet), 0);
    EXPECT_EQ(CallLog::count(entry), 1u) << variant;
  }
}

TEST_F(PluginThreadsTest, ManyDeliveriesRacingTheReleaseStopCleanly) {
  const auto plugin = create("full", "");
  plugin->Open();
  std::atomic<bool> released{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&] {
      const uint8_t packet[16] = {};
      while (!released.load()) {
        plugin->DeliverIpcResult(sizeof packet, packet);
      }
      for (int i = 0; i < 100; ++i) plugin->DeliverIpcResult(sizeof packet, packet);
    });
  }
  ASSERT_TRUE(CallLog::waitFor("OnIpcResult", 30));
  plugin->Close();
  plugin->Unload();
  const size_t callsAtRelease = CallLog::count("OnIpcResult");
  released = true;
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(CallLog::count("OnIpcResult"), callsAtRelease);
  EXPECT_EQ(CallLog::count("OnIpcResult done"), callsAtRelease);
}

// Once its Unload has begun a plugin gets no packet, however long Unload takes: the entries are
// cleared and deliveries in flight have returned before it is called.
TEST_F(PluginThreadsTest, NoPacketReachesAPluginDuringItsUnload) {
  for (const auto& [variant, entry] :
       {std::pair{"full", "OnIpcResult"}, std::pair{"fallbacks", "IOCTL"}}) {
    CallLog::clear();
    const auto plugin = create(variant, "unloadsleep=200");
    plugin->Open();
    std::atomic<bool> unloaded{false};
    std::thread io([&] {
      const uint8_t packet[16] = {16};
      while (!unloaded.load()) plugin->DeliverIpcResult(sizeof packet, packet);
    });
    ASSERT_TRUE(CallLog::waitFor(entry, 30)) << variant;
    plugin->Close();
    plugin->Unload();
    unloaded = true;
    io.join();
    const auto entries = CallLog::entries();
    const auto unload = std::find(entries.begin(), entries.end(), "Unload");
    ASSERT_NE(unload, entries.end()) << variant;
    EXPECT_EQ(std::find(unload, entries.end(), entry), entries.end()) << variant;
  }
}

}  // namespace
}  // namespace kv::core
