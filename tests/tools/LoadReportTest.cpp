// What korva-inspect derives from a LoadReply and an export list: the IOCTL codes the core will
// send, whether searches reach the plugin, and how subscription words read.
#include "tools/LoadReport.h"

#include <gtest/gtest.h>

#include <sstream>

#include "events/EventParms.h"

namespace kv::tools {
namespace {

using namespace kv::core;

const std::vector<std::string> kAll = {"Load",     "Unload", "Open",  "Close",       "OnEvent",
                                       "OnSearch", "Read",   "Write", "OnIpcResult", "IOCTL"};

InspectedPlugin pluginWithout(std::initializer_list<std::string> missing) {
  InspectedPlugin plugin;
  plugin.fileName = "p.so";
  for (const std::string& name : kAll) {
    if (std::find(missing.begin(), missing.end(), name) == missing.end()) {
      plugin.exports.push_back(name);
    }
  }
  return plugin;
}

TEST(InspectReportTest, IoctlCodesFollowTheCoresFallbacks) {
  struct Case {
    const char* what;
    std::initializer_list<std::string> missing;
    bool worker;
    std::vector<uint32_t> codes;
  };
  const Case cases[] = {
      {"everything exported, no worker", {}, false, {}},
      {"worker asked for", {}, true, {kIoctlRunWorker}},
      {"worker asked for without IOCTL", {"IOCTL", "OnEvent", "OnIpcResult"}, true, {}},
      {"no OnEvent", {"OnEvent"}, false, {kIoctlConfigEvent}},
      {"no OnIpcResult", {"OnIpcResult"}, false, {kIoctlIpcPacket}},
      {"neither",
       {"OnEvent", "OnIpcResult"},
       true,
       {kIoctlRunWorker, kIoctlConfigEvent, kIoctlIpcPacket}},
      // OnEvent is bound only when the plugin is opened, IOCTL already at load.
      {"OnEvent but no Close", {"Close"}, false, {kIoctlConfigEvent}},
      {"OnEvent but no Open", {"Open"}, false, {kIoctlConfigEvent}},
  };
  for (const Case& c : cases) {
    InspectedPlugin plugin = pluginWithout(c.missing);
    plugin.reply.provideWorkerThread = c.worker ? 1 : 0;
    EXPECT_EQ(ioctlCodes(plugin), c.codes) << c.what;
  }
}

TEST(InspectReportTest, SearchesReachOnSearchOrAReaderWithAStoredWord) {
  struct Case {
    const char* what;
    std::initializer_list<std::string> missing;
    uint8_t reader;
    uint32_t LoadReply::*word;
    uint32_t bits;
    std::string entry;
  };
  const Case cases[] = {
      {"OnSearch, no stored word", {}, 0, &LoadReply::videoSub, kSubLive, "OnSearch"},
      {"Read with stored alarms", {"OnSearch"}, 1, &LoadReply::alarmSub, kSubStored, "Read"},
      {"Read with stored analytics", {"OnSearch"}, 1, &LoadReply::analyticSub, kSubStored, "Read"},
      {"Read without the reader", {"OnSearch"}, 0, &LoadReply::alarmSub, kSubStored, ""},
      {"Read with only live words", {"OnSearch"}, 1, &LoadReply::videoSub, kSubLive, ""},
      // The core doesn't read the stored bit of the PTZ and serial words.
      {"Read with stored PTZ", {"OnSearch"}, 1, &LoadReply::ptzSub, kSubStored, ""},
      {"Read with stored serial", {"OnSearch"}, 1, &LoadReply::serialSub, kSubStored, ""},
      {"reader asked for without Read",
       {"OnSearch", "Read"},
       1,
       &LoadReply::logSub,
       kSubStored,
       ""},
      {"OnSearch but no Close", {"Close"}, 0, &LoadReply::videoSub, kSubStored, ""},
  };
  for (const Case& c : cases) {
    InspectedPlugin plugin = pluginWithout(c.missing);
    plugin.reply.startAsyncReader = c.reader;
    plugin.reply.*c.word = c.bits;
    EXPECT_EQ(searchEntry(plugin), c.entry) << c.what;
  }
}

TEST(InspectReportTest, SubscriptionWordsSplitIntoLiveStoredAndOwnBits) {
  EXPECT_EQ(describeSubscription({"video", 0, true}), "none");
  EXPECT_EQ(describeSubscription({"log", kSubLive | kSubStored | 0x10, true}),
            "live, stored, own bits 0x00000010");
  EXPECT_EQ(describeSubscription({"ptz", kSubStored, false}), "stored (not read for this type)");
  EXPECT_EQ(describeSubscription({"pos", 0x80000001u, true}), "own bits 0x80000001");

  LoadReply reply{};
  reply.posSub = 1;
  reply.analyticSub = 2;
  const auto words = subscriptionWords(reply);
  EXPECT_STREQ(words[6].type, "pos");
  EXPECT_EQ(words[6].word, 1u);
  EXPECT_STREQ(words[7].type, "analytic");
  EXPECT_EQ(words[7].word, 2u);
}

TEST(InspectReportTest, ReportNamesTheIdAndItsRule) {
  struct Case {
    uint32_t address;
    const char* id;
    const char* rule;
  };
  const Case cases[] = {
      {makeAddress(0x42, 7), "42", "special rule    none\n"},
      // The core's own address has ID 0 and neither rule, though 0x80000000 has no plugin bits.
      {kCoreAddress, "00", "special rule    none (the core's own address)"},
      {0x80060000u, "06", "special rule    ID 06 is loaded first"},
  };
  for (const Case& c : cases) {
    InspectedPlugin plugin = pluginWithout({});
    plugin.reply.address = c.address;
    std::ostringstream out;
    writeReport(out, plugin);
    EXPECT_NE(out.str().find(std::string("plugin ID       ") + c.id + "\n"), std::string::npos)
        << out.str();
    EXPECT_NE(out.str().find(c.rule), std::string::npos) << out.str();
  }
}

}  // namespace
}  // namespace kv::tools
