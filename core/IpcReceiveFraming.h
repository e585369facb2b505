// IpcReceiveFraming: the receive side of the supervisor pipe's framing, apart from the socket. A
// receive writes its bytes at space(); take() then hands every whole packet buffered so far to the
// caller, in order, and keeps the start of an incomplete one for the next receive.
//
// Not thread-safe: one owner (the supervisor link, on the I/O thread). Invariants: fill() is at
// most kBufferSize, and after take() the buffered bytes are less than one whole packet. A packet
// handed over always starts at the start of the buffer, so its header words are aligned.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

#include "plugins/IpcPacket.h"

namespace kv::core {

class IpcReceiveFraming {
 public:
  static constexpr uint32_t kBufferSize = kIpcMaxPacketSize;  // one whole packet at most

  enum class Result {
    kFramed,     // every whole packet was handed over; the rest is kept
    kBadLength,  // a declared length can't be a packet: everything buffered was discarded
  };

  // Where the next receive writes, and how many bytes it may write there.
  uint8_t* space() { return buffer_.data() + fill_; }
  uint32_t room() const { return kBufferSize - fill_; }
  // Bytes buffered: the start of a packet not yet whole.
  uint32_t fill() const { return fill_; }

  // Takes `received` bytes that a receive wrote at space() and calls
  // `onPacket(const uint8_t* packet, uint32_t length)` for each whole packet, header included, in
  // stream order. REQUIRES: received <= room(); `onPacket` does not call back into this object.
  template <typename OnPacket>
  Result take(uint32_t received, OnPacket&& onPacket) {
    fill_ += received;
    while (fill_ >= kIpcHeaderSize) {
      const uint32_t length = readLe32(buffer_.data());
      // A length shorter than the header could never be consumed: as bad as an over-long one.
      // Where the next packet would begin is unknown, so nothing buffered can be trusted.
      if (!ipcLengthValid(length)) {
        reset();
        return Result::kBadLength;
      }
      if (length > fill_) break;  // the rest comes with the next receive
      onPacket(static_cast<const uint8_t*>(buffer_.data()), length);
      std::memmove(buffer_.data(), buffer_.data() + length, fill_ - length);
      fill_ -= length;
    }
    return Result::kFramed;
  }

  // Discards everything buffered, for a stream that is out of step (a record cut by the kernel).
  void reset() { fill_ = 0; }

 private:
  std::array<uint8_t, kBufferSize> buffer_{};
  uint32_t fill_ = 0;
};

}  // namespace kv::core
