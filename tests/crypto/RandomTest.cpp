// The random source: what it reads, how it rides out short and interrupted reads, and how a broken
// device ends the process.
#include "crypto/Random.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

namespace kv::core {
namespace {

using namespace std::chrono_literals;

const uint8_t kDeviceBytes[20] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10,
                                  11, 12, 13, 14, 15, 16, 17, 18, 19, 20};

void writeFile(const std::string& path, size_t length) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(write(fd, kDeviceBytes, length), static_cast<ssize_t>(length));
  close(fd);
}

// Stand-in devices in a directory of their own.
class CoCreateGuidDevice : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char pattern[] = "/tmp/kv-guid-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    writeFile(dir_ + "/full", 20);
    writeFile(dir_ + "/short", 10);
    writeFile(dir_ + "/empty", 0);
  }

  static void TearDownTestSuite() { std::filesystem::remove_all(dir_); }

  // The camera's tests run under user-mode emulation, where the "threadsafe" style cannot start
  // the test program again (the host kernel does not execute ARM binaries), so the child is a
  // plain fork. No other thread is running when the death tests start.
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "fast"); }

  static inline std::string dir_;
};

TEST_F(CoCreateGuidDevice, TakesTheFirstSixteenBytes) {
  uint8_t guid[kGuidSize] = {};
  internal::CoCreateGuidFrom((dir_ + "/full").c_str(), guid);
  EXPECT_EQ(std::memcmp(guid, kDeviceBytes, kGuidSize), 0);
}

TEST_F(CoCreateGuidDevice, ShortAndInterruptedCallsAreRetried) {
  const std::string fifo = dir_ + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // No SA_RESTART: a signal makes a blocked open or read fail with EINTR.
  struct sigaction ignore = {};
  ignore.sa_handler = [](int) {};
  sigemptyset(&ignore.sa_mask);
  struct sigaction previous = {};
  ASSERT_EQ(sigaction(SIGUSR1, &ignore, &previous), 0);

  const pthread_t reader = pthread_self();
  std::thread writer([&] {
    // Interrupt the reader in its open (no writer yet), then between two partial writes.
    std::this_thread::sleep_for(100ms);
    pthread_kill(reader, SIGUSR1);
    std::this_thread::sleep_for(100ms);
    const int fd = open(fifo.c_str(), O_WRONLY);
    EXPECT_EQ(write(fd, kDeviceBytes, 5), 5);
    std::this_thread::sleep_for(100ms);
    pthread_kill(reader, SIGUSR1);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(write(fd, kDeviceBytes + 5, 15), 15);
    close(fd);
  });
  uint8_t guid[kGuidSize] = {};
  internal::CoCreateGuidFrom(fifo.c_str(), guid);
  writer.join();
  sigaction(SIGUSR1, &previous, nullptr);
  unlink(fifo.c_str());
  EXPECT_EQ(std::memcmp(guid, kDeviceBytes, kGuidSize), 0);
}

TEST_F(CoCreateGuidDevice, ABrokenDeviceEndsTheProcessWithStatus74) {
  struct Case {
    std::string device;
    const char* message;
  };
  const Case cases[] = {
      {dir_ + "/missing", "CoCreateGuid\\(\\): open: /.*/missing: No such file or directory"},
      {dir_, "CoCreateGuid\\(\\): read: /tmp/kv-guid-.*: Is a directory"},
      {dir_ + "/empty", "CoCreateGuid\\(\\): read: /.*/empty: EOF, got 0 of 16 bytes requested"},
      {dir_ + "/short", "CoCreateGuid\\(\\): read: /.*/short: EOF, got 10 of 16 bytes requested"},
  };
  for (const auto& c : cases) {
    uint8_t guid[kGuidSize];
    EXPECT_EXIT(internal::CoCreateGuidFrom(c.device.c_str(), guid), ::testing::ExitedWithCode(74),
                c.message);
  }
}

TEST(CoCreateGuid, TwoValuesDiffer) {
  uint8_t first[kGuidSize];
  uint8_t second[kGuidSize];
  CoCreateGuid(first);
  CoCreateGuid(second);
  EXPECT_NE(std::memcmp(first, second, kGuidSize), 0);
}

}  // namespace
}  // namespace kv::core
