// The memory watch: one check per second on the I/O thread switches throttling of live media on
// while resident memory is over the limit; each episode is reported once at its start and once
// when memory has stayed under the limit for a minute.
#include "core/DvrCore.h"
#include "log/CoreLog.h"

namespace kv::core {
namespace {

constexpr int64_t kRecoveryNanos = 60'000'000'000;
constexpr int64_t kNoEpisode = INT64_MAX;

}  // namespace

void DvrCore::logMemoryLimits() {
  coreLog25("memory limits, throttling:{} stack:{}",
            formatSize(static_cast<int64_t>(memoryLimits.throttling)),
            formatSize(static_cast<int64_t>(memoryLimits.stack)));
}

void DvrCore::checkMemory() {
  const uint32_t inUse = memoryInUse(*memorySystem);
  lastMemoryInUse.store(inUse, std::memory_order_relaxed);
  // A limit of 4 GiB or more can't be exceeded by a 32-bit reading.
  setThrottling(memoryLimits.throttling < (uint64_t{1} << 32) && inUse > memoryLimits.throttling);
}

void DvrCore::setThrottling(bool over) {
  if (!throttleEnabled.load()) return;
  const int64_t now = steadyNanos();
  throttling.store(over);
  if (over) {
    blockPool.trim();  // what the pool keeps goes back first
    if (lowMemorySince.load() == kNoEpisode) {
      coreLog50("available system memory is low, throttling audio/video");
      publishMemoryDocument();
    }
    lowMemorySince.store(now);
    return;
  }
  if (now - kRecoveryNanos < lowMemorySince.load()) return;  // no episode, or not a minute yet
  coreLog50("available system memory ok, not throttling audio/video");
  publishMemoryDocument();
  lowMemorySince.store(kNoEpisode);
}

}  // namespace kv::core
