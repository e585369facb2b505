// Which plugin receives which record, row by row.
#include <gtest/gtest.h>

#include "tests/support/CoreFixture.h"

namespace kv::core {
namespace {

constexpr uint32_t kSelf = 0x00210000;        // the plugin under test, ID 0x21
constexpr uint32_t kSelfStream = 0x00210005;  // another stream of the same plugin
constexpr uint32_t kOther = 0x00300000;
constexpr uint32_t kNoPlugin = 0x00000005;  // ID 0 without being the core

struct Row {
  const char* what;
  uint32_t plugin;  // the plugin's address word
  bool subscribed;  // every subscription word has the live bit
  uint32_t type;
  uint32_t flags;
  uint32_t source;
  bool expected;
  uint8_t frameFlags = 0;
  uint32_t toSelf = 0;
  uint32_t requestId = 0;
};

class SubscriptionTest : public test::CoreTest {
 protected:
  std::shared_ptr<Plugin> plugin(uint32_t address, bool subscribed) {
    auto& hooks = newHooks();
    hooks.load = [address, subscribed](LoadReply& reply) {
      reply.address = address;
      const uint32_t word = subscribed ? kSubLive : kSubStored;
      reply.videoSub = reply.audioSub = reply.alarmSub = reply.ptzSub = reply.serialSub = word;
      reply.logSub = reply.posSub = reply.analyticSub = word;
    };
    return addHookPlugin("hook_search", hooks);
  }
};

TEST_F(SubscriptionTest, EveryRuleOfTheTable) {
  const uint32_t live = kFlagLive;
  const Row rows[] = {
      {"video from another plugin", kSelf, true, 0x1, live, kOther, true},
      {"video, not subscribed", kSelf, false, 0x1, live, kOther, false},
      {"own video", kSelf, true, 0x1, live, kSelfStream, false},
      {"own output video", kSelf, false, 0x1, live, kSelfStream, true, kFrameFlagOutput},
      {"modified video, own", kSelf, true, 0x4001, live, kSelfStream, true},
      {"modified video, not subscribed", kSelf, false, 0x4001, live, kOther, false},
      {"modified video to a plugin without ID bits", kNoPlugin, true, 0x4001, live, kOther, false},
      {"modified video to the core's address", kCoreAddress, true, 0x4001, live, kOther, true},
      {"core's own video to the core's address", kCoreAddress, true, 0x1, live, kCoreAddress,
       false},
      {"audio from another plugin", kSelf, true, 0x2, live, kOther, true},
      {"own audio", kSelf, true, 0x2, live, kSelfStream, false},
      {"own output audio", kSelf, true, 0x2, live, kSelfStream, true, kFrameFlagOutput},
      {"own alarm", kSelf, true, 0x4, live, kSelfStream, true},
      {"alarm, not subscribed", kSelf, false, 0x4, live, kOther, false},
      {"ptz", kSelf, true, 0x8, live, kOther, true},
      {"serial, not subscribed", kSelf, false, 0x10, live, kOther, false},
      {"own watchdog", kSelf, false, 0x20, live, kSelfStream, true},
      {"another's watchdog", kSelf, true, 0x20, live, kOther, false},
      {"core's watchdog to the core's address", kCoreAddress, false, 0x20, live, kCoreAddress,
       true},
      {"log from another plugin", kSelf, true, 0x40, live, kOther, true},
      {"own log", kSelf, true, 0x40, live, kSelfStream, false},
      {"log, not subscribed", kSelf, false, 0x40, live, kCoreAddress, false},
      {"config without subscription", kSelf, false, 0x100, live, kOther, true},
      {"own config", kSelf, true, 0x100, live, kSelfStream, false},
      {"own config to self", kSelf, false, 0x100, live, kSelfStream, true, 0, 1},
      {"pos", kSelf, true, 0x400, live, kOther, true},
      {"analytic from another", kSelf, true, 0x10000, live, kOther, true},
      {"analytic, not subscribed", kSelf, false, 0x10000, live, kOther, false},
      {"own analytic", kSelf, true, 0x10000, live, kSelfStream, false},
      {"own analytic to self", kSelf, false, 0x10000, live, kSelfStream, true, 0, 1},
      {"unspecified", kSelf, true, 0x0, live, kOther, false},
      {"unassigned 0x80", kSelf, true, 0x80, live, kOther, false},
      {"stored alarm for this requester", kSelf, false, 0x4, kFlagStored, kOther, true, 0, 0,
       0x00210007},
      {"stored alarm for another requester", kSelf, true, 0x4, kFlagStored, kOther, false, 0, 0,
       0x00220007},
      {"stored video for the core", kCoreAddress, false, 0x1, kFlagStored, kOther, true, 0, 0,
       kCoreAddress},
      {"stored unknown type for this requester", kSelf, false, 0x80, kFlagStored, kOther, true, 0,
       0, 0x00210001},
  };
  for (const auto& row : rows) {
    const auto receiver = plugin(row.plugin, row.subscribed);
    auto event = record(row.type, row.flags, row.source);
    event.frameFlags = row.frameFlags;
    event.toSelf = row.toSelf;
    event.requestId = row.requestId;
    EXPECT_EQ(receiver->WantsEvent(event), row.expected) << row.what;
  }
}

}  // namespace
}  // namespace kv::core
