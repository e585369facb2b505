// Loading, opening, closing and unloading real plugin libraries, and the delivery fallbacks.
#include "plugins/Plugin.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "tests/support/TracedPlugins.h"

namespace kv::core {
namespace {

using test::CallLog;
using test::tracePluginPath;
using Entries = std::vector<std::string>;

class PluginTest : public ::testing::Test {
 protected:
  void SetUp() override { CallLog::clear(); }

  // The system identifier doubles as the trace plugin's configuration; it must outlive the plugin.
  std::shared_ptr<Plugin> create(std::string_view variant, std::string config = "") {
    systemId_ = std::move(config);
    return Plugin::Create(tracePluginPath(variant), &CallLog::post, systemId_);
  }

  static EventParms makeEvent(uint32_t type, std::vector<uint8_t>& payload) {
    EventParms event = makeEventRecord(type, kFlagLive | 0x40, makeAddress(0x17, 3), payload.data(),
                                       payload.size());
    event.requestId = 0x00170009;
    event.level = 75;
    event.frameKind = 1;
    event.typeBytes52[131] = 0xEE;
    return event;
  }

  std::string systemId_;
};

TEST_F(PluginTest, LoadFailuresAreRecordedNotThrown) {
  auto notLibrary = Plugin::Create(KV_TEST_NOT_A_LIBRARY, &CallLog::post, systemId_);
  EXPECT_EQ(notLibrary->loadCode(), Plugin::kLoadDlopenFailed);
  EXPECT_NE(notLibrary->errorText().find("not_a_library.so"), std::string::npos)
      << notLibrary->errorText();
  EXPECT_EQ(notLibrary->fileName(), "not_a_library.so");
  EXPECT_FALSE(notLibrary->isLoaded());
  EXPECT_EQ(notLibrary->loadTime(), 0);

  const auto noUnload = create("no_unload");
  EXPECT_EQ(noUnload->loadCode(), Plugin::kLoadMissingEntry);
  EXPECT_EQ(noUnload->errorText(), "missing Load()/Unload()");
  EXPECT_FALSE(noUnload->isLoaded());
  EXPECT_EQ(noUnload->loadTime(), 0);

  auto load7 = create("load7");
  EXPECT_EQ(load7->loadCode(), 7);
  EXPECT_EQ(load7->errorText(), "load code 7");
  EXPECT_GT(load7->loadTime(), 0);
  EXPECT_FALSE(load7->isLoaded());

  // Opening a failed plugin finds nothing to bind.
  load7->Open();
  EXPECT_EQ(load7->openCode(), Plugin::kOpenMissingEntry);
  EXPECT_EQ(load7->errorText(), "missing Open()/Close()");
  EXPECT_FALSE(load7->isOpened());

  // Only the load that returned 7 ever ran: Load of no_unload was never called, and neither
  // failed plugin is unloaded when destroyed.
  notLibrary.reset();
  load7.reset();
  EXPECT_EQ(CallLog::entries(), Entries{"Load"});
}

TEST_F(PluginTest, LoadPassesItsRecordsAndKeepsTheReply) {
  const auto plugin = create("full", "address=0x00AB1234 write=1");
  ASSERT_EQ(plugin->loadCode(), 0) << plugin->errorText();
  EXPECT_TRUE(plugin->isLoaded());
  EXPECT_TRUE(plugin->errorText().empty());
  EXPECT_GT(plugin->loadTime(), 0);

  const auto load = CallLog::last("Load");
  const auto request = load.at<LoadRequest>();
  EXPECT_EQ(request.size, sizeof(LoadRequest));
  EXPECT_EQ(request.version, 4u);
  EXPECT_EQ(request.reserved, 0u);
  EXPECT_EQ(request.postEvent, &CallLog::post);
  EXPECT_EQ(request.systemId, systemId_.c_str());
  EXPECT_EQ(request.systemIdLength, systemId_.size());

  // The reply as the plugin found it: size and version, everything else zero.
  auto expectedReply = LoadReply{};
  expectedReply.size = sizeof(LoadReply);
  expectedReply.version = 3;
  const auto replyOnEntry = load.at<LoadReply>(sizeof(LoadRequest));
  EXPECT_EQ(std::memcmp(&replyOnEntry, &expectedReply, sizeof expectedReply), 0);

  EXPECT_EQ(plugin->reply().address, 0x00AB1234u);
  EXPECT_EQ(plugin->reply().closeOrder, 0x1234u);
  EXPECT_EQ(plugin->reply().acceptsWrite, 1);
  EXPECT_EQ(plugin->pluginId(), 0xABu);
}

TEST_F(PluginTest, PluginIdAndDisplayName) {
  EXPECT_EQ(create("full", "address=0x80000000")->pluginId(), 0u);

  const auto dir = std::filesystem::temp_directory_path() / "kv_plugin_names";
  std::filesystem::create_directories(dir);
  const auto dotted = dir / "Cam.Foo.so";
  std::filesystem::copy_file(tracePluginPath("full"), dotted,
                             std::filesystem::copy_options::overwrite_existing);
  const auto plugin = Plugin::Create(dotted, &CallLog::post, systemId_);
  EXPECT_EQ(plugin->fileName(), "Cam.Foo.so");
  EXPECT_EQ(plugin->displayName(), "Cam");
  plugin->ReleaseLibrary();
  std::filesystem::remove_all(dir);
}

TEST_F(PluginTest, LifecycleCallsEachEntryOnceWithItsRecords) {
  auto plugin = create("full");
  plugin->Open();
  EXPECT_TRUE(plugin->isOpened());
  EXPECT_EQ(plugin->openCode(), 0);
  EXPECT_GT(plugin->openTime(), 0);
  plugin->Open();  // opening an opened plugin calls nothing
  plugin->Close();
  EXPECT_FALSE(plugin->isOpened());
  plugin->Unload();
  EXPECT_FALSE(plugin->isLoaded());
  plugin.reset();  // nothing left to close or unload
  EXPECT_EQ(CallLog::entries(), (Entries{"Load", "Open", "Close", "Unload"}));

  const auto open = CallLog::last("Open");
  EXPECT_EQ(open.at<OpenRequest>().size, sizeof(OpenRequest));
  EXPECT_EQ(open.at<OpenRequest>().version, 1u);
  EXPECT_EQ(open.at<OpenReply>(sizeof(OpenRequest)).size, sizeof(OpenReply));
  const auto close = CallLog::last("Close");
  EXPECT_EQ(close.at<CloseRequest>().size, sizeof(CloseRequest));
  EXPECT_EQ(close.at<CloseReply>(sizeof(CloseRequest)).size, sizeof(CloseReply));
  EXPECT_EQ(close.at<CloseReply>(sizeof(CloseRequest)).reserved, 0u);
  const auto unload = CallLog::last("Unload");
  EXPECT_EQ(unload.at<UnloadRequest>().size, sizeof(UnloadRequest));
  EXPECT_EQ(unload.at<UnloadRequest>().version, 1u);
  EXPECT_EQ(unload.at<UnloadReply>(sizeof(UnloadRequest)).size, sizeof(UnloadReply));
}

TEST_F(PluginTest, DestructionClosesAndUnloadsWhatIsLeft) {
  create("full").reset();  // loaded, never opened
  EXPECT_EQ(CallLog::entries(), (Entries{"Load", "Unload"}));

  CallLog::clear();
  auto opened = create("full");
  opened->Open();
  opened.reset();
  EXPECT_EQ(CallLog::entries(), (Entries{"Load", "Open", "Close", "Unload"}));
}

TEST_F(PluginTest, PluginWithoutCloseIsNeverOpenedButKeepsLoadTimeEntries) {
  const auto plugin = create("no_close", "handled=1");
  plugin->Open();
  EXPECT_EQ(plugin->openCode(), Plugin::kOpenMissingEntry);
  EXPECT_EQ(plugin->errorText(), "missing Open()/Close()");
  EXPECT_FALSE(plugin->isOpened());

  std::vector<uint8_t> payload{1, 2, 3};
  auto video = makeEvent(kTypeVideo, payload);
  EXPECT_EQ(plugin->DeliverEvent(video), 0);      // OnEvent was never bound
  EXPECT_EQ(plugin->DeliverSearch(video), 0);     // nor OnSearch
  auto config = makeEvent(kTypeConfig, payload);  // IOCTL is bound at load
  EXPECT_EQ(plugin->DeliverEvent(config), 1);
  plugin->DeliverIpcResult(3, payload.data());
  EXPECT_EQ(CallLog::entries(), (Entries{"Load", "IOCTL", "OnIpcResult", "OnIpcResult done"}));
}

TEST_F(PluginTest, OnEventGetsTheRecordAndDecidesTheReference) {
  std::vector<uint8_t> payload{9, 8, 7, 6};
  auto event = makeEvent(kTypeVideo | kTypeModifier, payload);
  for (const auto& [config, kept] : {std::pair{"keep=0", 0}, std::pair{"keep=1", 1}}) {
    CallLog::clear();
    const auto plugin = create("full", config);
    plugin->Open();
    EXPECT_EQ(plugin->DeliverEvent(event), kept) << config;
    const auto delivered = CallLog::last("OnEvent").at<EventParms>();
    EXPECT_EQ(std::memcmp(&delivered, &event, sizeof event), 0);
  }
}

TEST_F(PluginTest, ConfigEventsFallBackToIoctlCodeTwo) {
  std::vector<uint8_t> payload{'<', 'x', '/', '>'};
  const auto config = makeEvent(kTypeConfig, payload);
  for (const auto& [settings, kept] :
       {std::pair{"write=1 handled=0", 0}, std::pair{"write=1 keepwrite=1 handled=1", 1}}) {
    CallLog::clear();
    const auto plugin = create("fallbacks", settings);
    plugin->Open();
    EXPECT_EQ(plugin->DeliverEvent(config), kept) << settings;
    // IOCTL takes configuration events even from a plugin that accepts Write.
    EXPECT_EQ(CallLog::entries(), (Entries{"Load", "Open", "IOCTL"}));
    const auto call = CallLog::last("IOCTL");
    const auto request = call.at<IoctlRequest>();
    EXPECT_EQ(request.size, sizeof(IoctlRequest));
    EXPECT_EQ(request.version, 1u);
    EXPECT_EQ(request.code, kIoctlConfigEvent);
    EXPECT_EQ(request.length, payload.size());
    EXPECT_EQ(request.data, payload.data());
    const auto reply = call.at<IoctlReply>(sizeof(IoctlRequest));
    EXPECT_EQ(reply.code, kIoctlConfigEvent);
    EXPECT_EQ(reply.handled, 0u);
  }

  // Without OnEvent and IOCTL, configuration events reach nobody, Write or not.
  CallLog::clear();
  const auto writeOnly = create("write_only", "write=1 keepwrite=1");
  writeOnly->Open();
  EXPECT_EQ(writeOnly->DeliverEvent(config), 0);
  EXPECT_EQ(CallLog::count("Write"), 0u);
}

TEST_F(PluginTest, OtherEventsFallBackToWriteWhenAccepted) {
  std::vector<uint8_t> payload{1, 2, 3, 4, 5};
  // The modifier bit makes a configuration event an ordinary one for the fallbacks.
  const auto event = makeEvent(kTypeConfig | kTypeModifier, payload);

  const auto refusing = create("fallbacks", "write=0");
  refusing->Open();
  EXPECT_EQ(refusing->DeliverEvent(event), 0);
  EXPECT_EQ(CallLog::count("Write"), 0u);
  EXPECT_EQ(CallLog::count("IOCTL"), 0u);

  for (const auto& [settings, kept] :
       {std::pair{"write=1", 0}, std::pair{"write=1 keepwrite=1", 1}}) {
    CallLog::clear();
    const auto plugin = create("write_only", settings);
    plugin->Open();
    EXPECT_EQ(plugin->DeliverEvent(event), kept) << settings;
    const auto call = CallLog::last("Write");
    const auto request = call.at<WriteRequest>();
    EXPECT_EQ(request.size, sizeof(WriteRequest));
    EXPECT_EQ(request.version, 1u);
    EXPECT_EQ(request.reserved[0], 0u);
    EXPECT_EQ(request.reserved[1], 0u);
    EXPECT_EQ(request.length, event.length);
    EXPECT_EQ(request.data, event.data);
    EXPECT_EQ(request.source, event.source);
    EXPECT_EQ(request.requestId, event.requestId);
    EXPECT_EQ(request.type, event.type);
    EXPECT_EQ(request.flags, event.flags);
    EXPECT_EQ(std::memcmp(request.typeParms, &event.parmsSize, kEventTypeParmsSize), 0);
    const auto reply = call.at<WriteReply>(sizeof(WriteRequest));
    EXPECT_EQ(reply.size, sizeof(WriteReply));
    EXPECT_EQ(reply.version, 1u);
    EXPECT_EQ(reply.keepReference, 0u);
  }
}

TEST_F(PluginTest, SearchesGoToOnSearchOrToReadForAReaderPlugin) {
  std::vector<uint8_t> query{'q', 'r', 'y'};
  auto request = makeEvent(kTypeVideo, query);
  request.flags = kFlagStored;

  const auto searcher = create("full");
  searcher->Open();
  searcher->DeliverSearch(request);
  const auto onSearch = CallLog::last("OnSearch").at<EventParms>();
  EXPECT_EQ(std::memcmp(&onSearch, &request, sizeof request), 0);

  // Read serves searches only for a plugin that asked for the reader.
  CallLog::clear();
  const auto notReader = create("fallbacks", "reader=0");
  notReader->Open();
  EXPECT_EQ(notReader->DeliverSearch(request), 0);
  EXPECT_EQ(CallLog::count("Read"), 0u);

  CallLog::clear();
  const auto reader = create("fallbacks", "reader=1");
  reader->Open();
  reader->DeliverSearch(request);
  reader->Close();
  reader->Unload();
  bool sawSearch = false;
  for (const auto& call : CallLog::calls()) {
    if (call.entry != "Read" || call.at<ReadRequest>().data == nullptr) continue;
    sawSearch = true;
    const auto read = call.at<ReadRequest>();
    EXPECT_EQ(read.size, sizeof(ReadRequest));
    EXPECT_EQ(read.version, 1u);
    EXPECT_EQ(read.reserved, 0u);
    EXPECT_EQ(read.readMode, 1);
    EXPECT_EQ(read.reserved13[0] | read.reserved13[1] | read.reserved13[2], 0);
    EXPECT_EQ(read.length, query.size());
    EXPECT_EQ(read.data, query.data());
    EXPECT_EQ(read.requestId, request.requestId);
    EXPECT_TRUE(call.at<bool>(sizeof(ReadRequest))) << "reply pointer must be null";
  }
  EXPECT_TRUE(sawSearch);
}

TEST_F(PluginTest, IpcPacketsGoToOnIpcResultOrIoctlCodeFour) {
  std::vector<uint8_t> packet(24, 0x5A);
  const auto full = create("full");
  full->DeliverIpcResult(static_cast<uint32_t>(packet.size()), packet.data());
  const auto onIpc = CallLog::last("OnIpcResult");
  EXPECT_EQ(onIpc.at<uint32_t>(), packet.size());
  EXPECT_EQ(std::vector<uint8_t>(onIpc.bytes.begin() + 4, onIpc.bytes.end()), packet);

  CallLog::clear();
  const auto fallback = create("fallbacks");
  fallback->DeliverIpcResult(static_cast<uint32_t>(packet.size()), packet.data());
  const auto ioctl = CallLog::last("IOCTL").at<IoctlRequest>();
  EXPECT_EQ(ioctl.code, kIoctlIpcPacket);
  EXPECT_EQ(ioctl.length, packet.size());
  EXPECT_EQ(ioctl.data, packet.data());

  CallLog::clear();
  const auto bare = create("bare");
  bare->Open();
  EXPECT_EQ(bare->DeliverIpcResult(static_cast<uint32_t>(packet.size()), packet.data()), 0);
  EXPECT_EQ(bare->DeliverEvent(makeEvent(kTypeConfig, packet)), 0);
  EXPECT_EQ(CallLog::entries(), (Entries{"Load", "Open"}));
}

TEST_F(PluginTest, NothingIsDeliveredAfterTheLibraryIsReleased) {
  std::vector<uint8_t> payload{1};
  const auto plugin = create("full", "handled=1");
  plugin->Open();
  plugin->Close();
  EXPECT_EQ(plugin->DeliverEvent(makeEvent(kTypeVideo, payload)), 0);  // OnEvent unbound at close
  plugin->DeliverIpcResult(1, payload.data());  // OnIpcResult stays bound until the release
  EXPECT_EQ(CallLog::count("OnIpcResult"), 1u);
  plugin->Unload();
  EXPECT_EQ(plugin->DeliverIpcResult(1, payload.data()), 0);
  EXPECT_EQ(plugin->DeliverEvent(makeEvent(kTypeConfig, payload)), 0);
  EXPECT_EQ(CallLog::count("OnIpcResult"), 1u);
  EXPECT_EQ(CallLog::count("IOCTL"), 0u);
}

}  // namespace
}  // namespace kv::core
