// The korvad-sim program against a fake core (FakeCore.cpp): what reaches the core, what is
// printed, how the core is stopped and whose exit code comes back.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "core/Version.h"
#include "tests/support/Process.h"

namespace kv::tools {
namespace {

namespace fs = std::filesystem;
using test::ChildProcess;
using test::ProcessResult;

constexpr auto kReply =
    R"(korvad-sim: packet length=32 route=0x01100000 type=256 payload="frames=12 held=3")";
constexpr auto kClose = R"(length=16 route=0x00000000 type=8 payload="")";

class KorvadSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::temp_directory_path() / ("kv_sim_" + std::to_string(getpid()) + "_" + test->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Starts the sim on the fake core in dir_; `env` is set for the sim and so for the core.
  std::unique_ptr<ChildProcess> start(std::vector<std::string> args,
                                      std::vector<std::pair<std::string, std::string>> env = {}) {
    args.insert(args.begin(), {"--dir", dir_.string(), "--core", KV_FAKE_CORE});
    test::ProcessOptions options;
    options.inChild = [env] {
      for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
    };
    return std::make_unique<ChildProcess>("", KV_KORVAD_SIM, args, options);
  }
  ProcessResult run(std::vector<std::string> args,
                    std::vector<std::pair<std::string, std::string>> env = {}) {
    return start(std::move(args), std::move(env))->wait(std::chrono::seconds(20));
  }

  // What the fake core received, one line per packet after the line about its start.
  std::string received() const {
    std::ifstream file(dir_ / "received.log");
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  }
  bool coreHasHeardFromSim() const {
    for (int i = 0; i < 1000; ++i) {
      if (received().find("type=7") != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  fs::path dir_;
};

TEST_F(KorvadSimTest, AnnouncesSendsPrintsAndClosesAfterSeconds) {
  const ProcessResult result =
      run({"--file", "sim-test", "--version", "9.8", "--background", "--send", "11:hello", "--send",
           "0x2A:world", "--send-after", "0.1", "--seconds", "0.5"},
          {{"FAKE_CORE_EXIT", "5"}});
  EXPECT_EQ(result.exitCode, 5) << result.err;
  EXPECT_EQ(received(),
            "args=1 seqpacket=1\n"
            R"(length=44 route=0x00000000 type=7 payload="sim-test\x009.8\x00Background:true")"
            "\n"
            R"(length=21 route=0x01100000 type=256 payload="hello")"
            "\n"
            R"(length=21 route=0x02a00000 type=256 payload="world")"
            "\n" +
                std::string(kClose) + "\n");
  EXPECT_NE(result.out.find(kReply), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("fake core up"), std::string::npos);  // the core's own output
  EXPECT_NE(result.out.find("korvad-sim: core exited with code 5"), std::string::npos);
}

TEST_F(KorvadSimTest, DefaultsStartDirKorvacoreInTheForeground) {
  fs::create_symlink(KV_FAKE_CORE, dir_ / "korvacore");
  ChildProcess sim("", KV_KORVAD_SIM, {"--dir", dir_.string(), "--seconds", "0.3"}, {});
  EXPECT_EQ(sim.wait(std::chrono::seconds(20)).exitCode, 0);
  EXPECT_EQ(received(),
            "args=1 seqpacket=1\n"
            "length=" +
                std::to_string(27 + std::strlen(core::kCoreVersion)) +
                R"( route=0x00000000 type=7 payload="korvad-sim\x00)" + core::kCoreVersion +
                "\"\n" + std::string(kClose) + "\n");
}

TEST_F(KorvadSimTest, SendsRepeatEveryPeriodUntilClose) {
  EXPECT_EQ(run({"--send", "7:tick", "--send-after", "0", "--send-every", "0.1", "--seconds", "1"})
                .exitCode,
            0);
  const std::string log = received();
  size_t ticks = 0;
  for (size_t at = 0; (at = log.find("payload=\"tick\"", at)) != std::string::npos; ++at) ++ticks;
  EXPECT_GE(ticks, 3u) << log;
  EXPECT_GT(log.find(kClose), log.rfind("tick"));
}

TEST_F(KorvadSimTest, CtrlCClosesTheCoreAndSigtermIsPassedOn) {
  auto sim = start({}, {{"FAKE_CORE_EXIT", "5"}});
  ASSERT_TRUE(coreHasHeardFromSim());
  sim->signal(SIGINT);
  EXPECT_EQ(sim->wait(std::chrono::seconds(20)).exitCode, 5);
  EXPECT_NE(received().find(kClose), std::string::npos);

  fs::remove(dir_ / "received.log");
  sim = start({});
  ASSERT_TRUE(coreHasHeardFromSim());
  sim->signal(SIGTERM);
  EXPECT_EQ(sim->wait(std::chrono::seconds(20)).exitCode, 43);  // the core's SIGTERM exit
  EXPECT_EQ(received().find(kClose), std::string::npos);
}

TEST_F(KorvadSimTest, CoreEndingByItselfEndsTheSimWithItsCode) {
  struct Case {
    const char* mode;
    int exitCode;
    const char* line;
  };
  for (const auto& c : {Case{"exit", 7, "korvad-sim: core exited with code 7"},
                        Case{"kill", 128 + SIGKILL, "korvad-sim: core killed by signal 9"}}) {
    const ProcessResult result = run({}, {{"FAKE_CORE_MODE", c.mode}, {"FAKE_CORE_EXIT", "7"}});
    EXPECT_EQ(result.exitCode, c.exitCode) << c.mode;
    EXPECT_NE(result.out.find(c.line), std::string::npos) << result.out;
    EXPECT_NE(result.out.find(kReply), std::string::npos) << result.out;  // sent before it ended
  }
}

TEST_F(KorvadSimTest, EmulatorWordsPrecedeTheCore) {
  EXPECT_EQ(run({"--emulator", "env  FAKE_CORE_EXIT=9", "--seconds", "0.3"}).exitCode, 9);
}

TEST_F(KorvadSimTest, HelpErrorsAndAMissingCore) {
  const ProcessResult help = test::runProcess("", KV_KORVAD_SIM, {"--help"}, {});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.out.find("--send-every"), std::string::npos);

  const ProcessResult bad = test::runProcess("", KV_KORVAD_SIM, {"--seconds", "x"}, {});
  EXPECT_EQ(bad.exitCode, 2);
  EXPECT_NE(bad.err.find("korvad-sim: --seconds"), std::string::npos) << bad.err;
  EXPECT_NE(bad.err.find("Usage:"), std::string::npos);

  const ProcessResult missing = test::runProcess(
      "", KV_KORVAD_SIM, {"--dir", dir_.string(), "--core", (dir_ / "none").string()}, {});
  EXPECT_EQ(missing.exitCode, 127);
  EXPECT_NE(missing.err.find("cannot start"), std::string::npos) << missing.err;
}

}  // namespace
}  // namespace kv::tools
