// The whole life of korvacore in a staging directory, played against by the test as supervisor:
// stops by pipe loss, close packet and signals, the order of the plugin passes, the user switch.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "plugins/PluginAbi.h"
#include "tests/support/IpcPackets.h"
#include "tests/support/Process.h"
#include "tests/support/TracedPlugins.h"

namespace kv::core {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class LifecycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kv_life_" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "plugins");
    fs::create_directories(dir_ / "protected-plugins");
    fs::copy_file(KV_KORVACORE, dir_ / "korvacore");
    fs::copy_file(test::testPluginPath("id_plugin"), dir_ / "plugins" / "LogPI.so");
  }
  void TearDown() override {
    for (int fd : pair_) {
      if (fd >= 0) ::close(fd);
    }
    fs::remove_all(dir_);
  }

  void addFilePlugin(const std::string& name, const std::string& conf) {
    fs::copy_file(test::testPluginPath("file_plugin"), dir_ / "plugins" / name);
    std::ofstream(dir_ / "plugins" / (name + ".conf")) << conf;
  }

  // Starts the core with one end of a socket pair as its pipe; the test keeps the other.
  std::unique_ptr<test::ChildProcess> startWithPipe(test::ProcessOptions options = {}) {
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair_), 0);
    options.workingDir = dir_.string();
    options.fds = {{pair_[0], 3}};
    auto child = std::make_unique<test::ChildProcess>(KV_EMULATOR, (dir_ / "korvacore").string(),
                                                      std::vector<std::string>{"3"}, options);
    ::close(pair_[0]);
    pair_[0] = -1;
    return child;
  }

  void sendToCore(const std::string& packet) {
    ASSERT_EQ(send(pair_[1], packet.data(), packet.size(), 0), static_cast<ssize_t>(packet.size()));
  }

  std::vector<std::string> journal() {
    std::ifstream file(dir_ / "journal.txt");
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    return lines;
  }

  bool waitForJournal(const std::string& line) {
    for (int i = 0; i < 6000; ++i) {
      const auto lines = journal();
      if (std::find(lines.begin(), lines.end(), line) != lines.end()) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }

  // "Opening 21:a" and the like, in the order of the output.
  static std::vector<std::string> passLines(const std::string& output) {
    std::vector<std::string> lines;
    std::istringstream stream(output);
    for (std::string line; std::getline(stream, line);) {
      for (const char* pass : {"Opening ", "Closing ", "Unloading "}) {
        const auto at = line.find(pass);
        if (at != std::string::npos) lines.push_back(line.substr(at));
      }
    }
    return lines;
  }

  fs::path dir_;
  int pair_[2] = {-1, -1};
};

TEST_F(LifecycleTest, WithoutAPipeThePluginsLiveTheirWholeLife) {
  addFilePlugin("a.so", "address=0x00210000\n");
  test::ProcessOptions options;
  options.workingDir = dir_.string();
  const auto result = test::runProcess(KV_EMULATOR, (dir_ / "korvacore").string(), {}, options);
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_NE(result.out.find("korvad ipc pipe disconnected"), std::string::npos) << result.out;
  EXPECT_EQ(journal(), (std::vector<std::string>{"a.so Loading", "a.so Load", "a.so Open",
                                                 "a.so Close", "a.so Unload"}));
  EXPECT_EQ(passLines(result.out),
            (std::vector<std::string>{"Opening 21:a", "Closing 21:a", "Closing 7f:LogPI",
                                      "Unloading 21:a", "Unloading 7f:LogPI"}));
}

TEST_F(LifecycleTest, ACloseOrderForEveryPluginAndIdEightBeforeAll) {
  addFilePlugin("Alpha.so", "address=0x00310000\ncloseOrder=5\n");
  addFilePlugin("beta.so", "address=0x00320000\ncloseOrder=5\n");
  addFilePlugin("max.so", "address=0x00330000\ncloseOrder=0xFFFFFFFF\n");
  addFilePlugin("one.so", "address=0x00340000\ncloseOrder=1\n");
  addFilePlugin("zero.so", "address=0x00350000\ncloseOrder=0\n");
  addFilePlugin("eight.so", "address=" + std::to_string(makeAddress(kPluginIdRemovedAtClose)) +
                                "\ncloseOrder=0xFFFFFFFF\n");
  // Can't be opened (no Close); declares ID 0x42 and close order 0x1234.
  fs::copy_file(test::tracePluginPath("no_close"), dir_ / "plugins" / "noclose.so");
  auto core = startWithPipe();
  ASSERT_TRUE(waitForJournal("zero.so Open"));
  // The first pulse reports the memory limits; the dispatch loop's first turn, the status.
  for (const char* text : {"memory limits, throttling:", " InQ:", "\nltm:"}) {
    bool seen = false;
    for (int i = 0; i < 3000 && !seen; ++i) {
      seen = core->outputSoFar().find(text) != std::string::npos;
      if (!seen) std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(seen) << text;
  }
  sendToCore(test::ipcPacket(kIpcTypeClose, 0, ""));
  const auto result = core->wait();
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(
      passLines(result.out),
      (std::vector<std::string>{
          "Opening 31:Alpha",   "Opening 32:beta",   "Opening 08:eight", "Opening 33:max",
          "Opening 42:noclose", "Opening 34:one",    "Opening 35:zero",  "Closing 33:max",
          "Closing 42:noclose", "Closing 31:Alpha",  "Closing 32:beta",  "Closing 34:one",
          "Closing 7f:LogPI",   "Closing 35:zero",   "Unloading 33:max", "Unloading 42:noclose",
          "Unloading 31:Alpha", "Unloading 32:beta", "Unloading 34:one", "Unloading 7f:LogPI",
          "Unloading 35:zero"}));
  // The ID-8 plugin was closed and unloaded before every other plugin, without a line.
  const auto lines = journal();
  const auto at = [&](const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) - lines.begin();
  };
  EXPECT_LT(at("eight.so Unload"), at("max.so Close"));
  EXPECT_LT(at("eight.so Close"), at("eight.so Unload"));
}

