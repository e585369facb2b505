// Init, the system identifier, the supervisor pipe's send side and the teardown report.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "core/SystemIdentity.h"
#include "events/RefBlock.h"
#include "tests/support/CoreFixture.h"
#include "tests/support/IpcPackets.h"
#include "tests/support/TracedPlugins.h"

namespace kv::core {
namespace {

using test::CoreTest;

constexpr char kDigestOfNothing[] =
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855\n";

class CoreInitTest : public CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    enterDir();
    std::filesystem::create_directories("scripts");
  }

  static void writeScript(const std::string& body) {
    std::ofstream("scripts/get_id.sh") << "#!/bin/sh\n" << body;
    std::filesystem::permissions("scripts/get_id.sh", std::filesystem::perms::owner_all);
  }
};

TEST_F(CoreInitTest, TheSystemIdentifierComesFromTheScriptOrTheDigestOfNothing) {
  EXPECT_EQ(obtainSystemId(), kDigestOfNothing);  // no script at all
  writeScript("");
  EXPECT_EQ(obtainSystemId(), kDigestOfNothing);  // a script that prints nothing
  writeScript("printf 'cam-0042\\n'\n");
  EXPECT_EQ(obtainSystemId(), "cam-0042\n");  // kept exactly, line feed included
  // Without sudo (or where it refuses) the script runs directly.
  writeScript("[ -n \"$SUDO_COMMAND\" ] || printf fallback-id\n");
  EXPECT_EQ(obtainSystemId(), "fallback-id");
}

// The sudo attempt is expected to fail on a camera without a sudo rule, and the direct run follows:
// its complaint is noise on every start, while the script's own messages stay visible.
TEST_F(CoreInitTest, OnlyTheScriptItselfMayWriteToStandardError) {
  std::filesystem::create_directories("bin");
  std::ofstream("bin/sudo") << "#!/bin/sh\necho 'sudo: a password is required' >&2\nexit 1\n";
  std::filesystem::permissions("bin/sudo", std::filesystem::perms::owner_all);
  writeScript("echo 'no serial number' >&2\nprintf cam-7\n");
  const std::string path = std::filesystem::absolute("bin").string() + ":" + getenv("PATH");
  const std::string savedPath = getenv("PATH");
  setenv("PATH", path.c_str(), 1);
  const int savedErr = dup(2);
  const int errFile = open("stderr.txt", O_WRONLY | O_CREAT | O_TRUNC, 0600);
  dup2(errFile, 2);
  const std::string id = obtainSystemId();
  dup2(savedErr, 2);
  close(savedErr);
  close(errFile);
  setenv("PATH", savedPath.c_str(), 1);
  EXPECT_EQ(id, "cam-7");
  std::ifstream file("stderr.txt");
  const std::string written((std::istreambuf_iterator<char>(file)), {});
  EXPECT_EQ(written, "no serial number\n");
}

TEST_F(CoreInitTest, CommandOutputIsReadWhole) {
  EXPECT_EQ(getCommandOutput("head -c 10000 /dev/zero | tr '\\0' x"), std::string(10000, 'x'));
  EXPECT_EQ(getCommandOutput("printf 'a\\0b'"), std::string("a\0b", 3));
  EXPECT_EQ(getCommandOutput("exit 3"), "");
}

TEST_F(CoreInitTest, InitLoadsAndOpensTheLogPluginAndMasksFileModes) {
  writeScript("printf 'cam-0042\\n'\n");
  std::filesystem::copy_file(test::tracePluginPath("full"), "plugins/LogPI.so");
  const mode_t before = umask(022);
  ASSERT_TRUE(core_->Init(-1));
  EXPECT_EQ(umask(before), 077);
  EXPECT_EQ(core_->systemId, "cam-0042\n");
  ASSERT_NE(core_->logPlugin, nullptr);
  EXPECT_EQ(core_->logPlugin->loadCode(), 0);
  EXPECT_TRUE(core_->logPlugin->isOpened());
  EXPECT_FALSE(core_->link->ipcConnected.load());

  // A missing log plugin is recorded, not fatal.
  auto other = std::make_unique<DvrCore>((dir_ / "elsewhere" / "korvacore").string());
  gCore = other.get();
  EXPECT_TRUE(other->Init(-1));
  EXPECT_EQ(other->logPlugin->loadCode(), Plugin::kLoadDlopenFailed);
  other.reset();
  gCore = core_.get();
}

TEST_F(CoreInitTest, APipeThatCannotBeWrappedFailsInit) {
  EXPECT_FALSE(core_->Init(999));
  EXPECT_EQ(syslogCalls(), std::vector<std::string>{"failed to open ipc pipe"});
  EXPECT_EQ(core_->logPlugin, nullptr);
}

