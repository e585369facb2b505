// Reading product.xml and core.xml at start, and module-settings deltas while running.
#include <algorithm>
#include <exception>
#include <optional>

#include "config/ConfigValues.h"
#include "config/SafeFile.h"
#include "config/Xml.h"
#include "core/DvrCore.h"
#include "log/CoreLog.h"

namespace kv::core {
namespace {

constexpr uint16_t kMinGopLen = 765;
constexpr uint16_t kMaxGopLen = 2500;
constexpr uint32_t kGopLenLimit = 65536;

std::string attributeText(const XmlNode& element, std::string_view name) {
  const XmlAttribute* attribute = findAttribute(element, name);
  return attribute != nullptr ? std::string(attribute->value(), attribute->value_size()) : "";
}

}  // namespace

void DvrCore::loadConfiguration() {
  // product.xml is optional: without it the product keeps its built-in name and version.
  try {
    const XmlDocument product(readXmlFile("product.xml"));
    if (const XmlNode* top = product.root().first_node()) {
      if (const XmlNode* element = top->first_node("Product")) {
        productName = attributeText(*element, "Family");
        coreVersion = attributeText(*element, "Version");
      }
    }
  } catch (const std::exception&) {
  }

  std::optional<XmlDocument> parsed;
  try {
    parsed.emplace(readXmlFile("core.xml"));  // parsed twice: readXmlFile only checks
  } catch (const std::exception& error) {
    coreLog75("{}\nConfig defaulted", error.what());
    return;
  }
  const XmlDocument& config = *parsed;
  if (const XmlNode* memory = findPath(config.root(), "kDVR/Memory")) {
    throttleEnabled.store(parseFlag(findAttribute(*memory, "Throttling"), true));
    if (const XmlAttribute* gop = findAttribute(*memory, "MaxGopLen")) {
      const auto value = parseUnsigned({gop->value(), gop->value_size()});
      if (value && *value < kGopLenLimit) maxGopLen.store(static_cast<uint16_t>(*value));
    }
    maxGopLen.store(std::clamp(maxGopLen.load(), kMinGopLen, kMaxGopLen));
  }
  applyLogLevels(config.root(), logLevels);
}

void DvrCore::applyModulesDelta(const EventParms& record) {
  if (stopRequested.load() || record.source == kCoreAddress || record.type != kTypeConfig ||
      (record.flags & kFlagConfigDelta) == 0) {
    return;
  }
  const auto* payload = static_cast<const char*>(record.data);
  if (payload == nullptr || !looksLikeModulesDelta(payload, record.length)) return;
  std::optional<XmlDocument> delta;
  try {
    delta.emplace(std::string_view{payload, record.length});
  } catch (const std::exception&) {
    // Not a document after all, or one too big to copy: ignored like any other configuration
    // event.
    return;
  }
  if (applyLogLevels(delta->root(), logLevels)) publishStatusDocument();
}

}  // namespace kv::core
