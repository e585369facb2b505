// The documents in which the core describes itself: the status document (an event for the
// plugins, with the product, and core.xml, without it) and the memory document (an event).
#include <filesystem>
#include <stdexcept>

#include <fmt/format.h>

#include "config/SafeFile.h"
#include "config/XmlPrint.h"
#include "core/DvrCore.h"
#include "log/CoreLog.h"

namespace kv::core {
namespace {

constexpr std::string_view kCoreId = "-2147483648";
constexpr uint32_t kDocumentFlags = kFlagLive | kFlagConfigDelta;
constexpr int64_t kNanosPerMilli = 1'000'000;

// Builds a document in its own memory pool; every text it holds is copied into the pool, so the
// document is a snapshot that outlives the values it was built from.
class DocumentBuilder {
 public:
  DocumentBuilder() { document_.append_node(document_.allocate_node(rapidxml::node_declaration)); }

  XmlNode* element(XmlNode* parent, const char* name) {
    XmlNode* node = document_.allocate_node(rapidxml::node_element, name);
    (parent != nullptr ? parent : static_cast<XmlNode*>(&document_))->append_node(node);
    return node;
  }

  void attribute(XmlNode* element, const char* name, std::string_view value) {
    // An empty value needs the empty literal: the pool's copy of nothing isn't terminated.
    const char* copy = value.empty() ? "" : document_.allocate_string(value.data(), value.size());
    element->append_attribute(document_.allocate_attribute(name, copy, 0, value.size()));
  }

  void attribute(XmlNode* element, const char* name, int64_t value) {
    attribute(element, name, std::string_view(fmt::format_int(value).c_str()));
  }

  const XmlNode& document() const { return document_; }

