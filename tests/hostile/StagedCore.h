// The korvacore executable in a staging directory with hostile and witness plugins, played
// against by the test as its supervisor over a sequenced-packet socket pair.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/Process.h"

namespace kv::test {

class StagedCoreTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A copy of the test plugin library `library` named `name` in plugins/, configured by the
  // key=value lines `conf`.
  void addPlugin(const std::string& library, const std::string& name, const std::string& conf);
  // The witness plugin (HostilePlugin.cpp, mode=witness) with plugin ID `id`.
  void addWitness(const std::string& name, uint32_t id);
  // core.xml with the core's log level, so that level-0 reports are written.
  void setCoreLogLevel(int level);

  // Starts the core with one end of a socket pair as its pipe; the test keeps the other.
  void start(ProcessOptions options = {});
  // Sends `bytes` as one record; false when the socket refused it.
  bool sendRecord(const std::string& bytes);
  // The payload of the next packet from the core, or nothing within `limit`.
  std::optional<std::string> receivePayload(std::chrono::milliseconds limit);
  // Sends a "ping" packet with `word` to the witness with `id` and waits for the answers of the
  // witnesses `answering`: "<id> <word> <length>" each, in any order. False on a timeout or a
  // wrong answer.
  bool pingRoundTrip(uint32_t id, const std::string& word, const std::vector<uint32_t>& answering,
                     size_t padding = 0, std::chrono::milliseconds limit = std::chrono::seconds(20),
                     bool report = true);
  // The first ping after start-up, with a long wait for its answers: under the emulator and
  // heavy load the first delivery through a flooded queue takes a while.
  bool firstContact(uint32_t id, const std::vector<uint32_t>& answering);
  // Closes the supervisor's end and waits for the core.
  ProcessResult closeAndWait();
  ProcessResult waitForExit();

  std::vector<std::string> journal() const;
  // Waits until the journal holds `line`; false after 20 seconds. Packets for a plugin that is
  // not loaded yet are dropped, so a test waits for its witnesses' "Open" before the first ping.
  bool waitForJournal(const std::string& line) const;
  // How often `text` occurs in what the core wrote so far.
  size_t outputCount(const std::string& text) const;
  std::string readFile(const std::string& name) const;

  std::filesystem::path dir_;
  int supervisor_ = -1;
  std::unique_ptr<ChildProcess> core_;
};

// Where `line` stands in `lines`, or lines.size().
size_t indexOf(const std::vector<std::string>& lines, const std::string& line);

}  // namespace kv::test
