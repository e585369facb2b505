// The skeleton plugin in the test kit: loaded as the core loads it, driven entry by entry.
#include <gtest/gtest.h>

#include <string>

#include "plugins/IpcPacket.h"
#include "testkit/PluginHarness.h"

namespace {

using namespace kv::core;
using kv::testkit::PluginHarness;

constexpr uint32_t kCamera = makeAddress(0x10);

TEST(SkeletonTest, LoadsWithItsIdAndAsksForLiveAlarmsOnly) {
  PluginHarness harness(SKELETON_PLUGIN);
  ASSERT_TRUE(harness.loaded()) << harness.errorText();
  EXPECT_EQ(harness.pluginId(), 0x7Au);
  EXPECT_EQ(harness.reply().alarmSub, kSubLive);
  EXPECT_EQ(harness.reply().videoSub, 0u);
  EXPECT_EQ(harness.open(), 0);
}

TEST(SkeletonTest, CountsLiveAlarmsLogsEachAndReportsTheCountToTheSupervisor) {
  PluginHarness harness(SKELETON_PLUGIN);
  ASSERT_EQ(harness.open(), 0);
  const std::string alarm = "<Alarm Motion=\"1\"/>";
  EXPECT_EQ(harness.deliver(makeEventRecord(kTypeAlarm, kFlagLive, kCamera), alarm), 0);
  EXPECT_EQ(harness.deliver(makeEventRecord(kTypeAlarm, kFlagLive, kCamera), alarm), 0);
  harness.deliver(makeEventRecord(kTypeAlarm, kFlagStored, kCamera), alarm);  // not live
  harness.deliver(makeEventRecord(kTypeVideo, kFlagLive, kCamera), "frame");  // not an alarm

  const auto lines = harness.logLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1].text, "alarm 2");
  EXPECT_EQ(lines[1].level, 25);

  harness.sendPacket(11, "stats");
  const auto packets = harness.packets();
  ASSERT_EQ(packets.size(), 1u);
  IpcHeader header;
  ASSERT_TRUE(readIpcPacket(packets[0].data(), packets[0].size(), header));
  EXPECT_EQ(header.route, ipcRoute(0x7A));
  EXPECT_EQ(header.type, 11u);
  EXPECT_EQ(std::string(packets[0].begin() + kIpcHeaderSize, packets[0].end()), "alarms=2");

  harness.close();
  harness.unload();
  EXPECT_EQ(harness.heldReferences(), 0u);
  EXPECT_EQ(harness.malformedPosts(), 0u);
}

}  // namespace
