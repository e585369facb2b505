// Stamped payloads: a magic word, the payload's own length and a seed, then bytes derived from the
// seed, so that a receiver can tell a payload that was freed, overwritten or cut short. Shared by
// the stress plugin and the tests that play its supervisor.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace kv::test {

inline constexpr uint32_t kStampMagic = 0x5354524Du;
inline constexpr uint32_t kStampSize = 12;

inline uint8_t stampByte(uint32_t seed, uint32_t at) {
  return static_cast<uint8_t>(seed * 31u + at * 7u + (at >> 8));
}

// A stamped payload of `length` bytes. REQUIRES: length >= kStampSize.
inline std::vector<uint8_t> stamped(uint32_t length, uint32_t seed) {
  std::vector<uint8_t> bytes(length);
  std::memcpy(bytes.data(), &kStampMagic, 4);
  std::memcpy(bytes.data() + 4, &length, 4);
  std::memcpy(bytes.data() + 8, &seed, 4);
  for (uint32_t i = kStampSize; i < length; ++i) bytes[i] = stampByte(seed, i);
  return bytes;
}

inline bool hasStamp(const uint8_t* bytes, uint32_t length) {
  uint32_t magic = 0;
  if (length >= 4) std::memcpy(&magic, bytes, 4);
  return magic == kStampMagic;
}

// Whether a stamped payload is whole. REQUIRES: hasStamp.
inline bool stampIntact(const uint8_t* bytes, uint32_t length) {
  if (length < kStampSize) return false;
  uint32_t declared = 0;
  uint32_t seed = 0;
  std::memcpy(&declared, bytes + 4, 4);
  std::memcpy(&seed, bytes + 8, 4);
  if (declared != length) return false;
  for (uint32_t i = kStampSize; i < length; ++i) {
    if (bytes[i] != stampByte(seed, i)) return false;
  }
  return true;
}

}  // namespace kv::test
