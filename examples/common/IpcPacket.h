// Packets of the supervisor link: a 16-byte header of little-endian words (total length, route,
// type, reserved) and the payload. A plugin receives whole packets in OnIpcResult and sends one by
// posting an "ipc" record whose payload is the complete packet.
//
// The words are assembled byte by byte, so the code is right whatever the byte order of the host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace kv::samples {

inline constexpr size_t kIpcHeaderSize = 16;
inline constexpr size_t kIpcMaxPacket = 65536;  // the link's limit, header included

struct IpcHeader {
  uint32_t length = 0;  // total bytes, header included
  uint32_t route = 0;   // from the supervisor: bits 20 to 27 name the plugin
  uint32_t type = 0;
  uint32_t reserved = 0;
};

inline uint32_t loadLe32(const uint8_t* bytes) {
  return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
         uint32_t{bytes[3]} << 24;
}

inline void storeLe32(uint8_t* bytes, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

// The header of the `size` bytes at `packet`, when they are a packet: a whole header, and a length
// word that covers the header and no more than the bytes at hand.
inline std::optional<IpcHeader> readIpcHeader(const void* packet, size_t size) {
  if (packet == nullptr || size < kIpcHeaderSize) return std::nullopt;
  const auto* bytes = static_cast<const uint8_t*>(packet);
  const IpcHeader header{loadLe32(bytes), loadLe32(bytes + 4), loadLe32(bytes + 8),
                         loadLe32(bytes + 12)};
  if (header.length < kIpcHeaderSize || header.length > size) return std::nullopt;
  return header;
}

// A complete packet with `payload`, reserved word 0. Empty when it would exceed kIpcMaxPacket.
inline std::vector<uint8_t> makeIpcPacket(uint32_t route, uint32_t type, std::string_view payload) {
  if (payload.size() > kIpcMaxPacket - kIpcHeaderSize) return {};
  std::vector<uint8_t> packet(kIpcHeaderSize + payload.size());
  storeLe32(packet.data(), static_cast<uint32_t>(packet.size()));
  storeLe32(packet.data() + 4, route);
  storeLe32(packet.data() + 8, type);
  storeLe32(packet.data() + 12, 0);
  for (size_t i = 0; i < payload.size(); ++i) {
    packet[kIpcHeaderSize + i] = static_cast<uint8_t>(payload[i]);
  }
  return packet;
}

}  // namespace kv::samples
