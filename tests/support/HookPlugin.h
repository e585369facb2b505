// Hook plugins: test plugins whose entry points run functions installed by the test, so that a
// test can play any plugin (a searcher, a recorder, a log plugin) from inside the test.
//
// The test installs the hooks into a private copy of the library before the core loads it
// (loadHookPlugin in CoreFixture.h); the library keeps a pointer to them.
#pragma once

#include <functional>

#include "events/EventParms.h"
#include "plugins/PluginAbi.h"

namespace kv::test {

struct PluginHooks {
  std::function<void(core::LoadReply&)> load;           // fills the reply; address etc.
  std::function<int(const core::EventParms&)> event;    // OnEvent; its result is kept
  std::function<void(const core::EventParms&)> search;  // OnSearch, or Read for a search
  std::function<void()> close;                          // Close
  std::function<void(const void*, uint32_t)> ipc;       // OnIpcResult
  std::function<void()> unload;                         // Unload
  core::PostEventFn post = nullptr;                     // set by Load
};

using InstallHooksFn = void (*)(PluginHooks* hooks);
inline constexpr char kInstallHooks[] = "KvTestInstallHooks";

}  // namespace kv::test
