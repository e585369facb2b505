// core.xml survives a core killed at any moment: the test makes a real core rewrite it without
// pause (every supervisor packet becomes a module-settings delta that changes two log levels),
// kills it with SIGKILL after a random time, and checks that the next core reads a whole document
// that was written: its two levels encode a counter the test sent, never older than the last
// document a plugin saw published (which was on disk before it was delivered).
//
// KV_KILL_ITERATIONS sets the number of kills (dozens by default); KV_STRESS_REPORT names a file
// to which the figures are appended.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <array>
#include <atomic>
#include <fstream>
#include <iostream>
#include <optional>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "plugins/IpcPacket.h"
#include "tests/stress/StagedCore.h"
#include "tests/support/IpcPackets.h"

namespace kv::core {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The counter lives in the levels of three plugin slots, 0..100 each, as digits of base 101.
constexpr uint32_t kRecorderId = 0x21;  // records the documents the core publishes
constexpr uint32_t kSecondId = 0x22;
constexpr uint32_t kLogPluginId = 0x7f;
constexpr std::array<uint32_t, 3> kDigitIds = {kRecorderId, kSecondId, kLogPluginId};
constexpr long kLevels = 101;
constexpr long kCounterEnd = kLevels * kLevels * kLevels;

std::string deltaFor(long counter) {
  const auto level = [](uint32_t id, long value) {
    return "<Plugin ID=\"" + std::to_string(makeAddress(id)) + "\" LogLevel=\"" +
           std::to_string(value) + "\"/>";
  };
  return "<kDVR><Modules Delta=\"1\"><Module>" + level(kRecorderId, counter / kLevels / kLevels) +
         level(kSecondId, counter / kLevels % kLevels) + level(kLogPluginId, counter % kLevels) +
         "</Module></Modules></kDVR>";
}

// The counter a status document carries, if it gives all three plugins a level.
std::optional<long> counterOf(const std::string& document) {
  std::array<long, 3> digits = {-1, -1, -1};
  static const std::regex plugin("<Plugin ID=\"(\\d+)\"[^>]*LogLevel=\"(-?\\d+)\"");
  for (std::sregex_iterator it(document.begin(), document.end(), plugin), end; it != end; ++it) {
    const long id = std::stol((*it)[1]);
    for (size_t i = 0; i < kDigitIds.size(); ++i) {
      if (id == static_cast<long>(makeAddress(kDigitIds[i]))) digits[i] = std::stol((*it)[2]);
    }
  }
  long counter = 0;
  for (long digit : digits) {
    if (digit < 0) return std::nullopt;
    counter = counter * kLevels + digit;
  }
  return counter;
}

// The counters of the whole status documents the recorder wrote down, in order, none for a
// document without one; a line cut short by the kill is left out.
std::vector<std::optional<long>> publishedCounters(const fs::path& events) {
  std::vector<std::optional<long>> counters;
  const std::string text = test::readText(events);
  std::istringstream lines(text);
  size_t consumed = 0;
  for (std::string line; std::getline(lines, line);) {
    consumed += line.size() + 1;
    if (consumed > text.size()) break;  // no line feed: cut short
    if (line.rfind("256 ", 0) != 0 || line.find("</kDVR>") == std::string::npos) continue;
    counters.push_back(counterOf(line));
  }
  return counters;
}

struct KillOutcomes {
  int iterations = 0;
  int pendingLeft = 0;        // a pending copy was on disk after the kill
  int pendingWhole = 0;       // ... and it held a whole document
  int readNewerThanSeen = 0;  // the next core read a document newer than any a plugin had seen
  long deltasSent = 0;
  long documentsSeen = 0;
};

TEST(CoreXmlKillTest, EveryStartAfterAKillReadsAWholeWrittenDocument) {
  const long iterations = test::envNumber("KV_KILL_ITERATIONS", test::slowBuild() ? 24 : 40);
  const auto startLimit = test::slowBuild() ? 60s : 20s;
  test::StagedCore core("killxml");
  core.addPlugin("file_plugin", "a.so",
                 "address=" + std::to_string(makeAddress(kRecorderId)) + "\nrecord=1\n");
  core.addPlugin("file_plugin", "b.so", "address=" + std::to_string(makeAddress(kSecondId)) + "\n");
  const fs::path xml = core.dir() / "core.xml";
  const fs::path pending = core.dir() / "core.xml.pending";
  const fs::path events = core.dir() / "plugins" / "a.so.events";
  {
    std::ofstream initial(xml);
    initial << "<?xml version=\"1.0\"?>\n" << deltaFor(0) << "\n";
  }

  std::set<long> written = {0};  // every counter sent, and the first
  long next = 1;
  long confirmed = 0;  // the newest counter known to be on disk
  KillOutcomes outcomes;
  std::mt19937 random(12345);

  for (long round = 0; round <= iterations; ++round) {
    SCOPED_TRACE(testing::Message() << "start " << round);
    fs::remove(events);
    core.start();
    // The first status document shows what this core read from core.xml.
    std::vector<std::optional<long>> seen;
    const auto deadline = std::chrono::steady_clock::now() + startLimit;
    while ((seen = publishedCounters(events)).empty() &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(2ms);
    }
    ASSERT_FALSE(seen.empty()) << "no status document\n" << core.child().outputSoFar();
    ASSERT_TRUE(seen.front().has_value()) << "read a document without the levels written\n"
                                          << core.child().outputSoFar();
    const long read = *seen.front();
    EXPECT_EQ(core.child().outputSoFar().find("Config defaulted"), std::string::npos)
        << core.child().outputSoFar();
    EXPECT_EQ(written.count(read), 1u) << "read " << read << ", a document never written";
    EXPECT_GE(read, confirmed) << "read " << read << ", older than one already published";
    if (round > 0 && read > confirmed) outcomes.readNewerThanSeen++;
    confirmed = read;

    if (round == iterations) {
      // The last core stops as it should.
      ASSERT_EQ(
          send(core.supervisorFd(), test::ipcPacket(kIpcTypeClose, 0, "").data(), 16, MSG_NOSIGNAL),
          16);
      EXPECT_EQ(core.finish(startLimit).exitCode, 0);
      break;
    }

    // Deltas without pause from another thread, then the kill at a random moment.
    std::atomic<bool> stopSending{false};
    std::thread sender([&] {
      while (!stopSending.load() && next < kCounterEnd) {
        const auto packet = test::ipcPacket(100, ipcRoute(kRecorderId), deltaFor(next));
        if (send(core.supervisorFd(), packet.data(), packet.size(), MSG_DONTWAIT | MSG_NOSIGNAL) ==
            static_cast<ssize_t>(packet.size())) {
          written.insert(next++);
          outcomes.deltasSent++;
        }
        std::this_thread::sleep_for(300us);
      }
    });
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 60000));
    core.child().signal(SIGKILL);
    const auto killed = core.finish(startLimit);
    stopSending = true;
    sender.join();
    EXPECT_EQ(killed.exitCode, 128 + SIGKILL);

    const auto published = publishedCounters(events);
    outcomes.documentsSeen += static_cast<long>(published.size()) - 1;
    for (const auto& counter : published) confirmed = std::max(confirmed, counter.value_or(0));
    if (fs::exists(pending)) {
      outcomes.pendingLeft++;
      if (test::readText(pending).find("</kDVR>") != std::string::npos) outcomes.pendingWhole++;
    }
    outcomes.iterations++;
  }

  std::ostringstream figures;
  figures << "core.xml kill loop: " << outcomes.iterations << " kills, " << outcomes.deltasSent
          << " deltas sent, " << outcomes.documentsSeen << " documents seen published; "
          << outcomes.pendingLeft << " kills left a pending copy (" << outcomes.pendingWhole
          << " of them whole), " << outcomes.readNewerThanSeen
          << " starts read a document newer than the last one seen; every start read a whole "
             "written document: "
          << (testing::Test::HasFailure() ? "no" : "yes") << "\n";
  std::cout << figures.str();
  if (const char* path = std::getenv("KV_STRESS_REPORT"))
    std::ofstream(path, std::ios::app) << figures.str();
}

}  // namespace
}  // namespace kv::core
