#include "tests/hostile/StagedCore.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include "plugins/IpcPacket.h"
#include "tests/support/IpcPackets.h"
#include "tests/support/TracedPlugins.h"

namespace kv::test {

namespace fs = std::filesystem;

void StagedCoreTest::SetUp() {
  static int serial = 0;
  dir_ = fs::temp_directory_path() /
         ("kv_hostile_" + std::to_string(getpid()) + "_" + std::to_string(serial++));
  fs::remove_all(dir_);
  fs::create_directories(dir_ / "plugins");
  fs::create_directories(dir_ / "protected-plugins");
  fs::copy_file(KV_KORVACORE, dir_ / "korvacore");
  fs::copy_file(testPluginPath("id_plugin"), dir_ / "plugins" / "LogPI.so");
}

void StagedCoreTest::TearDown() {
  if (supervisor_ >= 0) ::close(supervisor_);
  supervisor_ = -1;
  core_.reset();
  fs::remove_all(dir_);
}

void StagedCoreTest::addPlugin(const std::string& library, const std::string& name,
                               const std::string& conf) {
  fs::copy_file(testPluginPath(library), dir_ / "plugins" / name);
  std::ofstream(dir_ / "plugins" / (name + ".conf")) << conf;
}

void StagedCoreTest::addWitness(const std::string& name, uint32_t id) {
  addPlugin("hostile", name, "mode=witness\naddress=" + std::to_string(id << 16) + "\n");
}

void StagedCoreTest::setCoreLogLevel(int level) {
  std::ofstream(dir_ / "core.xml")
      << "<?xml version=\"1.0\"?><kDVR><Modules><Module>"
      << "<Plugin ID=\"-2147483648\" LogLevel=\"" << level << "\"/></Module></Modules></kDVR>";
}

void StagedCoreTest::start(ProcessOptions options) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
  // Room for the largest records the tests send, in one piece.
  const int room = 512 * 1024;
  setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
  options.workingDir = dir_.string();
  options.fds = {{pair[0], 3}};
  core_ = std::make_unique<ChildProcess>(KV_EMULATOR, (dir_ / "korvacore").string(),
                                         std::vector<std::string>{"3"}, options);
  ::close(pair[0]);
  supervisor_ = pair[1];
}

bool StagedCoreTest::sendRecord(const std::string& bytes) {
  return send(supervisor_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
         static_cast<ssize_t>(bytes.size());
}

std::optional<std::string> StagedCoreTest::receivePayload(std::chrono::milliseconds limit) {
  pollfd ready{supervisor_, POLLIN, 0};
  if (poll(&ready, 1, static_cast<int>(limit.count())) != 1) return std::nullopt;
  std::string packet(core::kIpcMaxPacketSize, '\0');
  const ssize_t got = recv(supervisor_, packet.data(), packet.size(), 0);
  if (got < static_cast<ssize_t>(core::kIpcHeaderSize)) return std::nullopt;
  return packet.substr(core::kIpcHeaderSize, static_cast<size_t>(got) - core::kIpcHeaderSize);
}

bool StagedCoreTest::firstContact(uint32_t id, const std::vector<uint32_t>& answering) {
  return pingRoundTrip(id, "ping-0", answering, 0, std::chrono::seconds(20));
}

bool StagedCoreTest::pingRoundTrip(uint32_t id, const std::string& word,
                                   const std::vector<uint32_t>& answering, size_t padding,
                                   std::chrono::milliseconds limit, bool report) {
  std::string payload = word;
  if (padding > 0) payload += ' ' + std::string(padding - 1, 'p');
  if (!sendRecord(ipcPacket(0x100, core::ipcRoute(id), payload))) return false;
  std::vector<std::string> expected;
  for (uint32_t witness : answering) {
    char line[80];
    std::snprintf(line, sizeof line, "%02x %s %zu", witness, word.c_str(), payload.size());
    expected.emplace_back(line);
  }
  std::vector<std::string> answers;
  while (answers.size() < expected.size()) {
    // Generous: under the emulator and the sanitizers a round trip takes a while.
    const auto answer = receivePayload(limit);
    if (!answer) break;
    answers.push_back(*answer);
  }
  std::sort(answers.begin(), answers.end());
  std::sort(expected.begin(), expected.end());
  if (answers != expected && report) {
    const std::string output = core_->outputSoFar();
    ADD_FAILURE() << "answers to " << word << ": " << ::testing::PrintToString(answers)
                  << "\nthe core's output ends:\n"
                  << output.substr(output.size() > 3000 ? output.size() - 3000 : 0)
                  << "\nthe journal:\n";
    for (const auto& line : journal()) std::cerr << line << "\n";
  }
  return answers == expected;
}

ProcessResult StagedCoreTest::closeAndWait() {
  ::close(supervisor_);
  supervisor_ = -1;
  return waitForExit();
}

ProcessResult StagedCoreTest::waitForExit() {
  return core_->wait(std::chrono::seconds(60));
}

std::vector<std::string> StagedCoreTest::journal() const {
  std::ifstream file(dir_ / "journal.txt");
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  return lines;
}

bool StagedCoreTest::waitForJournal(const std::string& line) const {
  for (int i = 0; i < 2000; ++i) {
    // One reading: the journal grows while plugins load, and an index into one reading compared
    // with the size of a later one would find a line that isn't there yet.
    const auto lines = journal();
    if (indexOf(lines, line) < lines.size()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

size_t StagedCoreTest::outputCount(const std::string& text) const {
  const std::string output = core_->outputSoFar();
  size_t count = 0;
  for (size_t at = output.find(text); at != std::string::npos; at = output.find(text, at + 1)) {
    ++count;
  }
  return count;
}

std::string StagedCoreTest::readFile(const std::string& name) const {
  std::ifstream file(dir_ / name, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

size_t indexOf(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<size_t>(std::find(lines.begin(), lines.end(), line) - lines.begin());
}

}  // namespace kv::test
