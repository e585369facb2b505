// The real core under load from every side for a bounded time, then a clean stop: three stress
// plugins post every kind of traffic from twelve threads while the test, as the supervisor, sends
// packets to them and reads theirs. Afterwards every reference block and every held reference is
// back (the teardown reports any that aren't, and the core logs at level 0 here so that its report
// is written), every accepted record reached everyone it was for, no payload or packet arrived
// damaged or out of order, and the core ended in time.
//
// KV_SOAK_SECONDS sets the seconds of load (a few by default); KV_STRESS_REPORT names a file to
// which the figures are appended.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <array>
#include <atomic>
#include <chrono>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <thread>

#include "plugins/IpcPacket.h"
#include "tests/stress/StagedCore.h"
#include "tests/support/IpcPackets.h"
#include "tests/support/StampedPayload.h"

namespace kv::core {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr std::array<uint32_t, 3> kStressIds = {0x51, 0x52, 0x53};
constexpr uint32_t kStressPacketType = 0x51;

// The core's own level 0, so that the teardown's report of unreleased references is written.
constexpr char kCoreXml[] =
    "<?xml version=\"1.0\"?>\n<kDVR><Modules><Module><Plugin ID=\"-2147483648\" LogLevel=\"0\"/>"
    "</Module></Modules></kDVR>\n";

// What the supervisor's end of the pipe received from the plugins.
struct SupervisorTally {
  std::map<uint32_t, uint64_t> packetsFrom;                       // per plugin ID
  std::map<std::pair<uint32_t, uint32_t>, int64_t> lastSequence;  // per plugin and stream
  uint64_t bytes = 0;
  uint64_t damaged = 0;
  uint64_t outOfOrder = 0;
};

// Reads packets until the core closes its end.
void readPackets(int fd, SupervisorTally& tally) {
  std::vector<uint8_t> buffer(kIpcMaxPacketSize + 1);
  for (;;) {
    const ssize_t got = recv(fd, buffer.data(), buffer.size(), 0);
    if (got <= 0) return;
    const auto size = static_cast<uint32_t>(got);
    tally.bytes += size;
    IpcHeader header{};
    if (!readIpcPacket(buffer.data(), size, header) || header.length != size ||
        header.type != kStressPacketType || size < kIpcHeaderSize + 8 + test::kStampSize) {
      tally.damaged++;
      continue;
    }
    uint32_t stream = 0;
    uint32_t sequence = 0;
    std::memcpy(&stream, buffer.data() + kIpcHeaderSize, 4);
    std::memcpy(&sequence, buffer.data() + kIpcHeaderSize + 4, 4);
    const uint8_t* stamp = buffer.data() + kIpcHeaderSize + 8;
    const uint32_t stampLength = size - kIpcHeaderSize - 8;
    if (!test::hasStamp(stamp, stampLength) || !test::stampIntact(stamp, stampLength)) {
      tally.damaged++;
      continue;
    }
    const uint32_t plugin = ipcRoutePluginId(header.route);
    tally.packetsFrom[plugin]++;
    auto [last, fresh] = tally.lastSequence.try_emplace({plugin, stream}, -1);
    if (int64_t{sequence} <= last->second) tally.outOfOrder++;
    last->second = sequence;
  }
}

class StressTest : public ::testing::Test {
 protected:
  void stagePlugins(const std::string& extraConf = "") {
    std::ofstream(core_.dir() / "core.xml") << kCoreXml;
    for (uint32_t id : kStressIds) {
      core_.addPlugin("stress_plugin", "stress" + std::to_string(id - 0x50) + ".so",
                      "id=" + std::to_string(id) + "\nthreads=2\n" + extraConf);
    }
  }

  std::map<std::string, long long> report(uint32_t id) {
    return test::readReport(core_.dir() / "plugins" /
                            ("stress" + std::to_string(id - 0x50) + ".so.report"));
  }

