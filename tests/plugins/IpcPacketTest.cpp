// The public packet header: its words are little-endian on the wire whatever the host, a packet is
// accepted only when it is whole, and the route word carries the plugin ID in bits 20 to 27.
#include "plugins/IpcPacket.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace kv::core {
namespace {

TEST(IpcPacketTest, HeaderWordsAreLittleEndianOnEveryHost) {
  // Every byte of every word differs, so a swapped or shifted byte shows.
  const IpcHeader header{0x00000014, 0x01234567, 0x89ABCDEF, 0xFEDCBA98};
  std::array<uint8_t, kIpcHeaderSize> bytes{};
  writeIpcHeader(bytes.data(), header);
  EXPECT_EQ(bytes,
            (std::array<uint8_t, kIpcHeaderSize>{0x14, 0x00, 0x00, 0x00, 0x67, 0x45, 0x23, 0x01,
                                                 0xEF, 0xCD, 0xAB, 0x89, 0x98, 0xBA, 0xDC, 0xFE}));
  const IpcHeader read = readIpcHeader(bytes.data());
  EXPECT_EQ(read.length, header.length);
  EXPECT_EQ(read.route, header.route);
  EXPECT_EQ(read.type, header.type);
  EXPECT_EQ(read.reserved, header.reserved);
}

TEST(IpcPacketTest, OnlyAWholePacketIsRead) {
  std::vector<uint8_t> packet(20, 'p');
  const auto declare = [&](uint32_t length) {
    writeIpcHeader(packet.data(), {length, ipcRoute(0x21), 0x100, 0});
  };
  IpcHeader header{};
  declare(20);
  EXPECT_TRUE(readIpcPacket(packet.data(), packet.size(), header));
  EXPECT_EQ(header.length, 20u);
  EXPECT_EQ(ipcRoutePluginId(header.route), 0x21u);
  EXPECT_TRUE(readIpcPacket(packet.data(), 100, header));  // more bytes behind it: still whole

  const IpcHeader untouched{1, 2, 3, 4};
  const struct {
    const char* what;
    uint32_t declared;
    size_t size;
  } cases[] = {
      {"shorter than a header", 20, 15},
      {"declares more than it carries", 21, 20},
      {"declares less than a header", 15, 20},
      {"declares more than the link carries", kIpcMaxPacketSize + 1, kIpcMaxPacketSize + 16},
  };
  for (const auto& c : cases) {
    declare(c.declared);
    header = untouched;
    EXPECT_FALSE(readIpcPacket(packet.data(), c.size, header)) << c.what;
    EXPECT_EQ(header.length, 1u) << c.what;
  }
  EXPECT_FALSE(readIpcPacket(nullptr, 20, header));
}

TEST(IpcPacketTest, TheRouteWordCarriesThePluginIdInBits20To27) {
  EXPECT_EQ(ipcRoute(0x11), 0x01100000u);
  EXPECT_EQ(ipcRoute(0xFF), 0x0FF00000u);
  EXPECT_EQ(ipcRoute(0x1FF), 0x0FF00000u);         // an ID has 8 bits
  EXPECT_EQ(ipcRoutePluginId(0xF2A5FFFF), 0x2Au);  // the other bits are not the ID's
  EXPECT_EQ(ipcRoutePluginId(ipcRoute(0x80)), 0x80u);
}

}  // namespace
}  // namespace kv::core
