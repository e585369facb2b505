// The life of the core between Init and the teardown, the stop request and the pulse.
#include <limits>

#include "core/DvrCore.h"
#include "core/IoThread.h"
#include "core/SupervisorLink.h"
#include "log/CoreLog.h"

namespace kv::core {
namespace {

constexpr int64_t kPulseNanos = 250'000'000;
constexpr int64_t kCheckNanos = 1'000'000'000;
constexpr int64_t kDayNanos = 86'400 * kCheckNanos;
constexpr std::string_view kDigestOfNothing =
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

}  // namespace

void DvrCore::Run() {
  // Any of the three signals stops the core; later ones are absorbed while the set lives.
  io->watchSignals();

  loadConfiguration();
  reportStartupStatus();
  if (throttleEnabled.load()) publishMemoryDocument();

  // The I/O thread runs until it is stopped, also while nothing is pending on it. The pulse and
  // the pipe belong to it from now on.
  io->start();
  io->post([this] {
    io->armPulse(0);
    link->startIpcReceive();
  });

  loadPlugins();
  openPlugins();
  publishStatusDocument();
  dispatchLoop();
  closePlugins();
  unloadPlugins();
  io->stop();
  io->unwatchSignals();
}

void DvrCore::reportStartupStatus() {
  if (systemId.empty()) {
    coreLog50("Startup status: code E");
  } else if (systemId.find(kDigestOfNothing) != std::string::npos) {
    coreLog50("Startup status: code D");
  }
}

void DvrCore::onPulse() {
  // A completion that was already queued when the stop came: nothing is checked, nothing armed.
  if (stopRequested.load()) return;
  const int64_t steady = steadyNanos();
  const int64_t wall = wallNanos();
  if (!pulseState.started) {
    memoryLimits = determineMemoryLimits(*memorySystem);
    pulseState = {true, steady, wall};
  }
  const int64_t elapsed = steady - pulseState.lastSteady;
  if ((elapsed > -1'000'000 && elapsed < 1'000'000) || elapsed >= kDayNanos) logMemoryLimits();
  if (elapsed >= kCheckNanos) {
    checkClock(wall, elapsed);
    checkMemory();
    pulseState.lastSteady = steady;
  }
  const int64_t expiry = steady > std::numeric_limits<int64_t>::max() - kPulseNanos
                             ? std::numeric_limits<int64_t>::max()
                             : steady + kPulseNanos;
  io->armPulse(expiry);
}

// A wall clock that moved more than a second away from the steady clock since the last check
// was set; it is only reported.
void DvrCore::checkClock(int64_t wall, int64_t elapsed) {
  const int64_t steadyMs = elapsed / 1'000'000;
  const int64_t wallMs = (wall - pulseState.lastWall) / 1'000'000;
  if ((wallMs < 0 ? -wallMs : wallMs) > steadyMs + 999) {
    coreLog50("system time changed by {:.2f}seconds", static_cast<double>(wallMs) / 1000);
  }
  pulseState.lastWall = wall;
}

}  // namespace kv::core
