// How the core reads its configuration values, shared by core.xml and configuration deltas.
//
// Core-internal; pure functions, safe on any thread.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string_view>

#include "config/Xml.h"

namespace kv::core {

// A flag: the default when missing or empty; false only for "0" or "false" in any letter case.
bool parseFlag(const XmlAttribute* attribute, bool fallback);

// Decimal digits from the start, stopping at the first non-digit; none when there is no digit or
// the value overflows 32 bits.
std::optional<uint32_t> parseUnsigned(std::string_view text);

// As parseUnsigned with an optional leading '-', within the signed 32-bit range.
std::optional<int32_t> parseSigned(std::string_view text);

// Whether a configuration payload looks like a module-settings delta: "Delta=\"1\"" in its window
// from byte 13 on and "<Modules" in its first 40 bytes. Cheap: nothing is parsed.
bool looksLikeModulesDelta(const char* payload, uint32_t length);

// Applies the LogLevel of every kDVR/Modules/Module/Plugin that names a valid slot, clamped to
// -1..100. Returns whether a level changed.
bool applyLogLevels(const XmlNode& document, std::array<std::atomic<int32_t>, 256>& levels);

}  // namespace kv::core
