// The log file's rotation by size and the line format of LogPI.
#include "examples/common/RotatingLog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/examples/ScratchDir.h"

namespace kv::samples {
namespace {

using test::readFile;

class RotatingLogTest : public ::testing::Test {
 protected:
  std::string logPath() const { return dir_.file("korva.log"); }
  std::string old(int generation) const { return logPath() + "." + std::to_string(generation); }
  bool exists(const std::string& path) const { return std::filesystem::exists(path); }

  test::ScratchDir dir_;
};

TEST_F(RotatingLogTest, RotatesOnlyWhenTheNextLineWouldPassTheLimit) {
  RotatingLog log(logPath(), 20, 3);
  ASSERT_TRUE(log.append("123456789"));  // 10 bytes with the newline
  ASSERT_TRUE(log.append("abcdefghi"));  // exactly 20: still fits
  EXPECT_FALSE(exists(old(1)));
  ASSERT_TRUE(log.append("x"));  // 22 would pass the limit
  EXPECT_EQ(readFile(old(1)), "123456789\nabcdefghi\n");
  EXPECT_EQ(readFile(logPath()), "x\n");
}

TEST_F(RotatingLogTest, KeepsTheNewestOldFilesInOrder) {
  RotatingLog log(logPath(), 8, 3);
  for (const char* line : {"line1", "line2", "line3", "line4", "line5", "line6"}) {
    ASSERT_TRUE(log.append(line));  // 6 bytes each: one line per file
  }
  EXPECT_EQ(readFile(logPath()), "line6\n");
  EXPECT_EQ(readFile(old(1)), "line5\n");
  EXPECT_EQ(readFile(old(2)), "line4\n");
  EXPECT_EQ(readFile(old(3)), "line3\n");
  EXPECT_FALSE(exists(old(4)));
}

TEST_F(RotatingLogTest, NeverSplitsALineAcrossFiles) {
  RotatingLog log(logPath(), 32, 9);
  std::vector<std::string> written;
  for (int i = 0; i < 40; ++i) {
    written.push_back("entry " + std::to_string(i) + std::string(i % 7, '.'));
    ASSERT_TRUE(log.append(written.back()));
  }
  ASSERT_TRUE(log.append(std::string(50, 'L')));  // longer than the limit: a file of its own
  EXPECT_EQ(readFile(logPath()), std::string(50, 'L') + "\n");

  // Oldest file first, the files hold exactly the lines written, each whole and within the limit.
  std::string all;
  for (int generation = 9; generation >= 1; --generation) {
    const std::string text = readFile(old(generation));
    EXPECT_LE(text.size(), 32u) << generation;
    if (!text.empty()) {
      EXPECT_EQ(text.back(), '\n') << generation;
    }
    all += text;
  }
  std::string expected;
  for (size_t i = written.size() - std::count(all.begin(), all.end(), '\n'); i < written.size();
       ++i) {
    expected += written[i] + "\n";
  }
  EXPECT_EQ(all, expected);
}

TEST_F(RotatingLogTest, AFileLeftByAnEarlierRunCountsTowardsTheLimit) {
  test::writeFile(logPath(), std::string(15, 'o') + "\n");
  RotatingLog log(logPath(), 20, 3);
  ASSERT_TRUE(log.append("new one"));
  EXPECT_EQ(readFile(old(1)), std::string(15, 'o') + "\n");
  EXPECT_EQ(readFile(logPath()), "new one\n");
}

TEST_F(RotatingLogTest, AnUnwritableFileLosesTheLineWithoutFailingLater) {
  RotatingLog log(dir_.file("missing/korva.log"), 20, 3);
  EXPECT_FALSE(log.append("lost"));
  std::filesystem::create_directory(dir_.path() / "missing");
  EXPECT_TRUE(log.append("kept"));
  EXPECT_EQ(readFile(dir_.file("missing/korva.log")), "kept\n");
}

TEST(LogLineTest, OneRecordIsOneLineBehindItsSource) {
  const struct {
    uint32_t source;
    std::string text;
    std::string line;
  } cases[] = {
      {0x80000000u, "Opening 10:CamSim", "80000000 Opening 10:CamSim"},
      {0x00120000u, "searches=3\r\n", "00120000 searches=3"},
      {0x00110001u, "two\nlines\n\n", "00110001 two lines"},
      {0x7u, "", "00000007 "},
  };
  for (const auto& c : cases) EXPECT_EQ(formatLogLine(c.source, c.text), c.line) << c.text;
}

}  // namespace
}  // namespace kv::samples
