#include "tools/IpcFraming.h"

#include <cstdio>

namespace kv::tools {
namespace {

void appendWord(std::string& bytes, uint32_t word) {
  for (int shift = 0; shift < 32; shift += 8) bytes += static_cast<char>((word >> shift) & 0xFF);
}

uint32_t wordAt(std::string_view bytes, size_t offset) {
  uint32_t word = 0;
  for (int i = 3; i >= 0; --i) word = word << 8 | static_cast<uint8_t>(bytes[offset + i]);
  return word;
}

}  // namespace

std::string encodePacket(uint32_t type, uint32_t route, std::string_view payload) {
  std::string bytes;
  bytes.reserve(kHeaderSize + payload.size());
  appendWord(bytes, static_cast<uint32_t>(kHeaderSize + payload.size()));
  appendWord(bytes, route);
  appendWord(bytes, type);
  appendWord(bytes, 0);
  bytes.append(payload);
  return bytes;
}

std::string supervisorInfoPacket(std::string_view file, std::string_view version, bool background) {
  std::string payload(file);
  payload += '\0';
  payload.append(version);
  if (background) {
    payload += '\0';
    payload.append(kBackgroundOption);
  }
  return encodePacket(kTypeSupervisorInfo, 0, payload);
}

std::string closePacket() {
  return encodePacket(kTypeClose, 0, {});
}

std::string pluginPacket(uint8_t pluginId, std::string_view payload) {
  return encodePacket(kTypePluginTraffic, pluginRoute(pluginId), payload);
}

SplitMessage splitMessage(std::string_view message) {
  SplitMessage split;
  while (!message.empty()) {
    const uint32_t length = message.size() >= kHeaderSize ? wordAt(message, 0) : 0;
    if (length < kHeaderSize || length > message.size()) {
      split.malformed = message;
      break;
    }
    split.packets.push_back(Packet{length, wordAt(message, 4), wordAt(message, 8),
                                   wordAt(message, 12),
                                   std::string(message.substr(kHeaderSize, length - kHeaderSize))});
    message.remove_prefix(length);
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
