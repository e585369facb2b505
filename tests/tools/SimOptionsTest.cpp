// The command line of korvad-sim: defaults, repeatable sends with hex IDs, and refusals.
#include <gtest/gtest.h>

#include "core/Version.h"
#include "tools/SimOptions.h"

namespace kv::tools {
namespace {

using std::chrono::milliseconds;

SimOptions parsed(const std::vector<std::string>& args) {
  ParsedOptions result = parseOptions(args);
  EXPECT_EQ(result.error, "");
  return result.options;
}

TEST(SimOptionsTest, Defaults) {
  const SimOptions options = parsed({});
  EXPECT_EQ(options.dir, ".");
  EXPECT_EQ(options.core, "./korvacore");
  EXPECT_TRUE(options.emulator.empty());
  EXPECT_EQ(options.file, "korvad-sim");
  EXPECT_EQ(options.version, core::kCoreVersion);
  EXPECT_FALSE(options.background);
  EXPECT_TRUE(options.sends.empty());
  EXPECT_EQ(options.sendAfter, milliseconds(2000));
  EXPECT_EQ(options.sendEvery, milliseconds(0));
  EXPECT_EQ(options.seconds, milliseconds(0));
  EXPECT_FALSE(options.help);
}

TEST(SimOptionsTest, EveryOptionTakesItsValue) {
  const SimOptions options =
      parsed({"--core", "bin/core", "--dir=stage", "--emulator", "  qemu-arm \t-L /usr/arm ",
              "--file", "f", "--version", "1.0", "--background", "--send-after", "0.25",
              "--send-every=1.5", "--seconds", "3"});
  EXPECT_EQ(options.dir, "stage");
  EXPECT_EQ(options.core, "bin/core");  // not tied to --dir, whatever the order
  EXPECT_EQ(options.emulator, (std::vector<std::string>{"qemu-arm", "-L", "/usr/arm"}));
  EXPECT_EQ(options.file, "f");
  EXPECT_EQ(options.version, "1.0");
  EXPECT_TRUE(options.background);
  EXPECT_EQ(options.sendAfter, milliseconds(250));
  EXPECT_EQ(options.sendEvery, milliseconds(1500));
  EXPECT_EQ(options.seconds, milliseconds(3000));
  EXPECT_EQ(parsed({"--dir", "stage"}).core, "stage/korvacore");
  EXPECT_TRUE(parsed({"--help"}).help);
}

TEST(SimOptionsTest, SendsAreRepeatableWithHexIds) {
  const SimOptions options =
      parsed({"--send", "11:a", "--send", "0x2A:b:c", "--send=ff:", "--send", "0:-x"});
  ASSERT_EQ(options.sends.size(), 4u);
  const std::vector<std::pair<int, std::string>> expected = {
      {0x11, "a"}, {0x2A, "b:c"}, {0xFF, ""}, {0, "-x"}};
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(options.sends[i].pluginId, expected[i].first) << i;
    EXPECT_EQ(options.sends[i].text, expected[i].second) << i;
  }
}

TEST(SimOptionsTest, BadCommandLinesAreRefused) {
  const std::vector<std::vector<std::string>> bad = {{"--send", "100:x"},  {"--send", "zz:x"},
                                                     {"--send", "11"},     {"--send", ":x"},
                                                     {"--send", "0x:x"},   {"--seconds", "-1"},
                                                     {"--seconds", "abc"}, {"--seconds", "nan"},
                                                     {"--seconds", "2s"},  {"--send-every", "0"},
                                                     {"--send-after", ""}, {"--dir"},
                                                     {"--bogus"},          {"stage"},
                                                     {"--background=yes"}};
  for (const auto& args : bad) {
    EXPECT_NE(parseOptions(args).error, "") << args[0] << " " << args.back();
  }
}

}  // namespace
}  // namespace kv::tools
