// A DvrCore for tests: a private working directory, log lines and system-log calls captured, and
// hook plugins that the test plays.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/DvrCore.h"
#include "core/IoThread.h"
#include "core/SupervisorLink.h"
#include "tests/support/HookPlugin.h"

namespace kv::test {

class CoreTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Replaces the core by a new one on the same directory and log, as SetUp made the first.
  void newCore();
  // Makes the core's directory the working directory until the test ends, for the files the core
  // reads and writes there.
  void enterDir();

  // A new set of hooks that lives as long as the fixture, so longer than the core.
  PluginHooks& newHooks() { return hooks_.emplace_back(); }
  // Loads a private copy of the hook plugin `variant` ("hook_search", "hook_read"), named
  // `fileName` (or a name of its own), with `hooks` (from newHooks), opens it and appends it to
  // the core's plugins.
  std::shared_ptr<core::Plugin> addHookPlugin(std::string_view variant, PluginHooks& hooks,
                                              std::string fileName = "");

  // A record of `type` and `flags` from `source` whose payload is `payload` (not copied).
  static core::EventParms record(uint32_t type, uint32_t flags, uint32_t source,
                                 std::string_view payload = {});

  // The log lines written so far, without their line feeds; and the system-log calls.
  std::vector<std::string> logLines() const;
  std::vector<std::string> syslogCalls() const;

  // The records in the queue, in order.
  std::vector<core::EventParms> queued();

  std::filesystem::path previousDir_;
  std::deque<PluginHooks> hooks_;  // declared before the core: destroyed after it
  std::filesystem::path dir_;
  std::unique_ptr<core::DvrCore> core_;
  int logFd_ = -1;
  mutable std::mutex syslogMutex_;
  std::vector<std::string> syslog_;
  // Fixed wall clock of the log lines: 12:04:05.007 UTC.
  static constexpr int64_t kLogClockNanos = (43445 * 1000 + 7) * int64_t{1000000};
};

}  // namespace kv::test
