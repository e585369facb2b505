// Packets as korvad-sim writes and prints them: header words, the supervisor information fields,
// route bits, cutting messages into packets and the printed line.
#include <gtest/gtest.h>

#include "tests/support/IpcPackets.h"
#include "tools/IpcFraming.h"

namespace kv::tools {
namespace {

using namespace std::string_literals;

Packet only(const std::string& bytes) {
  const SplitMessage split = splitMessage(bytes);
  EXPECT_EQ(split.packets.size(), 1u);
  EXPECT_EQ(split.malformed, "");
  return split.packets.empty() ? Packet{} : split.packets[0];
}

TEST(IpcFramingTest, HeaderWordsAreLittleEndianWithTheWholeLength) {
  EXPECT_EQ(encodePacket(0x0102, 0x01100000, "ab"),
            "\x12\0\0\0"s + "\0\0\x10\x01"s + "\x02\x01\0\0"s + "\0\0\0\0"s + "ab");
}

TEST(IpcFramingTest, SupervisorInformationSeparatesItsFieldsWithNul) {
  struct Case {
    std::string file, version;
    bool background;
    std::string payload;
  };
  for (const auto& c : {Case{"korvad-sim", "26.1.3.0", false,
                             "korvad-sim\0"s
                             "26.1.3.0"},
                        Case{"f", "1.0", true,
                             "f\0"s
                             "1.0\0"s
                             "Background:true"},
                        Case{"", "", false, "\0"s}}) {
    const Packet packet = only(supervisorInfoPacket(c.file, c.version, c.background));
    EXPECT_EQ(packet.type, core::kIpcTypeSupervisorInfo);
    EXPECT_EQ(packet.route, 0u);
    EXPECT_EQ(packet.length, 16 + c.payload.size());
    EXPECT_EQ(packet.payload, c.payload) << c.file;
  }
  EXPECT_EQ(only(closePacket()).type, core::kIpcTypeClose);
  EXPECT_EQ(only(closePacket()).length, 16u);
}

TEST(IpcFramingTest, PluginPacketsCarryTheIdInRouteBits20To27) {
  EXPECT_EQ(core::ipcRoute(0x11), 0x01100000u);
  EXPECT_EQ(core::ipcRoute(0xFF), 0x0FF00000u);
  const Packet packet = only(pluginPacket(0x2A, "x"));
  EXPECT_EQ(packet.route, 0x02A00000u);
  EXPECT_EQ(packet.type, kTypePluginTraffic);
  EXPECT_EQ(packet.length, 17u);
}

TEST(IpcFramingTest, MessagesAreCutByLengthWordsAndLeftoversKept) {
  const std::string first = pluginPacket(1, "one");
  const std::string second = pluginPacket(2, "");
  SplitMessage split = splitMessage(first + second);
  ASSERT_EQ(split.packets.size(), 2u);
  EXPECT_EQ(split.packets[0].payload, "one");
  EXPECT_EQ(split.packets[1].route, core::ipcRoute(2));
  EXPECT_EQ(split.malformed, "");

  const std::string tooShort = test::ipcPacket(256, 0, "abcd", 8);
  const std::string tooLong = test::ipcPacket(256, 0, "abcd", 21);
  for (const std::string& bad : {first.substr(0, 10), tooShort, tooLong}) {
    split = splitMessage(bad);
    EXPECT_TRUE(split.packets.empty());
    EXPECT_EQ(split.malformed, bad);
  }
  split = splitMessage(first + "junk!");
  EXPECT_EQ(split.packets.size(), 1u);
  EXPECT_EQ(split.malformed, "junk!");
}

TEST(IpcFramingTest, PrintedLineEscapesWhatIsNotPrintable) {
  EXPECT_EQ(describePacket(only(pluginPacket(0x11, "frames=12 held=3"))),
            R"(length=32 route=0x01100000 type=256 payload="frames=12 held=3")");
  EXPECT_EQ(escapeBytes("a\"b\\c\0\n\x7f\xff~ "s), R"(a\"b\\c\x00\x0a\x7f\xff~ )");
}

}  // namespace
}  // namespace kv::tools
