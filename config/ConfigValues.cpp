#include "config/ConfigValues.h"

#include <strings.h>

#include <algorithm>
#include <limits>

#include "events/EventParms.h"

namespace kv::core {
namespace {

constexpr std::string_view kDeltaMark = "Delta=\"1\"";
constexpr std::string_view kModulesMark = "<Modules";
constexpr uint32_t kDeltaWindowStart = 13;
constexpr uint32_t kDeltaWindowMax = 100;
constexpr uint32_t kModulesWindow = 40;
constexpr uint32_t kShortestDelta = 22;

std::string_view valueOf(const XmlAttribute& attribute) {
  return {attribute.value(), attribute.value_size()};
}

// Reads the digits at the start of `text` into `value`; false without a digit or on overflow.
bool readDigits(std::string_view text, uint64_t limit, uint64_t& value) {
  value = 0;
  size_t digits = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') break;
    value = value * 10 + static_cast<uint64_t>(c - '0');
    if (value > limit) return false;
    ++digits;
  }
  return digits > 0;
}

bool containsWithin(const char* text, size_t length, std::string_view mark) {
  return std::string_view(text, length).find(mark) != std::string_view::npos;
}

// The slot of a configured ID: 0 for the core's ID, else bits 16 to 23; none below 2.
std::optional<uint32_t> slotOfId(int32_t id) {
  const auto word = static_cast<uint32_t>(id);
  if (word == kCoreAddress) return 0;
  if ((word & 0x00FF0000u) < 0x20000u) return std::nullopt;
  return addressSlot(word);
}

bool applyPlugin(const XmlNode& plugin, std::array<std::atomic<int32_t>, 256>& levels) {
  const XmlAttribute* idAttribute = findAttribute(plugin, "ID");
  if (idAttribute == nullptr) return false;
  const auto id = parseSigned(valueOf(*idAttribute));
  if (!id) return false;
  const auto slot = slotOfId(*id);
  if (!slot) return false;
  const XmlAttribute* levelAttribute = findAttribute(plugin, "LogLevel");
  if (levelAttribute == nullptr) return false;
  const auto level = parseSigned(valueOf(*levelAttribute));
  if (!level || *level == levels[*slot].load(std::memory_order_relaxed)) return false;
  // Each entry is one word, written whole; readers on other threads take no lock.
  levels[*slot].store(std::clamp(*level, -1, 100), std::memory_order_relaxed);
  return true;
}

}  // namespace

bool parseFlag(const XmlAttribute* attribute, bool fallback) {
  if (attribute == nullptr || attribute->value_size() == 0) return fallback;
  const std::string_view value = valueOf(*attribute);
  if (value.size() == 1) return value != "0";
  if (value.size() == 5) return strncasecmp(value.data(), "false", 5) != 0;
  return true;
}

std::optional<uint32_t> parseUnsigned(std::string_view text) {
  uint64_t value = 0;
  if (!readDigits(text, std::numeric_limits<uint32_t>::max(), value)) return std::nullopt;
  return static_cast<uint32_t>(value);
}

std::optional<int32_t> parseSigned(std::string_view text) {
  const bool negative = text.starts_with('-');
  if (negative) text.remove_prefix(1);
  const uint64_t limit = negative ? uint64_t{1} << 31 : (uint64_t{1} << 31) - 1;
  uint64_t value = 0;
  if (!readDigits(text, limit, value)) return std::nullopt;
  return static_cast<int32_t>(negative ? -static_cast<int64_t>(value)
                                       : static_cast<int64_t>(value));
}

bool looksLikeModulesDelta(const char* payload, uint32_t length) {
  if (length < kShortestDelta) return false;
  const uint32_t window = length <= 112 ? length - kDeltaWindowStart : kDeltaWindowMax;
  return containsWithin(payload + kDeltaWindowStart, window, kDeltaMark) &&
         containsWithin(payload, std::min(length, kModulesWindow), kModulesMark);
}

bool applyLogLevels(const XmlNode& document, std::array<std::atomic<int32_t>, 256>& levels) {
  bool changed = false;
  for (const XmlNode* module = findPath(document, "kDVR/Modules/Module"); module;
       module = module->next_sibling("Module")) {
    for (const XmlNode* plugin = module->first_node("Plugin"); plugin;
         plugin = plugin->next_sibling("Plugin")) {
      changed = applyPlugin(*plugin, levels) || changed;
    }
  }
  return changed;
}

}  // namespace kv::core
