#include "tools/IpcFraming.h"

#include <cstdio>

namespace kv::tools {

using core::kIpcHeaderSize;

std::string encodePacket(uint32_t type, uint32_t route, std::string_view payload) {
  std::string bytes(kIpcHeaderSize, '\0');
  const auto length = static_cast<uint32_t>(kIpcHeaderSize + payload.size());
  core::writeIpcHeader(bytes.data(), {length, route, type, 0});
  bytes.append(payload);
  return bytes;
}

std::string supervisorInfoPacket(std::string_view file, std::string_view version, bool background) {
  std::string payload(file);
  payload += '\0';
  payload.append(version);
  if (background) {
    payload += '\0';
    payload.append(core::kIpcBackgroundOption);
  }
  return encodePacket(core::kIpcTypeSupervisorInfo, 0, payload);
}

std::string closePacket() {
  return encodePacket(core::kIpcTypeClose, 0, {});
}

std::string pluginPacket(uint8_t pluginId, std::string_view payload) {
  return encodePacket(kTypePluginTraffic, core::ipcRoute(pluginId), payload);
}

SplitMessage splitMessage(std::string_view message) {
  SplitMessage split;
  while (!message.empty()) {
    core::IpcHeader header{};
    if (!core::readIpcPacket(message.data(), message.size(), header)) {
      split.malformed = message;
      break;
    }
    split.packets.push_back(
        Packet{header.length, header.route, header.type, header.reserved,
               std::string(message.substr(kIpcHeaderSize, header.length - kIpcHeaderSize))});
    message.remove_prefix(header.length);
  }
  return split;
}

std::string escapeBytes(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size());
  for (const char c : bytes) {
    const auto byte = static_cast<uint8_t>(c);
    if (c == '"' || c == '\\') {
      text += '\\';
      text += c;
    } else if (byte >= 0x20 && byte < 0x7F) {
      text += c;
    } else {
      text += "\\x";
      text += kHex[byte >> 4];
      text += kHex[byte & 0xF];
    }
  }
  return text;
}

std::string describePacket(const Packet& packet) {
  char header[80];
  std::snprintf(header, sizeof header, "length=%u route=0x%08x type=%u payload=\"", packet.length,
                packet.route, packet.type);
  return header + escapeBytes(packet.payload) + '"';
}

}  // namespace kv::tools
