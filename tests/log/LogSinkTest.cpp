// The exact bytes of log lines, the system-log hand-off, and size texts.
#include "log/LogSink.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <system_error>
#include <vector>

#include <fmt/format.h>

#include "log/LogFormat.h"
#include "log/WallClock.h"

namespace kv::core {
namespace {

constexpr int64_t k120405007 = (43445 * 1000 + 7) * int64_t{1000000};  // 12:04:05.007 UTC

class LogSinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC0", 1);
    tzset();
    path_ = testing::TempDir() + "kv_log_" + std::to_string(getpid()) + ".txt";
    fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd_, 0);
  }
  void TearDown() override {
    ::close(fd_);
    ::unlink(path_.c_str());
  }

  LogSink::Seams seams() {
    LogSink::Seams seams;
    seams.outputFd = fd_;
    seams.syslogCritical = [this](std::string_view text) { syslog_.emplace_back(text); };
    seams.wallClockNanos = [] { return k120405007; };
    return seams;
  }

  std::string output() const {
    std::string text(1 << 16, '\0');
    const ssize_t got = ::pread(fd_, text.data(), text.size(), 0);
    text.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return text;
  }

  static void write(LogSink& sink, uint32_t id, int32_t level, std::string_view text) {
    sink.writeLogLine(id, level, static_cast<uint32_t>(text.size()), text.data());
  }

  std::string path_;
  int fd_ = -1;
  std::vector<std::string> syslog_;
};

TEST_F(LogSinkTest, EachBandHasItsColour) {
  const std::string grey = "\033[38;5;248m", green = "\033[32m", yellow = "\033[38;5;227m",
                    red = "\033[38;5;196m", top = "\033[38;5;37m\033[38;5;1m";
  const std::pair<int32_t, std::string> bands[] = {
      {0, grey},    {24, grey}, {25, green}, {49, green}, {50, yellow},
      {74, yellow}, {75, red},  {99, red},   {100, top},  {250, top},
  };
  for (const auto& [level, colour] : bands) {
    ASSERT_EQ(::ftruncate(fd_, 0), 0);
    ASSERT_EQ(::lseek(fd_, 0, SEEK_SET), 0);
    LogSink sink(seams());
    write(sink, 0, level, "Loaded plugin 2a:Foo");
    EXPECT_EQ(output(), colour + "12:04:05.007\033[36m core\033[0m Loaded plugin 2a:Foo\n")
        << "level " << level;
  }
  // Only the levels from 100 up reach the system log, without time or name.
  EXPECT_EQ(syslog_, (std::vector<std::string>{"Loaded plugin 2a:Foo", "Loaded plugin 2a:Foo"}));
}

TEST_F(LogSinkTest, PlainLinesNamesAndTrailingLineEnds) {
  LogSink sink(seams());
  sink.colourLog = 0;
  write(sink, 0, 25, "Loaded plugin 2a:Foo");
  write(sink, 0x1a, 25, std::string_view("abc\r\n\0", 6));
  sink.setPluginName(0x1a, "cam");
  write(sink, 0x1a, 25, "named");
  write(sink, 0x1b, 25, "core.xml unreadable\nConfig defaulted\n");
  write(sink, 0, 100, std::string_view("\r\n\0\n", 4));  // nothing, not even the system log
  EXPECT_EQ(output(),
            "12:04:05.007 core Loaded plugin 2a:Foo\n"
            "12:04:05.007 PI1a abc\n"
            "12:04:05.007 cam named\n"
            "12:04:05.007 PI1b core.xml unreadable\nConfig defaulted\n");
  EXPECT_TRUE(syslog_.empty());
  EXPECT_EQ(sink.pluginName(0x1a), "cam");
  EXPECT_EQ(sink.pluginName(0), "core");
  EXPECT_FALSE(sink.pluginName(0x1b).has_value());
}

// 2040-01-01 12:34:56.789 UTC: past the last second a 32-bit time_t can count.
constexpr int64_t k2040Seconds = 2'209'034'096;
constexpr int64_t k2040 = (k2040Seconds * 1000 + 789) * int64_t{1000000};

TEST_F(LogSinkTest, TimeStampsAfter2038) {
  auto after2038 = seams();
  after2038.wallClockNanos = [] { return k2040; };
  LogSink sink(after2038);
  sink.colourLog = 0;
  write(sink, 0, 25, "late");
  EXPECT_EQ(output(), "12:34:56.789 core late\n");
}

TEST(WallClock, CountsSecondsPast2038) {
  timespec time{};
  time.tv_sec = static_cast<time_t>(k2040Seconds);
  time.tv_nsec = 789'000'000;
  EXPECT_EQ(timespecNanos(time), k2040);
  // The default reading is the system's real-time clock.
  const int64_t seconds = wallClockNanos() / 1'000'000'000;
  EXPECT_LE(std::abs(seconds - static_cast<int64_t>(std::time(nullptr))), 2);
}

TEST_F(LogSinkTest, InTheBackgroundOnlyTheSystemLogIsWritten) {
  LogSink sink(seams());
  sink.setBackground();
  write(sink, 0, 100, "korvad ipc pipe disconnected");
  write(sink, 0, 75, "quiet");
  EXPECT_EQ(output(), "");
  EXPECT_EQ(syslog_, std::vector<std::string>{"korvad ipc pipe disconnected"});
}

TEST_F(LogSinkTest, AShortWriteIsAnError) {
  auto broken = seams();
  broken.outputFd = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(broken.outputFd, 0);
  LogSink sink(broken);
  try {
    write(sink, 0, 50, "lost");
    ADD_FAILURE() << "no error";
  } catch (const std::system_error& error) {
    EXPECT_NE(std::string(error.what()).find("cannot write to file"), std::string::npos);
  }
  write(sink, 0, 100, "");  // the sink is still usable: its mutex was released
  ::close(broken.outputFd);
}

TEST(FormatSize, GroupsSmallCountsAndScalesLargeOnes) {
  const std::pair<int64_t, const char*> examples[] = {
      {0, "0"},
      {4096, "4,096"},
      {102399, "102,399"},
      {-102399, "-102,399"},
      {102400, "100KiB"},
      {-102400, "-100KiB"},
      {1536000, "1.47MiB"},
      {-200000, "-195.32KiB"},
      {1073741824, "1GiB"},
      {1073741825, "1.01GiB"},  // rounded up, never down
      {INT64_MAX, "8EiB"},
      {INT64_MIN, "-9,223,372,036,854,775,808"},
  };
  for (const auto& [bytes, text] : examples) EXPECT_EQ(formatSize(bytes), text) << bytes;
}

TEST(FormatSize, AMissingLocaleFallsBackToTheDefault) {
  EXPECT_EQ(localeOrDefault("xx_NOWHERE.UTF-8"), std::locale());
  EXPECT_EQ(fmt::format(localeOrDefault("xx_NOWHERE.UTF-8"), "{:L}", 4096), "4096");
}

}  // namespace
}  // namespace kv::core
