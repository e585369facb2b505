// Packets of the supervisor pipe as the supervisor writes them, including ones that lie about
// their length.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "plugins/IpcPacket.h"

namespace kv::test {

// A packet with a declared length of `length` (by default the real one).
inline std::string ipcPacket(uint32_t type, uint32_t route, std::string_view payload,
                             int64_t length = -1) {
  std::string bytes(core::kIpcHeaderSize, '\0');
  const auto declared =
      static_cast<uint32_t>(length >= 0 ? length : int64_t(core::kIpcHeaderSize + payload.size()));
  core::writeIpcHeader(bytes.data(), {declared, route, type, 0});
  bytes.append(payload);
  return bytes;
}

}  // namespace kv::test
