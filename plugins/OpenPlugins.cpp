// Bringing the loaded plugins up before the dispatch loop and down after it, each pass over the
// core's plugin list in its order.
#include <strings.h>

#include <algorithm>

#include "core/DvrCore.h"
#include "log/CoreLog.h"

namespace kv::core {
namespace {

// A plugin with kPluginIdRemovedAtClose is never closed in turn: it goes before all others, or, as
// the log plugin, after all others when the core is destroyed.
bool removedAtClose(const Plugin& plugin) {
  return plugin.reply().address != kCoreAddress && plugin.pluginId() == kPluginIdRemovedAtClose;
}

// The highest close order first (unsigned); equal orders by file name, ignoring ASCII case.
bool closesBefore(const std::shared_ptr<Plugin>& a, const std::shared_ptr<Plugin>& b) {
  if (a->reply().closeOrder != b->reply().closeOrder) {
    return a->reply().closeOrder > b->reply().closeOrder;
  }
  return strcasecmp(a->fileName().c_str(), b->fileName().c_str()) < 0;
}

}  // namespace

void DvrCore::openPlugins() {
  for (const auto& plugin : plugins) {
    coreLog25("Opening {:02x}:{}", plugin->pluginId(), plugin->displayName());
    plugin->Open();
  }
  {
    std::lock_guard lock(pluginsMutex);
    plugins.push_back(logPlugin);  // opened by Init; from now on it gets every event last
  }
  dropRawIo(*privilegeSystem);
}

void DvrCore::closePlugins() {
  std::vector<std::shared_ptr<Plugin>> removed;
  {
    std::lock_guard lock(pluginsMutex);
    const auto firstRemoved =
        std::stable_partition(plugins.begin(), plugins.end(),
                              [](const auto& plugin) { return !removedAtClose(*plugin); });
    removed.assign(std::make_move_iterator(firstRemoved), std::make_move_iterator(plugins.end()));
    plugins.erase(firstRemoved, plugins.end());
    std::stable_sort(plugins.begin(), plugins.end(), closesBefore);
  }
  // Closed and unloaded here, before all others and without lines; the log plugin stays open
  // until the teardown. Whoever else still holds one (a packet being delivered) only frees it.
  for (const auto& plugin : removed) {
    if (plugin == logPlugin) continue;
    plugin->Close();
    plugin->Unload();
  }
  removed.clear();
  for (const auto& plugin : plugins) {
    coreLog25("Closing {:02x}:{}", plugin->pluginId(), plugin->displayName());
    plugin->Close();
  }
}

void DvrCore::unloadPlugins() {
  for (const auto& plugin : plugins) {
    coreLog25("Unloading {:02x}:{}", plugin->pluginId(), plugin->displayName());
    plugin->Unload();
  }
}

}  // namespace kv::core
