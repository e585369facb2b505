// Search requests: one detached thread per plugin that can serve stored data runs that plugin's
// search entry; its results come back through the intake, one payload in flight per thread.
#include "events/Search.h"

#include <cstring>
#include <new>

#include "core/DvrCore.h"

namespace kv::core {

AsyncEvent::AsyncEvent(const EventParms& request) : record(request) {
  if (request.length != 0) payload.reset(new (std::nothrow) uint8_t[request.length]);
  if (payload != nullptr) {
    std::memcpy(payload.get(), request.data, request.length);
  } else {
    record.length = 0;
  }
  record.data = payload.get();
}

bool DvrCore::searchRequest(const EventParms& event) {
  if (namesOriginator(event.source) || event.requestId == 0) return false;
  if (event.length == 0) return true;
  {
    std::lock_guard lock(requestMutex);
    // A new request revives a cancelled identifier, also for threads still serving it.
    if (cancelledRequests.erase(event.requestId) != 0) {
      for (auto& [thread, provider] : providers) {
        if (provider->requestId != event.requestId) continue;
        std::lock_guard providerLock(provider->mutex);
        provider->cancelled = false;
      }
    }
    // A search thread can't start searches of its own: swallowed, not counted.
    if (providers.count(std::this_thread::get_id()) != 0) return true;
  }
  const auto request = std::make_shared<AsyncEvent>(event);
  for (const auto& plugin : plugins) {
    if (!plugin->CanServeSearches()) continue;
    plugin->SearchStarted();
    try {
      std::thread([this, request, plugin] { runSearch(request, plugin); }).detach();
    } catch (...) {
      plugin->SearchEnded();
      throw;
    }
  }
  counters.searchesRequested.fetch_add(1, std::memory_order_relaxed);
  return true;
}

void DvrCore::runSearch(const std::shared_ptr<AsyncEvent>& request,
                        const std::shared_ptr<Plugin>& plugin) {
  const auto self = std::this_thread::get_id();
  {
    std::lock_guard lock(requestMutex);
    providers[self] = std::make_shared<SearchHandler::StoredProvider>(request->record.requestId);
  }
  plugin->DeliverSearch(request->record);
  {
    std::lock_guard lock(requestMutex);
    providers.erase(self);
  }
  plugin->SearchEnded();
}

void DvrCore::wakeSearchThreads(uint32_t requestId, bool everyRequest) {
  std::lock_guard lock(requestMutex);
  for (auto& [thread, provider] : providers) {
    if (!everyRequest && provider->requestId != requestId) continue;
    std::lock_guard providerLock(provider->mutex);
    if (!everyRequest) provider->cancelled = true;
    provider->cond.notify_all();
  }
}

}  // namespace kv::core
