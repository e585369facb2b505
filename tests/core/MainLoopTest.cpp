// The pulse's clock check, through clocks the test moves.
#include <gtest/gtest.h>

#include "tests/support/CoreFixture.h"

namespace kv::core {
namespace {

constexpr int64_t kSecond = 1'000'000'000;

class MainLoopTest : public test::CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    core_->steadyNanos = [this] { return steady_; };
    core_->wallNanos = [this] { return wall_; };
    core_->onPulse();  // the first pulse starts the comparison
  }

  // One pulse after `steady` on the steady clock and `wall` on the system clock.
  void pulseAfter(int64_t steady, int64_t wall) {
    steady_ += steady;
    wall_ += wall;
    core_->onPulse();
  }

  std::vector<std::string> reports() {
    std::vector<std::string> texts;
    for (const auto& line : logLines()) {
      const auto at = line.find("system time changed by ");
      if (at != std::string::npos) texts.push_back(line.substr(at));
    }
    return texts;
  }

  int64_t steady_ = 5000 * kSecond;
  int64_t wall_ = 1'700'000'000 * kSecond;
};

TEST_F(MainLoopTest, AClockSetForwardIsReportedOnce) {
  pulseAfter(kSecond, 3600 * kSecond + kSecond);
  pulseAfter(kSecond, kSecond);
  EXPECT_EQ(reports(), std::vector<std::string>{"system time changed by 3601.00seconds"});
}

TEST_F(MainLoopTest, AClockSetBackIsReportedWithItsSign) {
  pulseAfter(kSecond, kSecond - 10 * kSecond);
  EXPECT_EQ(reports(), std::vector<std::string>{"system time changed by -9.00seconds"});
}

TEST_F(MainLoopTest, SmallDriftAndShortPulsesReportNothing) {
  pulseAfter(kSecond, kSecond + kSecond / 2);
  pulseAfter(kSecond / 4, 100 * kSecond);  // under a second: no check yet
  EXPECT_TRUE(reports().empty());
  pulseAfter(kSecond, kSecond);  // the check compares with the wall time of the last check
  EXPECT_EQ(reports(), std::vector<std::string>{"system time changed by 101.00seconds"});
}

TEST_F(MainLoopTest, TheClockCheckHoldsPast2038) {
  // Set to 2038-01-19 03:14:00 UTC, 7 s before 32-bit seconds end; then 20 s tick by.
  pulseAfter(kSecond, 2'147'483'640 * kSecond - wall_);
  for (int i = 0; i < 20; ++i) pulseAfter(kSecond, kSecond);
  pulseAfter(kSecond, 11 * kSecond);
  const auto texts = reports();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[1], "system time changed by 11.00seconds");
}

TEST_F(MainLoopTest, AStopCancelsThePulse) {
  EXPECT_TRUE(core_->io->pulseArmed());
  core_->requestStop();
  EXPECT_FALSE(core_->io->pulseArmed());
  core_->io->ioContext.poll();  // the cancelled wait completes and arms nothing
  EXPECT_FALSE(core_->io->pulseArmed());
}

// A completion that was already queued when the stop came can't be cancelled any more: it checks
// nothing and arms nothing.
TEST_F(MainLoopTest, APulseThatCompletesAfterAStopDoesNothing) {
  core_->requestStop();
  const size_t lines = logLines().size();
  pulseAfter(kSecond, 60 * kSecond);  // would report the clock
  EXPECT_FALSE(core_->io->pulseArmed());
  EXPECT_EQ(logLines().size(), lines);
}

}  // namespace
}  // namespace kv::core
