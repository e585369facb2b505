// Building records for the post function, and keeping exceptions inside entry points.
//
// Every record a plugin posts starts with the sizes and versions of the layout it was compiled
// against, so that the core can tell which layout it got: makeEvent fills them and zeroes the rest.
// Plain functions, no state: safe on any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "events/EventParms.h"

namespace kv::samples {

// A record of `type` with `flags` from `source`, no payload and a zeroed type-specific part.
inline kv::core::EventParms makeEvent(uint32_t type, uint32_t flags, uint32_t source) {
  kv::core::EventParms event{};
  event.size = sizeof event;
  event.version = kv::core::kEventParmsVersion;
  event.source = source;
  event.type = type;
  event.flags = flags;
  event.parmsSize = kv::core::kEventTypeParmsSize;
  event.parmsVersion = kv::core::kEventTypeParmsVersion;
  return event;
}

// Points `event` at `length` bytes at `data`. The core copies a posted payload before the post call
// returns, so the bytes need to live only until then. `data` is not const in the record because
// delivered records share its layout; the core never writes through it.
inline void setPayload(kv::core::EventParms& event, const void* data, size_t length) {
  event.data = const_cast<void*>(data);
  event.length = data != nullptr ? static_cast<uint32_t>(length) : 0;
}

// Runs the body of an entry point. Nothing may be thrown across the plugin boundary (the core is
// built separately and would terminate), so any exception becomes the result `onError`.
template <typename Body>
int guarded(Body&& body, int onError = 0) noexcept {
  try {
    return body();
  } catch (...) {
    return onError;
  }
}

}  // namespace kv::samples
