// The samples' settings files and supervisor packets.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "examples/common/IpcPacket.h"
#include "examples/common/PluginSettings.h"

namespace kv::samples {
namespace {

TEST(PluginSettingsTest, ReadsNumbersWithFallbacksAndLimits) {
  std::istringstream file(
      "# camera\n"
      "fps = 30\r\n"
      "gop=abc\n"
      "alarmSeconds=-5\n"
      "huge=99999999999999999999999\n"
      "small=0\n"
      "noequals\n"
      "\n"
      "trailing=12x\n"
      "twice=1\n"
      "twice=2\n");
  const auto settings = PluginSettings::parse(file);
  const struct {
    const char* key;
    uint32_t expected;
  } cases[] = {
      {"fps", 30},      {"gop", 25},      {"alarmSeconds", 25}, {"huge", 120},   {"small", 1},
      {"noequals", 25}, {"trailing", 25}, {"twice", 2},         {"missing", 25},
  };
  for (const auto& c : cases) EXPECT_EQ(settings.number(c.key, 25, 1, 120), c.expected) << c.key;
}

TEST(PluginSettingsTest, AMissingFileMeansDefaults) {
  const auto settings = PluginSettings::load("/nonexistent/plugin.so.conf");
  EXPECT_EQ(settings.number("fps", 25, 1, 120), 25u);
}

TEST(IpcPacketTest, BuildsALittleEndianHeaderBeforeThePayload) {
  const auto packet = makeIpcPacket(0x01100000u, 0x2a, "hi");
  const std::vector<uint8_t> expected = {18, 0, 0, 0, 0, 0, 0x10, 0x01, 0x2a,
                                         0,  0, 0, 0, 0, 0, 0,    'h',  'i'};
  EXPECT_EQ(packet, expected);
  core::IpcHeader header{};
  ASSERT_TRUE(core::readIpcPacket(packet.data(), packet.size(), header));
  EXPECT_EQ(header.length, 18u);
  EXPECT_EQ(header.route, 0x01100000u);
  EXPECT_EQ(header.type, 0x2au);
}

TEST(IpcPacketTest, NoPacketBeyondTheLinksLimit) {
  using core::kIpcHeaderSize;
  using core::kIpcMaxPacketSize;
  EXPECT_TRUE(
      makeIpcPacket(1, 2, std::string(kIpcMaxPacketSize - kIpcHeaderSize + 1, 'x')).empty());
  EXPECT_EQ(makeIpcPacket(1, 2, std::string(kIpcMaxPacketSize - kIpcHeaderSize, 'x')).size(),
            kIpcMaxPacketSize);
}

}  // namespace
}  // namespace kv::samples
