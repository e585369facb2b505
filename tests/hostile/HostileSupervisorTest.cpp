// A supervisor that sends garbage: bad lengths, cut records, unknown types, floods and random
// bytes over the real pipe to a real korvacore. None of it stops the core, and a well-formed packet
// sent afterwards still reaches its plugin and is answered. Only the supervisor leaving stops it,
// and then cleanly.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "plugins/IpcPacket.h"
#include "tests/hostile/StagedCore.h"
#include "tests/support/IpcPackets.h"

namespace kv::test {
namespace {

using core::ipcRoute;
using core::kIpcMaxPacketSize;

constexpr uint32_t kWitness = 0x61;
constexpr char kBadLength[] = "bad ipc packet length";

// One malformed sending: the records, and how many "bad ipc packet length" lines they cause.
struct Malformed {
  const char* name;
  std::vector<std::string> records;
  size_t badLengthLines;
};

std::string header(uint32_t length, uint32_t route, uint32_t type) {
  return ipcPacket(type, route, "", length);
}

// A record of `size` bytes that begins with a header declaring `declared`.
std::string recordOf(size_t size, uint32_t declared, uint32_t route = ipcRoute(kWitness)) {
  std::string bytes = header(declared, route, 0x100);
  bytes.resize(size, 'x');
  return bytes;
}

// Throws whatever the framing holds away: a record of the largest size, all 0xFF. When bytes are
// buffered it doesn't fit and is cut, otherwise its length word is too long; one report either way.
std::string resync() {
  return std::string(kIpcMaxPacketSize, '\xFF');
}

std::vector<std::string> flood() {
  std::vector<std::string> records;
  for (int i = 0; i < 1000; ++i) {
    records.push_back(ipcPacket(0x100 + i % 7, ipcRoute(kWitness), std::string(i % 48, 'f')));
    records.push_back(ipcPacket(0x100, ipcRoute(0x99), "to nobody"));
  }
  return records;
}

std::vector<std::string> split(const std::string& packet, std::vector<size_t> cuts) {
  std::vector<std::string> records;
  size_t from = 0;
  cuts.push_back(packet.size());
  for (size_t cut : cuts) {
    records.push_back(packet.substr(from, cut - from));
    from = cut;
  }
  return records;
}

// Random records from a fixed seed: plain noise of every size up to past the limit, and packets
// with valid lengths but random routes, types and contents, whole, glued together or cut apart.
// Never a close packet and never an empty record: those stop the core by design.
std::vector<std::string> randomRecords(uint32_t seed, size_t count) {
  std::mt19937 random(seed);
  const auto below = [&](uint32_t n) {
    return std::uniform_int_distribution<uint32_t>(0, n - 1)(random);
  };
  const auto bytes = [&](size_t n) {
    std::string text(n, '\0');
    for (char& c : text) c = static_cast<char>(below(256));
    return text;
  };
  std::vector<std::string> records;
  std::string pending;
  while (records.size() < count) {
    if (below(3) == 0) {
      std::string noise = bytes(1 + below(kIpcMaxPacketSize + 600));
      records.push_back(noise);
      continue;
    }
    uint32_t type = random();
    if (type == core::kIpcTypeClose) type = 0x100;
    const uint32_t route = below(2) == 0 ? ipcRoute(kWitness) : static_cast<uint32_t>(random());
    pending += ipcPacket(type, route, bytes(below(below(8) == 0 ? 4000 : 64)));
    if (below(4) == 0) continue;  // glued to the next one
    const size_t cut = below(static_cast<uint32_t>(pending.size()));
    if (cut > 0) records.push_back(pending.substr(0, cut));
    records.push_back(pending.substr(cut));
    pending.clear();
  }
  return records;
}

class HostileSupervisorTest : public StagedCoreTest {
 protected:
  void SetUp() override {
    StagedCoreTest::SetUp();
    addWitness("witness.so", kWitness);
  }
};

TEST_F(HostileSupervisorTest, MalformedPacketsNeverStopTheCoreAndRoutingGoesOn) {
  const std::string info = std::string("sim\0") + "1.0\0" + "Background:false";
  const std::vector<Malformed> table = {
      {"declared length 0", {header(0, ipcRoute(kWitness), 0x100)}, 1},
      {"declared length 15", {header(15, ipcRoute(kWitness), 0x100)}, 1},
      {"a record of 15 bytes", {recordOf(15, 16)}, 0},
      {"a header alone, declaring 16", {header(16, ipcRoute(kWitness), 0x100)}, 0},
      {"declared length 65,537", {header(kIpcMaxPacketSize + 1, ipcRoute(kWitness), 0x100)}, 1},
      {"a record of 65,537 bytes declaring it", {recordOf(65537, 65537)}, 1},
      {"a record of 65,537 bytes declaring 65,536", {recordOf(65537, 65536)}, 1},
      {"a record of 65,536 bytes declaring 32", {recordOf(65536, 32)}, 1},
      {"a truncated type 7", {ipcPacket(core::kIpcTypeSupervisorInfo, 0, info).substr(0, 24)}, 0},
      {"a type 7 declaring more than it has",
       {ipcPacket(core::kIpcTypeSupervisorInfo, 0, info, 200)},
       0},
      {"a type 7 of the header alone", {header(16, 0, core::kIpcTypeSupervisorInfo)}, 0},
      {"a type 7 of NULs", {ipcPacket(core::kIpcTypeSupervisorInfo, 0, std::string(500, '\0'))}, 0},
      {"unknown types to nobody",
       {ipcPacket(0, ipcRoute(0x99), "x"), ipcPacket(9, ipcRoute(0x99), "x"),
        ipcPacket(0xFFFFFFFF, 0xFFFFFFFF, "x")},
       0},
      {"unknown types to the plugin",
       {ipcPacket(0, ipcRoute(kWitness), "x"), ipcPacket(0xFFFFFFFF, ipcRoute(kWitness), "")},
       0},
      {"many packets in one record",
       {[] {
         std::string glued;
         for (int i = 0; i < 200; ++i) glued += ipcPacket(0x100, ipcRoute(kWitness), "glued");
         return glued;
       }()},
       0},
      {"a packet cut into three records",
       split(ipcPacket(0x100, ipcRoute(kWitness), std::string(100, 's')), {3, 60}), 0},
      {"a flood of 2,000 packets", flood(), 0},
  };
  start();
  ASSERT_TRUE(waitForJournal("witness.so Open"));
  ASSERT_TRUE(firstContact(kWitness, {kWitness}));
  // The largest packet there is reaches the plugin whole.
  ASSERT_TRUE(pingRoundTrip(kWitness, "ping-largest", {kWitness},
                            kIpcMaxPacketSize - core::kIpcHeaderSize - 12));
  size_t badLengthLines = 0;
  size_t sent = 0;
  for (const auto& malformed : table) {
    SCOPED_TRACE(malformed.name);
    for (const auto& record : malformed.records) ASSERT_TRUE(sendRecord(record));
    ASSERT_TRUE(sendRecord(resync()));
    sent += malformed.records.size();
    badLengthLines += malformed.badLengthLines + 1;
    ASSERT_TRUE(pingRoundTrip(kWitness, "ping", {kWitness}));
    EXPECT_EQ(outputCount(kBadLength), badLengthLines);
  }
  // Random bytes: how many lines they cause is theirs to say, but the core goes on.
  const auto noise = randomRecords(20261209, 400);
  for (const auto& record : noise) ASSERT_TRUE(sendRecord(record));
  ASSERT_TRUE(sendRecord(resync()));
  sent += noise.size();
  ASSERT_TRUE(pingRoundTrip(kWitness, "ping-after-noise", {kWitness}));
  EXPECT_GT(outputCount(kBadLength), badLengthLines);
  std::printf("malformed records sent: %zu table, %zu random\n", sent - noise.size(), noise.size());

  ASSERT_TRUE(sendRecord(ipcPacket(core::kIpcTypeClose, 0, "")));
  const auto result = waitForExit();
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(journal().back(), "witness.so Unload");
}

// The ways a supervisor leaves: the core stops, says so, and takes its plugins down. A close
// packet the framing reads as another packet's bytes stops nothing.
TEST_F(HostileSupervisorTest, ASupervisorThatLeavesStopsTheCoreCleanly) {
  struct Leaving {
    const char* name;
    std::vector<std::string> records;
    bool stillRouting;  // a packet sent after the records is still answered
  };
  const std::string packet = recordOf(100, 100);
  const Leaving ways[] = {
      // An empty record reads as the end of the pipe.
      {"an empty record", {""}, false},
      {"a close in the middle of a packet", {packet.substr(0, 30)}, false},
      {"a close packet inside a packet",
       {packet.substr(0, 30), ipcPacket(core::kIpcTypeClose, 0, ""), packet.substr(46)},
       true},
  };
  for (const auto& way : ways) {
    SCOPED_TRACE(way.name);
    TearDown();
    SetUp();
    start();
    ASSERT_TRUE(waitForJournal("witness.so Open"));
    ASSERT_TRUE(firstContact(kWitness, {kWitness}));
    for (const auto& record : way.records) ASSERT_TRUE(sendRecord(record));
    if (way.stillRouting) {
      ASSERT_TRUE(pingRoundTrip(kWitness, "ping-again", {kWitness}));
    }
    const auto result = closeAndWait();
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.out.find("korvad ipc pipe disconnected"), std::string::npos);
    EXPECT_EQ(journal().back(), "witness.so Unload");
  }
}

}  // namespace
}  // namespace kv::test