  // Sends stamped packets to the plugins in turn for `duration`; the packets sent per plugin.
  std::map<uint32_t, uint64_t> sendPackets(std::chrono::steady_clock::duration duration) {
    std::map<uint32_t, uint64_t> sent;
    const auto end = std::chrono::steady_clock::now() + duration;
    for (uint32_t n = 0; std::chrono::steady_clock::now() < end; ++n) {
      const uint32_t id = kStressIds[n % kStressIds.size()];
      const auto stamp = test::stamped(test::kStampSize + n % 700, n);
      const auto packet =
          test::ipcPacket(kStressPacketType, ipcRoute(id), std::string(stamp.begin(), stamp.end()));
      if (send(core_.supervisorFd(), packet.data(), packet.size(), MSG_DONTWAIT | MSG_NOSIGNAL) ==
          static_cast<ssize_t>(packet.size())) {
        sent[id]++;
      }
      std::this_thread::sleep_for(200us);
    }
    return sent;
  }

  bool waitForOutput(const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + (test::slowBuild() ? 60s : 20s);
    while (core_.child().outputSoFar().find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(5ms);
    }
    return true;
  }

  test::StagedCore core_{"stress"};
};

TEST_F(StressTest, EveryKindOfTrafficAtOnceLeavesNothingBehind) {
  const long seconds = test::envNumber("KV_SOAK_SECONDS", 3);
  stagePlugins();
  core_.start();
  SupervisorTally tally;
  std::thread reader(readPackets, core_.supervisorFd(), std::ref(tally));
  // Packets for a plugin that isn't loaded yet are dropped.
  const bool up = waitForOutput("Opening 53:stress3");
  EXPECT_TRUE(up) << core_.child().outputSoFar();
  const auto started = std::chrono::steady_clock::now();
  const auto sent =
      up ? sendPackets(std::chrono::seconds(seconds)) : std::map<uint32_t, uint64_t>{};
  const auto loadEnd = std::chrono::steady_clock::now();
  ASSERT_EQ(
      send(core_.supervisorFd(), test::ipcPacket(kIpcTypeClose, 0, "").data(), 16, MSG_NOSIGNAL),
      16);
  const auto result = core_.finish(test::slowBuild() ? 100s : 40s);
  reader.join();
  const double loadSeconds = std::chrono::duration<double>(loadEnd - started).count();

  EXPECT_EQ(result.exitCode, 0) << result.err << test::StagedCore::tail(result.out, 20000);
  EXPECT_EQ(result.out.find("refblks: "), std::string::npos)
      << test::StagedCore::tail(result.out, 20000);
  EXPECT_EQ(result.out.find("unloaded holding"), std::string::npos);
  EXPECT_EQ(result.out.find("Config defaulted"), std::string::npos);

  std::map<std::string, long long> total;
  std::map<uint32_t, std::map<std::string, long long>> reports;
  for (uint32_t id : kStressIds) {
    auto values = report(id);
    ASSERT_FALSE(values.empty()) << "no report from plugin " << std::hex << id;
    SCOPED_TRACE(testing::Message() << "plugin " << std::hex << id);
    for (const char* none : {"corrupt", "packetsBad", "cryptoBad", "logQueryBad", "keptAtUnload",
                             "searchesRunningAtUnload"}) {
      EXPECT_EQ(values[none], 0) << none;
    }
    // Every accepted record reached its receivers before the dispatch loop ended.
    EXPECT_EQ(values["watchdogReceived"], values["watchdogAccepted"]);
    // Every packet the supervisor wrote before its close packet was handed over.
    EXPECT_EQ(values["packetsIn"], static_cast<long long>(sent.count(id) ? sent.at(id) : 0));
    EXPECT_LE(static_cast<long long>(tally.packetsFrom[id]), values["ipcSent"]);
    for (const auto& [key, value] : values) total[key] += value;
    reports[id] = std::move(values);
  }
  // Every live alarm accepted from one plugin reached every plugin, itself included.
  char key[32];
  for (uint32_t from : kStressIds) {
    std::snprintf(key, sizeof key, "alarmsFrom.%02x", from);
    for (uint32_t to : kStressIds) {
      EXPECT_EQ(reports[to][key], reports[from]["alarmsAccepted"])
          << std::hex << from << " to " << to;
    }
  }
  // Every accepted search result reached its requester.
  EXPECT_EQ(total["resultsReceived"], total["resultsPosted"]);
  EXPECT_EQ(tally.damaged, 0u);
  EXPECT_EQ(tally.outOfOrder, 0u);
  // The load was real: every kind of work happened.
  for (const char* done :
       {"accepted", "payloadPosts", "logPosts", "logQueries", "cancelQueries", "crypto", "searches",
        "cancels", "revivals", "resultsPosted", "resultsReceived", "kept", "decrefs", "ipcSent",
        "packetsIn", "packetAnswers", "watchdogAccepted", "alarmsAccepted"}) {
    EXPECT_GT(total[done], 0) << done;
  }

  uint64_t packetsOut = 0;
  for (const auto& [id, n] : tally.packetsFrom) packetsOut += n;
  std::ostringstream figures;
  const auto line = [&](const char* name, double value) {
    figures << "  " << name << ": " << static_cast<long long>(value) << " ("
            << static_cast<long long>(value / loadSeconds) << "/s)\n";
  };
  figures << "stress figures over " << loadSeconds << " s of load, stop took "
          << std::chrono::duration<double>(std::chrono::steady_clock::now() - loadEnd).count()
          << " s:\n";
  line("posts", total["posts"]);
  line("posts accepted", total["accepted"]);
  line("posts refused", total["refused"]);
  line("media frames dropped", total["dropped"]);
  line("posts with payload", total["payloadPosts"]);
  line("log records", total["logPosts"]);
  line("log and cancel queries", total["logQueries"] + total["cancelQueries"]);
  line("crypto round trips", total["crypto"]);
  line("searches started", total["searches"]);
  line("searches refused", total["searchesRefused"]);
  line("cancels", total["cancels"]);
  line("revivals", total["revivals"]);
  line("search entries run", total["searchEntries"]);
  line("results posted", total["resultsPosted"]);
  line("results received", total["resultsReceived"]);
  line("config deltas (core.xml rewrites)", total["configDeltas"]);
  line("deliveries", total["received"]);
  line("references kept", total["kept"]);
  line("decrefs", total["decrefs"]);
  line("packets supervisor to plugins", total["packetsIn"]);
  line("packets plugins to supervisor", static_cast<double>(packetsOut));
  std::cout << figures.str();
  if (const char* path = std::getenv("KV_STRESS_REPORT"))
    std::ofstream(path, std::ios::app) << figures.str();
}

// The check above can fail: a plugin that keeps references past its unload is reported by the
// teardown, block count and holder both. Stopped by a signal this time.
TEST_F(StressTest, ReferencesKeptPastUnloadAreReported) {
  stagePlugins("leak=1\n");
  // The leaked blocks are the point here, not a finding of the leak checker.
  const char* asan = std::getenv("ASAN_OPTIONS");
  core_.start({{"ASAN_OPTIONS", std::string(asan != nullptr ? asan : "") + ":detect_leaks=0"}});
  SupervisorTally tally;
  std::thread reader(readPackets, core_.supervisorFd(), std::ref(tally));
  // A stop signal before the core watches for it ends the process at once; on a loaded machine
  // the start takes longer than the traffic below.
  EXPECT_TRUE(waitForOutput("Opening 53:stress3")) << core_.child().outputSoFar();
  sendPackets(1s);
  core_.child().signal(SIGTERM);
  const auto result = core_.finish(test::slowBuild() ? 100s : 40s);
  reader.join();
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_NE(result.out.find("refblks: "), std::string::npos)
      << test::StagedCore::tail(result.out, 4000);
  EXPECT_NE(result.out.find("Plugin 51:stress1 unloaded holding "), std::string::npos);
}

}  // namespace
}  // namespace kv::core
