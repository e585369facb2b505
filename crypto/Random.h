// Fresh random bytes from the system's random device.
//
// Every call opens its own descriptor, so any number of threads may call at once. The core cannot
// work without randomness: a failing device ends the process with exit status 74 (EX_IOERR).
#pragma once

#include <cstddef>
#include <cstdint>

namespace kv::core {

inline constexpr size_t kGuidSize = 16;

// Fills the kGuidSize bytes at `guid` from "/dev/urandom".
void CoCreateGuid(uint8_t* guid);

namespace internal {

// CoCreateGuid with the device named, so that tests can hand it a missing or short device.
void CoCreateGuidFrom(const char* device, uint8_t* guid);

}  // namespace internal
}  // namespace kv::core
