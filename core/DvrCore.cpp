#include "core/DvrCore.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "core/IoThread.h"
#include "core/SupervisorLink.h"
#include "core/SystemIdentity.h"
#include "log/CoreLog.h"
#include "log/WallClock.h"

namespace kv::core {

std::atomic<DvrCore*> gCore{nullptr};

namespace {

template <typename Clock>
int64_t nanosOf() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

}  // namespace

DvrCore::DvrCore(std::string exePath, LogSink::Seams logSeams)
    : exePath(std::move(exePath)),
      logSink(std::move(logSeams)),
      steadyNanos(nanosOf<std::chrono::steady_clock>),
      wallNanos(wallClockNanos),
      privilegeSystem(std::make_unique<PrivilegeSystem>()),
      memorySystem(std::make_unique<MemorySystem>()) {
  for (auto& level : logLevels) level.store(-1, std::memory_order_relaxed);
  io = std::make_unique<IoThread>([this] { onPulse(); }, [this] { requestStop(); });
  link = std::make_unique<SupervisorLink>(*this, io->ioContext);
}

bool DvrCore::Init(int32_t pipeFd) {
  systemId = obtainSystemId();
  umask(077);
  if (!dropPrivileges(*privilegeSystem)) return false;
  if (pipeFd != -1 && !link->open(pipeFd)) {
    coreLog100("failed to open ipc pipe");
    return false;
  }
  loadLogPlugin();
  return true;
}

void DvrCore::loadLogPlugin() {
  const auto path = std::filesystem::path(exePath).parent_path() / "plugins/LogPI.so";
  logPlugin = Plugin::Create(path.string(), &postEvent, systemId);
  logPlugin->Open();
}

void DvrCore::requestStop() {
  stopRequested.store(true);
  io->cancelPulse();
  // Search threads waiting to post a result must not wait for a release that may never come.
  wakeSearchThreads(0, true);
  // Through the queue lock, so that the stop can't fall between the dispatch loop's last look and
  // its sleep.
  { std::lock_guard lock(queue.queueMutex); }
  queue.queueCond.notify_one();
}

DvrCore::~DvrCore() {
  // The intake takes nothing more from plugin threads that still run while the plugins go down,
  // and search threads waiting to post are let go.
  stopRequested.store(true);
  wakeSearchThreads(0, true);
  link->ipcSendQueue.clear();
  // A held-reference counter off zero with every block freed means a plugin gave back a reference
  // under another's address: reported too, or the holder it blames would go unnoticed.
  const bool anyHeld = std::any_of(counters.heldRefs.begin(), counters.heldRefs.end(),
                                   [](const auto& held) { return held.load() != 0; });
  if (counters.refblkCount.load() != 0 || anyHeld) reportLeakedReferences();
  releaseQueuedRecords();
  {
    std::lock_guard lock(searches.requestMutex);
    searches.providers.clear();
    searches.cancelledRequests.clear();
  }
  {
    std::lock_guard lock(gate.gopMutex);
    gate.gopTable.clear();
  }
  link->close();
  io->cancelPulse();
  // Plugins still up (the log plugin when its ID is 8, every plugin of a core that never ran) are
  // taken down here on the first thread, the log plugin last, and with them the threads the core
  // runs for them. They may post while they go, so everything they reach is still alive, and
  // `logPlugin` is read by the intake until the log plugin has been unloaded.
  for (const auto& plugin : plugins) {
    plugin->Close();
    plugin->Unload();
  }
  if (logPlugin != nullptr) {
    logPlugin->Close();
    logPlugin->Unload();
  }
  // Search threads touch the core to their last step.
  waitForSearchThreads();
  failedPlugins.clear();
  plugins.clear();
  logPlugin.reset();
  releaseQueuedRecords();
}

void DvrCore::reportLeakedReferences() {
  coreLog0("refblks: {:L}({:L})", counters.refblkCount.load(), counters.refblkBytes.load());
  for (uint32_t id = 0; id < counters.heldRefs.size(); ++id) {
    const int32_t held = counters.heldRefs[id].load();
    if (held == 0) continue;
    coreLog0("Plugin {:02x}:{} unloaded holding {:L} event reference(s).", id,
             logSink.pluginName(id).value_or("unknown"), held);
  }
}

// Records left in the queue still hold the queue's reference to their payload.
void DvrCore::releaseQueuedRecords() {
  RecordRing leftovers;
  {
    std::lock_guard lock(queue.queueMutex);
    leftovers.swap(queue.eventQueue);
    queue.queuedBytes = 0;
  }
  for (const EventParms& record : leftovers) releaseRef(record.data, 0);
}

int32_t DvrCore::logLevelOf(uint32_t slot) const {
  const int32_t level = logLevels[slot & 0xFFu].load(std::memory_order_relaxed);
  return level < 0 ? kDefaultLogLevel : level;
}

bool coreLogEnabled(int32_t level) {
  const DvrCore* core = gCore.load();
  return core != nullptr && core->logLevelOf(0) <= level;
}

void postCoreLog(int32_t level, std::string_view message) {
  if (DvrCore* core = gCore.load()) {
    core->postLog(level, static_cast<uint32_t>(message.size()), message.data());
  }
}

int DvrCore::sendIpc(const EventParms& event) {
  return link->sendIpc(event);
}

std::pair<std::string, std::string> DvrCore::supervisorInfo() const {
  return link->supervisorInfo();
}

}  // namespace kv::core
