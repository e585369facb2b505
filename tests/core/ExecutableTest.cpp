// The korvacore executable in a staging directory: arguments, exit codes, the system identifier
// its log plugin is loaded with.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/Version.h"
#include "tests/support/IpcPackets.h"
#include "tests/support/Process.h"
#include "tests/support/TracedPlugins.h"

namespace kv::core {
namespace {

namespace fs = std::filesystem;
using test::ProcessOptions;
using test::ProcessResult;

class ExecutableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kv_exe_" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "plugins");
    fs::create_directories(dir_ / "scripts");
    fs::copy_file(KV_KORVACORE, dir_ / "korvacore");
    fs::copy_file(test::testPluginPath("id_plugin"), dir_ / "plugins" / "LogPI.so");
    exe_ = (dir_ / "korvacore").string();
  }
  void TearDown() override { fs::remove_all(dir_); }

  ProcessResult run(const std::vector<std::string>& args, ProcessOptions options = {}) {
    options.workingDir = dir_.string();
    return test::runProcess(KV_EMULATOR, exe_, args, options);
  }

  void writeScript(const std::string& body) {
    std::ofstream(dir_ / "scripts" / "get_id.sh") << "#!/bin/sh\n" << body;
    fs::permissions(dir_ / "scripts" / "get_id.sh", fs::perms::owner_all);
  }

  // What the log plugin saw: the system identifier, then its life.
  std::string pluginRecord() {
    std::ifstream file(dir_ / "loaded-id.txt", std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  }

  fs::path dir_;
  std::string exe_;
};

TEST_F(ExecutableTest, HelpIsPrintedForAnyArgumentWhoseSecondCharacterIsH) {
  const std::string help =
      "core version " + std::string(kCoreVersion) + "\nUsage: " + exe_ + " <pipe>\n";
  for (const auto& args : {std::vector<std::string>{"-h"}, {"-help", "7"}, {"-x", "-hx"}}) {
    const auto result = run(args);
    EXPECT_EQ(result.exitCode, 0) << args[0];
    EXPECT_EQ(result.err, help) << args[0];
    EXPECT_EQ(result.out, "");
  }
  EXPECT_EQ(pluginRecord(), "");  // the core was never built
}

TEST_F(ExecutableTest, ThePipeIsTheFirstArgumentWithoutADash) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
  // "-x" is skipped, 7 is the pipe; "abc" reads as 0. Each run finds a close packet waiting.
  const std::string close = test::ipcPacket(kIpcTypeClose, 0, "");
  ASSERT_EQ(send(pair[1], close.data(), close.size(), 0), 16);
  ProcessOptions atSeven, atZero;
  atSeven.fds = {{pair[0], 7}};
  atZero.fds = {{pair[0], 0}};
  EXPECT_EQ(run({"-x", "7"}, atSeven).exitCode, 0);
  ASSERT_EQ(send(pair[1], close.data(), close.size(), 0), 16);
  EXPECT_EQ(run({"abc"}, atZero).exitCode, 0);
  ::close(pair[0]);
  ::close(pair[1]);
  // Without a pipe the core starts and stops; the log plugin lives through its whole life.
  fs::remove(dir_ / "loaded-id.txt");
  writeScript("printf cam-7\n");
  EXPECT_EQ(run({}).exitCode, 0);
  EXPECT_EQ(pluginRecord(), "cam-7|opened|closed|unloaded");
}

TEST_F(ExecutableTest, AFailingInitExitsWithTwo) {
  const auto result = run({"99"});
  EXPECT_EQ(result.exitCode, 2);
  EXPECT_EQ(result.err.substr(result.err.size() - 26), "failed to initialize core\n");
  EXPECT_NE(result.out.find("failed to open ipc pipe"), std::string::npos) << result.out;
}

TEST_F(ExecutableTest, TheSystemIdentifierReachesThePlugins) {
  writeScript("printf 'cam-0042\\n'\n");
  EXPECT_EQ(run({}).exitCode, 0);
  EXPECT_EQ(pluginRecord(), "cam-0042\n|opened|closed|unloaded");

  fs::remove(dir_ / "loaded-id.txt");
  writeScript("[ -n \"$SUDO_COMMAND\" ] || printf fallback-id\n");
  EXPECT_EQ(run({}).exitCode, 0);
  EXPECT_EQ(pluginRecord(), "fallback-id|opened|closed|unloaded");

  fs::remove(dir_ / "loaded-id.txt");
  fs::remove(dir_ / "scripts" / "get_id.sh");
  EXPECT_EQ(run({}).exitCode, 0);
  EXPECT_EQ(pluginRecord(),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855\n"
            "|opened|closed|unloaded");
}

}  // namespace
}  // namespace kv::core
