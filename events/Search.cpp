// Search requests: one detached thread per plugin that can serve stored data runs that plugin's
// search entry; its results come back through the intake, one payload in flight per thread.
#include "events/Search.h"

#include <cstring>
#include <new>

#include "core/DvrCore.h"
#include "log/CoreLog.h"

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

bool DvrCore::isSearchRequest(const EventParms& event) {
  return !namesOriginator(event.source) && event.requestId != 0;
}

int DvrCore::searchRequest(const EventParms& event) {
  if (event.length == 0) return kPostAccepted;
  {
    std::lock_guard lock(searches.requestMutex);
    // A new request revives a cancelled identifier, also for threads still serving it.
    if (searches.cancelledRequests.erase(event.requestId) != 0) {
      for (auto& [thread, provider] : searches.providers) {
        if (provider->requestId != event.requestId) continue;
        std::lock_guard providerLock(provider->mutex);
        provider->cancelled = false;
      }
    }
    // A search thread can't start searches of its own: swallowed, not counted.
    if (searches.providers.count(std::this_thread::get_id()) != 0) return kPostAccepted;
  }
  const auto servers = searchServers();
  if (!reserveSearchThreads(static_cast<uint32_t>(servers.size()))) {
    if (searches.searchRefusals.refuse()) {
      coreLog50("search threads at their limit of {}: refusing search requests",
                SearchState::kMaxSearchThreads);
    }
    return kPostRefused;
  }
  if (const uint32_t refused = searches.searchRefusals.accept(); refused != 0) {
    coreLog50("search requests accepted again after {:L} refused", refused);
  }
  const auto request = std::make_shared<AsyncEvent>(event);
  for (size_t i = 0; i < servers.size(); ++i) {
    const auto& plugin = servers[i];
    plugin->SearchStarted();
    try {
      // The thread gets its own pointers and lets them go before it counts itself out.
      std::thread([this, request, plugin]() mutable {
        runSearch(std::move(request), std::move(plugin));
        searchThreadsEnded(1);
      }).detach();
    } catch (...) {
      plugin->SearchEnded();
      searchThreadsEnded(static_cast<uint32_t>(servers.size() - i));
      throw;
    }
  }
  counters.searchesRequested.fetch_add(1, std::memory_order_relaxed);
  return kPostAccepted;
}

// The plugins that serve stored data, copied under the lock: the first thread may be changing
// the list while a plugin thread posts a search.
std::vector<std::shared_ptr<Plugin>> DvrCore::searchServers() {
  std::vector<std::shared_ptr<Plugin>> servers;
  std::lock_guard lock(pluginsMutex);
  for (const auto& plugin : plugins) {
    if (plugin->CanServeSearches()) servers.push_back(plugin);
  }
  return servers;
}

bool DvrCore::reserveSearchThreads(uint32_t count) {
  std::lock_guard lock(searches.searchThreadMutex);
  if (searches.searchThreads + count > SearchState::kMaxSearchThreads) return false;
  searches.searchThreads += count;
  return true;
}

void DvrCore::searchThreadsEnded(uint32_t count) {
  // Notified under the lock: the teardown may destroy the core as soon as it sees 0.
  std::lock_guard lock(searches.searchThreadMutex);
  searches.searchThreads -= count;
  if (searches.searchThreads == 0) searches.searchThreadCond.notify_all();
}

void DvrCore::waitForSearchThreads() {
  std::unique_lock lock(searches.searchThreadMutex);
  searches.searchThreadCond.wait(lock, [&] { return searches.searchThreads == 0; });
}

void DvrCore::runSearch(std::shared_ptr<AsyncEvent> request, std::shared_ptr<Plugin> plugin) {
  const auto self = std::this_thread::get_id();
  {
    std::lock_guard lock(searches.requestMutex);
    searches.providers[self] =
        std::make_shared<SearchHandler::StoredProvider>(request->record.requestId);
  }
  plugin->DeliverSearch(request->record);
  {
    std::lock_guard lock(searches.requestMutex);
    const auto it = searches.providers.find(self);
    {
      // A result still held when its thread ends is nobody's result any more.
      std::lock_guard providerLock(it->second->mutex);
      if (it->second->pending != nullptr) searches.resultsInFlight.fetch_sub(1);
    }
    searches.providers.erase(it);
  }
  plugin->SearchEnded();
}

void DvrCore::wakeSearchThreads(uint32_t requestId, bool everyRequest) {
  std::lock_guard lock(searches.requestMutex);
  for (auto& [thread, provider] : searches.providers) {
    if (!everyRequest && provider->requestId != requestId) continue;
    std::lock_guard providerLock(provider->mutex);
    if (!everyRequest) provider->cancelled = true;
    provider->cond.notify_all();
  }
}

}  // namespace kv::core
