// Packets of the supervisor link: a 16-byte header of four little-endian 32-bit words (total
// length, route, type, reserved) followed by the payload.
//
// Public plugin interface: self-contained, plain data, constants and byte-wise helpers only. A
// plugin receives whole packets, header included, in OnIpcResult and sends one by posting an "ipc"
// record whose payload is the complete packet; the core writes it to the supervisor unchanged.
//
// The words on the wire are little-endian whatever the processor, so they are read and written
// byte by byte here: never copy an IpcHeader to or from packet bytes. IpcHeader holds the words in
// the host's order. Plain functions, no state: safe on any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kv::core {

inline constexpr uint32_t kIpcHeaderSize = 16;
// The largest packet the link carries, header included.
inline constexpr uint32_t kIpcMaxPacketSize = 65536;

// Packet types the core handles itself; every other type is traffic for the plugin named in the
// route word, and its meaning is the plugin's.
inline constexpr uint32_t kIpcTypeSupervisorInfo = 7;  // payload: file, version, option word
inline constexpr uint32_t kIpcTypeClose = 8;           // the core is to stop

// The supervisor's option word that puts the core in the background.
inline constexpr char kIpcBackgroundOption[] = "Background:true";

// The header's four words, in the host's byte order.
struct IpcHeader {
  uint32_t length;    // total bytes, header included: kIpcHeaderSize to kIpcMaxPacketSize
  uint32_t route;     // from the supervisor: the addressed plugin's ID in bits 20 to 27
  uint32_t type;      // kIpcType*, or plugin traffic
  uint32_t reserved;  // not interpreted by the core
};

static_assert(sizeof(IpcHeader) == kIpcHeaderSize);
static_assert(offsetof(IpcHeader, length) == 0);
static_assert(offsetof(IpcHeader, route) == 4);
static_assert(offsetof(IpcHeader, type) == 8);
static_assert(offsetof(IpcHeader, reserved) == 12);

// The little-endian word at `bytes`. REQUIRES: 4 readable bytes.
constexpr uint32_t readLe32(const uint8_t* bytes) {
  return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
         uint32_t{bytes[3]} << 24;
}

// Writes `value` as a little-endian word at `bytes`. REQUIRES: 4 writable bytes.
constexpr void writeLe32(uint8_t* bytes, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

// The header at the start of `packet`, unchecked. REQUIRES: kIpcHeaderSize readable bytes.
inline IpcHeader readIpcHeader(const void* packet) {
  const auto* bytes = static_cast<const uint8_t*>(packet);
  return IpcHeader{readLe32(bytes), readLe32(bytes + 4), readLe32(bytes + 8), readLe32(bytes + 12)};
}

// Writes `header` to the start of `packet`. REQUIRES: kIpcHeaderSize writable bytes.
inline void writeIpcHeader(void* packet, const IpcHeader& header) {
  auto* bytes = static_cast<uint8_t*>(packet);
  writeLe32(bytes, header.length);
  writeLe32(bytes + 4, header.route);
  writeLe32(bytes + 8, header.type);
  writeLe32(bytes + 12, header.reserved);
}

// Whether a declared length can be a packet at all: it covers the header and fits the link. A
// shorter one could never be consumed, a longer one never be received whole.
constexpr bool ipcLengthValid(uint32_t length) {
  return length >= kIpcHeaderSize && length <= kIpcMaxPacketSize;
}

// Reads the header of the `size` bytes at `packet` into `header` when they begin with a whole
// packet: a valid length that the bytes at hand cover. False, and `header` untouched, otherwise.
inline bool readIpcPacket(const void* packet, size_t size, IpcHeader& header) {
  if (packet == nullptr || size < kIpcHeaderSize) return false;
  const IpcHeader read = readIpcHeader(packet);
  if (!ipcLengthValid(read.length) || read.length > size) return false;
  header = read;
  return true;
}

// The route word of a packet for plugin `pluginId`.
constexpr uint32_t ipcRoute(uint32_t pluginId) {
  return (pluginId & 0xFFu) << 20;
}

// The plugin ID a route word names.
constexpr uint32_t ipcRoutePluginId(uint32_t route) {
  return (route >> 20) & 0xFFu;
}

}  // namespace kv::core