 private:
  rapidxml::xml_document<char> document_;
};

// The ID of a loaded plugin as documents write it: its plugin bits, or the core's ID whole.
int64_t documentId(uint32_t address) {
  return address == kCoreAddress ? int64_t{INT32_MIN} : int64_t{address & 0x00FF0000u};
}

EventParms documentEvent(uint32_t type, const std::string& text) {
  return makeEventRecord(type, kDocumentFlags, kCoreAddress, text.data(), text.size());
}

void addPluginElement(DocumentBuilder& builder, XmlNode* module, int64_t id,
                      const std::string& file, int64_t loadMs, int64_t openMs, int64_t openCode,
                      int64_t logLevel) {
  XmlNode* plugin = builder.element(module, "Plugin");
  builder.attribute(plugin, "ID", id);
  builder.attribute(plugin, "Filename", file);
  builder.attribute(plugin, "Opened", "1");
  builder.attribute(plugin, "LoadTimeMs", loadMs);
  builder.attribute(plugin, "OpenTimeMs", openMs);
  builder.attribute(plugin, "OpenCode", openCode);
  builder.attribute(plugin, "LogLevel", logLevel);
  builder.attribute(plugin, "LogLevelDefault", "-1");
}

// The core's own settings: throttling and the GOP length.
void addMemorySettings(DocumentBuilder& builder, XmlNode* root, bool throttle, uint16_t maxGop) {
  XmlNode* memory = builder.element(root, "Memory");
  builder.attribute(memory, "ID", kCoreId);
  builder.attribute(memory, "Throttling", throttle ? "1" : "0");
  builder.attribute(memory, "MaxGopLen", int64_t{maxGop});
}

// The core's module, with the core itself as its first plugin.
XmlNode* addCoreModule(DocumentBuilder& builder, XmlNode* modules, const std::string& version,
                       const std::string& exePath, int32_t logLevel) {
  XmlNode* coreModule = builder.element(modules, "Module");
  builder.attribute(coreModule, "ID", kCoreId);
  builder.attribute(coreModule, "Name", "Core");
  builder.attribute(coreModule, "Version", version);
  addPluginElement(builder, coreModule, INT32_MIN,
                   std::filesystem::path(exePath).filename().string(), 0, 0, 0, logLevel);
  return coreModule;
}

// One element per loaded plugin, and the total load and open times on the modules.
void addLoadedPlugins(DocumentBuilder& builder, XmlNode* modules, XmlNode* coreModule,
                      const std::vector<std::shared_ptr<Plugin>>& plugins,
                      const std::array<std::atomic<int32_t>, 256>& logLevels) {
  int64_t totalLoadMs = 0;
  int64_t totalOpenMs = 0;
  for (const auto& plugin : plugins) {
    const int64_t loadMs = plugin->loadTime() / kNanosPerMilli;
    const int64_t openMs = plugin->openTime() / kNanosPerMilli;
    totalLoadMs += loadMs;
    totalOpenMs += openMs;
    const uint32_t address = plugin->reply().address;
    addPluginElement(builder, coreModule, documentId(address), plugin->fileName(), loadMs, openMs,
                     plugin->openCode(), logLevels[(address >> 16) & 0xFFu]);
  }
  builder.attribute(modules, "TotalLoadTimeMs", totalLoadMs);
  builder.attribute(modules, "TotalOpenTimeMs", totalOpenMs);
}

// The supervisor, once it gave its version.
void addSupervisor(DocumentBuilder& builder, XmlNode* coreModule, const std::string& file,
                   const std::string& version) {
  if (version.empty()) return;
  XmlNode* library = builder.element(coreModule, "Library");
  builder.attribute(library, "Name", "korvad");
  builder.attribute(library, "Filename", file);
  builder.attribute(library, "Version", version);
}

// Each plugin that failed to load: a plugin element with its load code, and a module of its own
// with its error text.
void addFailedPlugins(DocumentBuilder& builder, XmlNode* modules, XmlNode* coreModule,
                      const std::vector<std::shared_ptr<Plugin>>& failedPlugins) {
  int64_t failedId = 0;
  for (const auto& failed : failedPlugins) {
    addPluginElement(builder, coreModule, ++failedId, failed->fileName(), 0, 0, failed->loadCode(),
                     -1);
  }
  failedId = 0;
  for (const auto& failed : failedPlugins) {
    XmlNode* module = builder.element(modules, "Module");
    builder.attribute(module, "ID", ++failedId);
    builder.attribute(module, "Name", failed->displayName());
    builder.attribute(module, "Version", failed->errorText());
  }
}

XmlNode* addProduct(DocumentBuilder& builder, XmlNode* root, const std::string& name,
                    const std::string& version) {
  XmlNode* product = builder.element(root, "Product");
  builder.attribute(product, "Family", name);
  builder.attribute(product, "Version", version);
  return product;
}

// Posts the document with the product to the plugins and writes it without the product to
// core.xml. core.xml has a lock of its own, so that no post waits for the memory card; it is taken
// before the post, so the files are written in the order the documents were published. A failed
// write is logged once the file is released, so that no log record waits for it.
void postAndSave(DvrCore& core, DocumentBuilder& builder, XmlNode* root, XmlNode* product) {
  const std::string payload = xmlToText(builder.document(), measureXml(builder.document(), 0, 0));
  std::string failure;
  {
    std::lock_guard lock(core.coreXmlMutex);
    core.queueEvent(documentEvent(kTypeConfig, payload), true);
    root->remove_node(product);
    std::string text;
    printXml(text, builder.document(), 0, 0);
    try {
      writeXmlFile("core.xml", text.data(), text.size());
    } catch (const std::runtime_error& error) {
      failure = error.what();
    }
  }
  if (!failure.empty()) coreLog75("{}", failure);
}

}  // namespace

void DvrCore::publishStatusDocument() {
  DocumentBuilder builder;
  XmlNode* root = builder.element(nullptr, "kDVR");
  addMemorySettings(builder, root, throttleEnabled.load(), maxGopLen.load());
  XmlNode* modules = builder.element(root, "Modules");
  XmlNode* coreModule = addCoreModule(builder, modules, coreVersion, exePath, logLevels[0]);
  addLoadedPlugins(builder, modules, coreModule, plugins, logLevels);
  const auto [file, version] = supervisorInfo();
  addSupervisor(builder, coreModule, file, version);
  addFailedPlugins(builder, modules, coreModule, failedPlugins);
  XmlNode* product = addProduct(builder, root, productName, coreVersion);
  postAndSave(*this, builder, root, product);
}

void DvrCore::publishMemoryDocument() {
  const int64_t now = steadyNanos();
  DocumentBuilder builder;
  XmlNode* memory = builder.element(builder.element(nullptr, "kDVR"), "Memory");
  builder.attribute(memory, "ID", kCoreId);
  builder.attribute(memory, "Throttling", throttling.load() ? "1" : "0");
  builder.attribute(memory, "Time", now / 1'000'000'000);
  builder.attribute(memory, "mseTime", now / kNanosPerMilli);
  const std::string payload =
      xmlToText(builder.document(), measureXml(builder.document(), kXmlCompact, 0));
  queueEvent(documentEvent(kTypeAlarm, payload), true);
}

}  // namespace kv::core
