// Keeping exceptions inside entry points. Plain function, no state: safe on any thread.
#pragma once

namespace kv::samples {

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