TEST_F(CoreInitTest, PacketsArePassedToThePipeInPostingOrder) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
  ASSERT_TRUE(core_->Init(pair[0]));
  EXPECT_TRUE(core_->link->ipcConnected.load());
  const std::string packets[] = {test::ipcPacket(0x100, 0, "first packet"),
                                 test::ipcPacket(0x100, 0, std::string(3000, 's')),
                                 test::ipcPacket(0x100, 0, "third")};
  for (const auto& packet : packets) {
    auto ipc = record(kTypeIpc, 0, makeAddress(0x21), packet);
    EXPECT_EQ(postEvent(&ipc), kPostAccepted);
  }
  EXPECT_EQ(core_->counters.ipcMessagesQueued.load(), 3u);
  core_->io->ioContext.run_for(std::chrono::seconds(5));
  for (const auto& packet : packets) {
    std::string received(8192, '\0');
    const ssize_t got = recv(pair[1], received.data(), received.size(), MSG_DONTWAIT);
    ASSERT_GT(got, 0);
    received.resize(static_cast<size_t>(got));
    EXPECT_EQ(received, packet);
  }
  ::close(pair[1]);
  core_->link->ipcConnected = false;  // as after a disconnection
  auto late = record(kTypeIpc, 0, makeAddress(0x21), "late");
  EXPECT_EQ(postEvent(&late), kPostRefused);
}

TEST_F(CoreInitTest, TheTeardownReportsReferencesThatWereNeverReleased) {
  core_->logLevels[0] = 0;
  core_->logSink.setPluginName(0x21, "cam");
  const std::string payload(100, 'f');
  auto frame = record(kTypeAlarm, kFlagLive, makeAddress(0x21), payload);
  ASSERT_EQ(postEvent(&frame), kPostAccepted);
  void* kept = queued().at(0).data;
  core_->addRef(kept, 0x21);  // a plugin keeps it and never gives it back
  core_->addRef(kept, 0x21);
  core_->queue.eventQueue.clear();  // delivered: the queue's reference goes
  core_->releaseRef(kept, 0);
  const size_t before = logLines().size();
  core_->requestStop();  // as after the main loop: the report's own records are not queued
  core_.reset();
  gCore = nullptr;
  const auto lines = logLines();
  ASSERT_EQ(lines.size(), before + 2);
  EXPECT_NE(lines[before].find("core\033[0m refblks: 1(108)"), std::string::npos) << lines[before];
  EXPECT_NE(lines[before + 1].find("Plugin 21:cam unloaded holding 2 event reference(s)."),
            std::string::npos);
  freeRefBlock(kept);
}

// Every block is freed, but the reference went back under another plugin's address: both
// counters are off, and the teardown names them.
TEST_F(CoreInitTest, TheTeardownReportsAReferenceGivenBackUnderAnotherAddress) {
  core_->logLevels[0] = 0;
  core_->logSink.setPluginName(0x21, "cam");
  core_->logSink.setPluginName(0x22, "rec");
  // Each holds a reference of its own, so the intake takes rec's decref of cam's payload.
  auto frame = record(kTypeAlarm, kFlagLive, makeAddress(0x21), "payload");
  ASSERT_EQ(postEvent(&frame), kPostAccepted);
  auto other = record(kTypeAlarm, kFlagLive, makeAddress(0x22), "other");
  ASSERT_EQ(postEvent(&other), kPostAccepted);
  void* kept = queued().at(0).data;
  void* recKept = queued().at(1).data;
  core_->addRef(kept, 0x21);
  core_->addRef(recKept, 0x22);
  auto decref = record(kTypeDecref, 0, makeAddress(0x22));
  decref.data = kept;
  decref.length = 1;
  ASSERT_EQ(postEvent(&decref), kPostAccepted);
  core_->queue.eventQueue.clear();
  core_->releaseRef(kept, 0);  // the last references: both blocks are freed
  core_->releaseRef(recKept, 0);
  core_->releaseRef(recKept, 0x22);
  ASSERT_EQ(core_->counters.refblkCount.load(), 0u);
  const size_t before = logLines().size();
  core_->requestStop();
  core_.reset();
  gCore = nullptr;
  const auto lines = logLines();
  ASSERT_EQ(lines.size(), before + 3);
  EXPECT_NE(lines[before].find("refblks: 0(0)"), std::string::npos) << lines[before];
  EXPECT_NE(lines[before + 1].find("Plugin 21:cam unloaded holding 1 event reference(s)."),
            std::string::npos);
  EXPECT_NE(lines[before + 2].find("Plugin 22:rec unloaded holding -1 event reference(s)."),
            std::string::npos);
}

TEST_F(CoreInitTest, ATeardownWithoutLeaksSaysNothing) {
  core_->logLevels[0] = 0;
  core_.reset();
  gCore = nullptr;
  EXPECT_TRUE(logLines().empty());
}

}  // namespace
}  // namespace kv::core
