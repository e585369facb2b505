// Loading every plugin file in order: failures are kept for the reports, duplicate IDs refused,
// every loaded plugin named for the log, and worker threads started once all are loaded.
#include <algorithm>
#include <cctype>
#include <filesystem>

#include "core/DvrCore.h"
#include "log/CoreLog.h"
#include "plugins/PluginFiles.h"

namespace kv::core {
namespace {

// Both the core's address, or neither and the same plugin bits. 0x80000000 and an address with
// zero plugin bits don't collide, although both mean ID 0.
bool idsCollide(uint32_t a, uint32_t b) {
  if (a == kCoreAddress || b == kCoreAddress) return a == b;
  return addressSlot(a) == addressSlot(b);
}

// "Cam.Foo.so" is known as "cam.foo" in log lines: the file name without its last extension,
// which leaves nothing of ".so" (unlike a path's stem, which keeps a leading dot's whole name).
std::string logName(const std::string& fileName) {
  std::string stem = fileName.substr(0, fileName.rfind('.'));
  std::transform(stem.begin(), stem.end(), stem.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return stem;
}

}  // namespace

void DvrCore::loadPlugins() {
  const auto baseDir = std::filesystem::path(exePath).parent_path();
  for (const std::string& path : scanPluginFiles(baseDir)) {
    auto plugin = Plugin::Create(path, &postEvent, systemId);
    if (!plugin->isLoaded()) {
      coreLog75("Failed to load plugin {}: {}", plugin->fileName(), plugin->errorText());
      failedPlugins.push_back(std::move(plugin));
      continue;
    }
    const auto owner = std::find_if(plugins.begin(), plugins.end(), [&](const auto& loaded) {
      return idsCollide(loaded->reply().address, plugin->reply().address);
    });
    if (owner != plugins.end()) {
      coreLog50("pluginId {:02x} already loaded from {} trying to load {}", plugin->pluginId(),
                (*owner)->fileName(), plugin->fileName());
      plugin->Unload();
      continue;
    }
    coreLog25("Loaded plugin {:02x}:{}", plugin->pluginId(), plugin->displayName());
    logSink.setPluginName(plugin->pluginId(), logName(plugin->fileName()));
    const bool first =
        plugin->reply().address != kCoreAddress && plugin->pluginId() == kPluginIdLoadedFirst;
    std::lock_guard lock(pluginsMutex);
    plugins.insert(first ? plugins.begin() : plugins.end(), std::move(plugin));
  }
  for (const auto& plugin : plugins) plugin->ProvideWorkerThreadIf();
}

}  // namespace kv::core
