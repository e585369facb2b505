// Packets of the supervisor pipe as korvad-sim builds, reads and prints them. The header and its
// words are those of plugins/IpcPacket.h. The pipe keeps message boundaries, so one message
// normally holds exactly one packet.
//
// Plain functions on values; no shared state.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "plugins/IpcPacket.h"

namespace kv::tools {

// Any type the core doesn't handle itself is plugin traffic; the plugins own its meaning.
inline constexpr uint32_t kTypePluginTraffic = 256;

struct Packet {
  uint32_t length = 0;  // as declared by the header
  uint32_t route = 0;
  uint32_t type = 0;
  uint32_t reserved = 0;
  std::string payload;
};

// The bytes of a packet with the given type, route and payload; reserved is 0.
// REQUIRES: payload.size() <= core::kIpcMaxPacketSize - core::kIpcHeaderSize.
std::string encodePacket(uint32_t type, uint32_t route, std::string_view payload);

// Supervisor information: file name, version and, for a core in the background, the option word,
// separated by single NULs.
std::string supervisorInfoPacket(std::string_view file, std::string_view version, bool background);

std::string closePacket();

// Plugin traffic of type kTypePluginTraffic for plugin `pluginId`.
std::string pluginPacket(uint8_t pluginId, std::string_view payload);

// One received message cut into packets by their length words. Bytes that cannot be a packet (a
// header cut short, a length below the header or beyond the message) end the cutting and are
// kept in `malformed`.
struct SplitMessage {
  std::vector<Packet> packets;
  std::string malformed;
};
SplitMessage splitMessage(std::string_view message);

// Bytes as printable text: printable ASCII stays, '"' and '\' get a backslash, every other byte
// becomes \xNN (two lower-case hex digits).
std::string escapeBytes(std::string_view bytes);

// `length=40 route=0x01100000 type=256 payload="frames=12 held=3"`
std::string describePacket(const Packet& packet);

}  // namespace kv::tools
