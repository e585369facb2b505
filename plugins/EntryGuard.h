// Keeping exceptions inside entry points, and checking the records `Load` is handed.
//
// Public plugin interface: header-only, no state; safe on any thread.
#pragma once

#include <cxxabi.h>

#include "plugins/PluginAbi.h"

namespace kv::core {

// Runs the body of an entry point and returns its result. Nothing may be thrown across the plugin
// boundary (the core would terminate), so any exception becomes `onError`. A thread cancellation
// unwinding through the entry point is let through (hence not noexcept): swallowing it, or
// stopping it at a noexcept frame, would abort the process. The runtime binds the cancellation's
// reference to no object at all; that is its own idiom, so the sanitizer's null check is off here
// (the body keeps its checks).
template <typename Body>
__attribute__((no_sanitize("null"))) int guardEntry(Body&& body, int onError) {
  try {
    return body();
  } catch (const abi::__forced_unwind&) {
    throw;
  } catch (...) {
    return onError;
  }
}

// Whether the records handed to `Load` hold every field this plugin was compiled against: a core
// older than the plugin's headers may hand shorter records. Refuse the load (non-zero) when not.
inline bool loadRecordsFit(const LoadRequest* request, const LoadReply* reply) {
  return request != nullptr && reply != nullptr && request->size >= sizeof(LoadRequest) &&
         request->version >= kLoadRequestVersion && reply->size >= sizeof(LoadReply) &&
         reply->version >= kLoadReplyVersion;
}

}  // namespace kv::core
