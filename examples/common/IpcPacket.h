// Building whole supervisor packets for the post function. The header, its words and their byte
// order are those of plugins/IpcPacket.h; this adds only the buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "plugins/IpcPacket.h"

namespace kv::samples {

// A complete packet with `payload`, reserved word 0. Empty when it would exceed the link's limit.
inline std::vector<uint8_t> makeIpcPacket(uint32_t route, uint32_t type, std::string_view payload) {
  if (payload.size() > kv::core::kIpcMaxPacketSize - kv::core::kIpcHeaderSize) return {};
  std::vector<uint8_t> packet(kv::core::kIpcHeaderSize);
  const auto length = static_cast<uint32_t>(packet.size() + payload.size());
  kv::core::writeIpcHeader(packet.data(), {length, route, type, 0});
  packet.insert(packet.end(), payload.begin(), payload.end());
  return packet;
}

}  // namespace kv::samples
