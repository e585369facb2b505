// The korva-inspect program on the test plugins of this build: what it reports, that it runs
// nothing but Load and Unload, and how it fails.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/Process.h"

namespace kv::tools {
namespace {

using test::ProcessResult;

const std::string kPluginDir = KV_TEST_PLUGIN_DIR;

ProcessResult inspect(std::vector<std::string> args, const std::string& workingDir = "") {
  test::ProcessOptions options;
  options.workingDir = workingDir;
  return test::runProcess(KV_EMULATOR, KV_KORVA_INSPECT, args, options);
}

void expectLines(const ProcessResult& result, std::initializer_list<const char*> lines) {
  for (const char* line : lines) {
    EXPECT_NE(result.out.find(line), std::string::npos) << "no '" << line << "' in\n"
                                                        << result.out << result.err;
  }
}

TEST(KorvaInspectTest, ReportsTheReplyAndRunsOnlyLoadAndUnload) {
  // The trace plugin posts one record from Load and one from each later entry it enters. With
  // worker=1 and reader=1 its IOCTL code 1 and Read block until Close, which is never called:
  // a worker or reader started here would hang the run.
  const auto result = inspect({"--system-id", "address=0x00060000 worker=1 reader=1 write=1",
                               kPluginDir + "/trace_full.so"});
  ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
  expectLines(result, {
                          "plugin          trace_full.so\n",
                          "1 record(s) posted during Load\n",
                          "plugin ID       06\n",
                          "address word    0x00060000\n",
                          "special rule    ID 06 is loaded first",
                          "  video     0x02000000  live\n",
                          "  analytic  0x00000000  none\n",
                          "worker thread   requested: IOCTL code 1 runs on it",
                          "reader thread   requested: Read runs on it",
                          "acceptsWrite    yes, but OnEvent takes every event: unused\n",
                          "close order     4660 (0x00001234)",
                          "IOCTL codes\n  1  the worker thread's body\nsearches",
                          "searches        served through OnSearch\n",
                          "  Load        exported  required\n",
                          "  Close       exported  required to be opened\n",
                          "  IOCTL       exported\n",
                          // Unload's trace, and nothing else.
                          "unloaded; 1 record(s) posted after Load\n",
                      });
}

TEST(KorvaInspectTest, DerivesTheFallbacksOfAPluginWithoutEventEntries) {
  const auto result =
      inspect({"--system-id", "address=0x00080000 reader=1", kPluginDir + "/trace_fallbacks.so"});
  ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
  expectLines(result, {
                          "plugin ID       08\n",
                          "special rule    ID 08 is removed at close",
                          "worker thread   not requested\n",
                          "IOCTL codes\n  2  configuration events, in place of OnEvent\n"
                          "  4  supervisor packets, in place of OnIpcResult\nsearches",
                          // Read and startAsyncReader, but no stored word to serve.
                          "searches        not served\n",
                          "  OnEvent     missing\n",
                      });
}

TEST(KorvaInspectTest, APluginWithoutCloseIsNeverOpened) {
  const auto result = inspect({"--system-id", "reader=1", kPluginDir + "/trace_no_close.so"});
  ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
  expectLines(result, {
                          "plugin ID       42\n",
                          "opening         no: missing Open()/Close() (open code -102)\n",
                          "reader thread   requested, but the plugin can't be opened",
                          // OnEvent is never bound, so configuration events go to IOCTL.
                          "IOCTL codes\n  2  configuration events",
                          "searches        not served\n",
                          "  Close       missing   required to be opened\n",
                      });
}

TEST(KorvaInspectTest, FindsABareNameInTheCurrentDirectory) {
  const auto result = inspect({"trace_bare.so"}, kPluginDir);
  ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
  expectLines(result, {"plugin          trace_bare.so\n", "IOCTL codes     none\n",
                       "  IOCTL       missing\n"});
}

TEST(KorvaInspectTest, ReportsLoadFailuresAsTheCoreLogsThem) {
  struct Case {
    std::string path;
    std::string text;
  };
  const Case cases[] = {
      {kPluginDir + "/trace_load7.so",
       "Failed to load plugin trace_load7.so: load code 7\nload code 7\n"},
      {kPluginDir + "/trace_no_unload.so",
       "Failed to load plugin trace_no_unload.so: missing Load()/Unload()\nload code -101\n"},
      {KV_TEST_NOT_A_LIBRARY, "Failed to load plugin not_a_library.so: "},
      {kPluginDir + "/absent.so", "Failed to load plugin absent.so: "},
  };
  for (const Case& c : cases) {
    const auto result = inspect({c.path});
    EXPECT_EQ(result.exitCode, 1) << c.path;
    EXPECT_NE(result.err.find(c.text), std::string::npos) << result.err;
    EXPECT_EQ(result.out, "") << c.path;
  }
  EXPECT_NE(inspect({KV_TEST_NOT_A_LIBRARY}).err.find("\nload code 79\n"), std::string::npos);
}

TEST(KorvaInspectTest, BadUsageExitsWithTwo) {
  const std::vector<std::vector<std::string>> usages = {
      {}, {"a.so", "b.so"}, {"--verbose", "a.so"}, {"a.so", "--system-id"}};
  for (const auto& args : usages) {
    const auto result = inspect(args);
    EXPECT_EQ(result.exitCode, 2) << testing::PrintToString(args);
    EXPECT_NE(result.err.find("usage: korva-inspect"), std::string::npos) << result.err;
  }
  EXPECT_EQ(inspect({"--help"}).exitCode, 0);
}

}  // namespace
}  // namespace kv::tools
