// Naming and classification of event records, and the core's own log record.
//
// Core-internal. Pure functions of their arguments: safe on any thread.
#pragma once

#include <any>
#include <optional>
#include <string_view>

#include "events/EventClasses.h"

namespace kv::core {

// The class of a record: a std::any holding a pointer to the constant class (for instance
// `const VideoEvt*`) that equals `&event`, or an empty holder for a type that has no class.
// The view is valid as long as `event` is.
std::any classifyEvent(const EventParms& event);

// The name of a type code ("video", "log", "unknown", ...); the modifier bit is ignored.
std::string_view eventTypeName(uint32_t type);

// The record that carries one of the core's own log lines into the event stream: a live "log"
// record from the core's address with `level`, whose payload is `text` (not copied: the record
// points into it). None for an empty text.
std::optional<EventParms> makeCoreLogRecord(int32_t level, std::string_view text);

}  // namespace kv::core
