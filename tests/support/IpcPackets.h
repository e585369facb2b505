// Packets of the supervisor pipe as the supervisor writes them: a 16-byte little-endian header
// (length, route, type, reserved) and the payload.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kv::test {

inline constexpr uint32_t kIpcSupervisorInfo = 7;
inline constexpr uint32_t kIpcClose = 8;

inline void appendWord(std::string& bytes, uint32_t word) {
  for (int shift = 0; shift < 32; shift += 8) bytes += static_cast<char>((word >> shift) & 0xFF);
}

// A packet with a declared length of `length` (by default the real one).
inline std::string ipcPacket(uint32_t type, uint32_t route, std::string_view payload,
                             int64_t length = -1) {
  std::string bytes;
  appendWord(bytes, static_cast<uint32_t>(length >= 0 ? length : int64_t(16 + payload.size())));
  appendWord(bytes, route);
  appendWord(bytes, type);
  appendWord(bytes, 0);
  bytes.append(payload);
  return bytes;
}

// The route word of a packet for plugin `id`.
inline uint32_t routeTo(uint32_t id) {
  return id << 20;
}

}  // namespace kv::test