TEST_F(LifecycleTest, ASignalWhileLoadingStillBringsEveryPluginUpAndDown) {
  addFilePlugin("a.so", "address=0x00210000\nloadSleepMs=1500\n");
  addFilePlugin("b.so", "address=0x00220000\n");
  auto core = startWithPipe();
  ASSERT_TRUE(waitForJournal("a.so Loading"));
  core->signal(SIGTERM);
  const auto result = core->wait();
  EXPECT_EQ(result.exitCode, 0) << result.err;
  const auto lines = journal();
  for (const char* line : {"a.so Open", "b.so Open", "a.so Unload", "b.so Unload"}) {
    EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << line;
  }
}

TEST_F(LifecycleTest, TwoSignalsMakeOneStop) {
  addFilePlugin("a.so", "address=0x00210000\n");
  auto core = startWithPipe();
  ASSERT_TRUE(waitForJournal("a.so Open"));
  core->signal(SIGTERM);
  core->signal(SIGINT);
  const auto result = core->wait();
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(journal().back(), "a.so Unload");
}

// The real user switch: the supervisor runs as an unprivileged user and starts the core as that
// user, so the core keeps its user and can't set its capabilities.
TEST_F(LifecycleTest, ACoreOfAnUnprivilegedSupervisorGoesOnWithoutCapabilities) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to play an unprivileged supervisor";
  fs::permissions(dir_, fs::perms::all);
  test::ProcessOptions options;
  options.workingDir = dir_.string();
  // In the child: become nobody, then start the core from there, so that nobody is its parent.
  options.inChild = [] {
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(125);
    const pid_t core = fork();
    if (core == 0) return;
    int status = 0;
    waitpid(core, &status, 0);
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 124);
  };
  const auto result = test::runProcess(KV_EMULATOR, (dir_ / "korvacore").string(), {}, options);
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_NE(result.out.find("capset failed: Operation not permitted"), std::string::npos)
      << result.out;
}

// A reader of standard output that goes away doesn't kill the core: lines are lost, the plugins
// still live their whole life and the core exits normally.
TEST_F(LifecycleTest, StandardOutputWithoutAReaderLosesLinesButNotTheCore) {
  addFilePlugin("a.so", "address=0x00210000\n");
  int out[2];
  ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
  ::close(out[0]);
  test::ProcessOptions options;
  options.workingDir = dir_.string();
  options.fds = {{out[1], 1}};
  const auto result = test::runProcess(KV_EMULATOR, (dir_ / "korvacore").string(), {}, options);
  ::close(out[1]);
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(journal(), (std::vector<std::string>{"a.so Loading", "a.so Load", "a.so Open",
                                                 "a.so Close", "a.so Unload"}));
}

// A root core under an unprivileged supervisor gives up CAP_SYS_RAWIO on every thread once the
// plugins are open, not only on the first: the I/O thread and a thread a plugin started included.
TEST_F(LifecycleTest, EveryThreadGivesUpRawIoOnceThePluginsAreOpen) {
  if (geteuid() != 0)
    GTEST_SKIP() << "needs root to start a root core under an unprivileged parent";
  if (!std::string(KV_EMULATOR).empty()) {
    GTEST_SKIP() << "the emulator's own threads are listed among the core's";
  }
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizer's own thread blocks every signal, so it keeps its capabilities";
#endif
  fs::permissions(dir_, fs::perms::all);
  fs::permissions(dir_ / "plugins", fs::perms::all);
  addFilePlugin("a.so", "address=0x00210000\nthread=1\nrecord=1\n");
  test::ProcessOptions options;
  options.inChild = [] {
    // The supervisor is nobody by its real user ID (its "Uid:" line); the core it starts is root.
    if (setresuid(65534, 0, 0) != 0) _exit(125);
    const pid_t core = fork();
    if (core == 0) {
      if (setresuid(0, 0, 0) != 0) _exit(125);
      return;
    }
    int status = 0;
    waitpid(core, &status, 0);
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 124);
  };
  auto core = startWithPipe(options);
  // Records reach plugins only once the dispatch loop runs, after the narrowing.
  const auto events = dir_ / "plugins" / "a.so.events";
  for (int i = 0; i < 3000 && !(fs::exists(events) && fs::file_size(events) > 0); ++i) {
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_TRUE(fs::exists(events)) << core->outputSoFar();
  std::string pid;
  for (const auto& line : journal()) {
    if (line.rfind("a.so pid ", 0) == 0) pid = line.substr(9);
  }
  ASSERT_FALSE(pid.empty());
  std::vector<std::string> capabilities;
  for (const auto& task : fs::directory_iterator("/proc/" + pid + "/task")) {
    std::ifstream status(task.path() / "status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("CapEff:", 0) == 0)
        capabilities.push_back(line.substr(line.find_last_of("\t ") + 1));
    }
  }
  EXPECT_GE(capabilities.size(), 3u);  // the first thread, the I/O thread, the plugin's own
  for (const auto& effective : capabilities) EXPECT_EQ(effective, "0000000000003000");
  sendToCore(test::ipcPacket(kIpcTypeClose, 0, ""));
  const auto result = core->wait();
  EXPECT_EQ(result.exitCode, 0) << result.err;
}

}  // namespace
}  // namespace kv::core
