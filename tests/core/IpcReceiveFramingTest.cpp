// The receive framing of the supervisor pipe, without a socket: the same packets whatever the
// receives cut the stream into, a bad length dropping what is buffered, the buffer's edges.
#include "core/IpcReceiveFraming.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/IpcPackets.h"

namespace kv::core {
namespace {

using test::ipcPacket;

struct Framed {
  std::vector<std::string> packets;
  int badLengths = 0;
};

// Delivers `stream` in receives of the sizes in `cuts` (the last one repeated).
Framed deliver(IpcReceiveFraming& framing, const std::string& stream, std::vector<size_t> cuts) {
  Framed framed;
  size_t at = 0;
  for (size_t i = 0; at < stream.size(); ++i) {
    const size_t size =
        std::min({cuts[std::min(i, cuts.size() - 1)], stream.size() - at, size_t{framing.room()}});
    std::memcpy(framing.space(), stream.data() + at, size);
    at += size;
    const auto result =
        framing.take(static_cast<uint32_t>(size), [&](const uint8_t* p, uint32_t n) {
          framed.packets.emplace_back(reinterpret_cast<const char*>(p), n);
        });
    framed.badLengths += result == IpcReceiveFraming::Result::kBadLength;
  }
  return framed;
}

TEST(IpcReceiveFramingTest, ThePacketsDoNotDependOnHowTheStreamIsCut) {
  const std::vector<std::string> packets = {
      ipcPacket(kIpcTypeSupervisorInfo, 0, std::string("korvad\0001.0", 10)),
      ipcPacket(0x100, ipcRoute(0x21), std::string(100, 'x')),
      ipcPacket(kIpcTypeClose, 0, ""),
  };
  std::string stream;
  for (const auto& packet : packets) stream += packet;
  auto framing = std::make_unique<IpcReceiveFraming>();
  for (size_t first = 1; first <= stream.size(); ++first) {
    for (const size_t rest : {size_t{1}, size_t{7}, stream.size()}) {
      const Framed framed = deliver(*framing, stream, {first, rest});
      ASSERT_EQ(framed.packets, packets) << first << "+" << rest;
      ASSERT_EQ(framing->fill(), 0u);
    }
  }
  // A packet that is not whole yet is kept, not handed over.
  EXPECT_EQ(deliver(*framing, stream.substr(0, stream.size() - 1), {1}).packets.size(), 2u);
  EXPECT_EQ(framing->fill(), packets[2].size() - 1);
}

TEST(IpcReceiveFramingTest, ABadLengthDropsWhatIsBufferedAndFramingStartsAgain) {
  const std::string good = ipcPacket(0x100, ipcRoute(0x21), "good");
  for (const uint32_t length : {0u, 15u, kIpcMaxPacketSize + 1}) {
    auto framing = std::make_unique<IpcReceiveFraming>();
    const std::string bad = ipcPacket(0x100, 0, "bad", length);
    Framed framed = deliver(*framing, good + bad + good, {good.size() + bad.size() + good.size()});
    EXPECT_EQ(framed.packets, std::vector<std::string>{good}) << length;  // the one behind goes
    EXPECT_EQ(framed.badLengths, 1);
    EXPECT_EQ(framing->fill(), 0u);
    EXPECT_EQ(framing->room(), IpcReceiveFraming::kBufferSize);
    framed = deliver(*framing, good, {good.size()});
    EXPECT_EQ(framed.packets, std::vector<std::string>{good});
  }
}

TEST(IpcReceiveFramingTest, TheLargestPacketFillsTheBufferExactly) {
  auto framing = std::make_unique<IpcReceiveFraming>();
  const std::string largest =
      ipcPacket(0x100, ipcRoute(0x22), std::string(kIpcMaxPacketSize - kIpcHeaderSize, 'L'));
  const std::string next = ipcPacket(0x100, ipcRoute(0x22), "next");
  const Framed framed = deliver(*framing, largest + next, {kIpcHeaderSize, kIpcMaxPacketSize});
  ASSERT_EQ(framed.packets.size(), 2u);
  EXPECT_EQ(framed.packets[0], largest);
  EXPECT_EQ(framed.packets[1], next);
  EXPECT_EQ(framed.badLengths, 0);
}

}  // namespace
}  // namespace kv::core
