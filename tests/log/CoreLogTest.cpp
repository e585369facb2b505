// The core's logging front end through a real core: levels, formatting, whole lines.
#include "log/CoreLog.h"

#include <gtest/gtest.h>

#include <thread>

#include "tests/support/CoreFixture.h"

namespace {
// Counts how often it is formatted, to prove that dropped messages format nothing.
struct Counted {
  static inline int formatted = 0;
};
}  // namespace

template <>
struct fmt::formatter<Counted> : fmt::formatter<std::string_view> {
  auto format(const Counted&, fmt::format_context& context) const {
    ++Counted::formatted;
    return fmt::formatter<std::string_view>::format("counted", context);
  }
};

namespace kv::core {
namespace {

using test::CoreTest;

using CoreLogTest = CoreTest;

TEST_F(CoreLogTest, MessagesBecomeLinesAndCoreLogRecords) {
  coreLog25("Loaded plugin {:02x}:{} [{:L}]", 0x2a, "Foo", 1234567);
  const auto lines = logLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "\033[32m12:04:05.007\033[36m core\033[0m Loaded plugin 2a:Foo [1,234,567]");
  const auto queue = queued();
  ASSERT_EQ(queue.size(), 1u);
  EXPECT_EQ(queue[0].source, kCoreAddress);
  EXPECT_EQ(queue[0].flags, 0x1000002u);
  EXPECT_EQ(queue[0].level, 25);
  EXPECT_EQ(std::string(static_cast<const char*>(queue[0].data), queue[0].length),
            "Loaded plugin 2a:Foo [1,234,567]");
}

TEST_F(CoreLogTest, MessagesBelowTheCoreLevelFormatNothing) {
  core_->logLevels[0] = 50;
  Counted::formatted = 0;
  coreLog25("{}", Counted{});
  coreLog0("{}", Counted{});
  EXPECT_EQ(Counted::formatted, 0);
  EXPECT_TRUE(logLines().empty());
  EXPECT_TRUE(queued().empty());
  coreLog50("{}", Counted{});
  EXPECT_EQ(Counted::formatted, 1);
  EXPECT_EQ(logLines().size(), 1u);
}

TEST_F(CoreLogTest, LongMessagesAreNotCut) {
  const std::string longText(5000, 'y');
  coreLog75("{}{}", longText, "end");
  const auto lines = logLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(longText + "end"), std::string::npos);
}

TEST_F(CoreLogTest, LinesFromManyThreadsNeverMix) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 100; ++i) coreLog50("thread {} line {} {}", t, i, std::string(300, 'z'));
    });
  }
  for (auto& thread : threads) thread.join();
  const auto lines = logLines();
  ASSERT_EQ(lines.size(), 400u);
  const std::string tail = " " + std::string(300, 'z');
  for (const auto& line : lines) {
    EXPECT_EQ(line.rfind("\033[38;5;227m12:04:05.007\033[36m core\033[0m thread ", 0), 0u);
    EXPECT_EQ(line.substr(line.size() - tail.size()), tail);
  }
}

}  // namespace
}  // namespace kv::core
