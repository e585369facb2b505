// The receive framing of the supervisor pipe under arbitrary chunkings of one byte stream.
//
// Input: a chunking header, then the stream. The header's first byte n (taken modulo 32) is how
// many chunk sizes follow, two bytes each; the sizes are used in turn, 0 standing for "as much
// as the buffer takes". The stream is delivered in those chunks, each clamped to the room the
// framing offers, as receives would deliver it.
//
// Checked: every packet handed over is one whole packet (valid length word, the bytes of the
// stream at that place). Up to a framing reset nothing depends on the chunking: the packets and
// the reset are those of the same bytes delivered as fast as the buffer allows. A reset drops
// what was buffered, which does depend on the chunking, so after one the comparison starts again
// from the first byte of the next chunk.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/IpcReceiveFraming.h"

namespace {

using kv::core::IpcReceiveFraming;

// What the framing made of a stretch of the stream.
struct Outcome {
  std::vector<std::string> packets;
  bool reset = false;     // ended by a framing reset
  size_t consumed = 0;    // stream bytes delivered, the chunk with the reset included
  uint32_t leftover = 0;  // bytes buffered at the end, when there was no reset
};

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "ipc framing: %s\n", what);
  std::abort();
}

// Delivers `stream` in chunks from `nextChunk` until the stream ends or the framing resets.
template <typename NextChunk>
Outcome deliver(IpcReceiveFraming& framing, std::string_view stream, NextChunk&& nextChunk) {
  Outcome outcome;
  while (outcome.consumed < stream.size() && !outcome.reset) {
    size_t chunk = nextChunk();
    const size_t left = stream.size() - outcome.consumed;
    if (chunk == 0 || chunk > framing.room()) chunk = framing.room();
    if (chunk > left) chunk = left;
    std::memcpy(framing.space(), stream.data() + outcome.consumed, chunk);
    outcome.consumed += chunk;
    const auto result =
        framing.take(static_cast<uint32_t>(chunk), [&](const uint8_t* packet, uint32_t length) {
          if (!kv::core::ipcLengthValid(length) || kv::core::readLe32(packet) != length) {
            fail("handed over a packet that is not whole");
          }
          outcome.packets.emplace_back(reinterpret_cast<const char*>(packet), length);
        });
    outcome.reset = result == IpcReceiveFraming::Result::kBadLength;
    if (outcome.reset && framing.fill() != 0) fail("a reset kept bytes");
    if (framing.fill() > IpcReceiveFraming::kBufferSize) fail("fill beyond the buffer");
  }
  outcome.leftover = framing.fill();
  return outcome;
}

// The packets handed over must be the stream's own bytes, back to back from its start.
void checkContiguous(const Outcome& outcome, std::string_view stream) {
  size_t offset = 0;
  for (const auto& packet : outcome.packets) {
    if (stream.substr(offset, packet.size()) != packet) fail("packet bytes differ from the stream");
    offset += packet.size();
  }
  if (!outcome.reset && offset + outcome.leftover != outcome.consumed) fail("bytes lost");
}

// Two of these are large; kept off the stack and reused.
IpcReceiveFraming& framing(int which) {
  static auto chunked = std::make_unique<IpcReceiveFraming>();
  static auto greedy = std::make_unique<IpcReceiveFraming>();
  return which == 0 ? *chunked : *greedy;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t sizes = data[0] % 32;
  if (size < 1 + 2 * sizes) return 0;
  std::vector<size_t> chunks;
  for (size_t i = 0; i < sizes; ++i) chunks.push_back(data[1 + 2 * i] | data[2 + 2 * i] << 8);
  if (chunks.empty()) chunks.push_back(0);
  const std::string_view stream(reinterpret_cast<const char*>(data) + 1 + 2 * sizes,
                                size - 1 - 2 * sizes);

  IpcReceiveFraming& chunked = framing(0);
  IpcReceiveFraming& greedy = framing(1);
  chunked.reset();
  size_t next = 0;
  size_t start = 0;  // where the current stretch begins, after the last reset
  while (start < stream.size()) {
    const std::string_view rest = stream.substr(start);
    const Outcome got = deliver(chunked, rest, [&] { return chunks[next++ % chunks.size()]; });
    greedy.reset();
    const Outcome want = deliver(greedy, rest, [] { return size_t{0}; });
    checkContiguous(got, rest);
    if (got.packets != want.packets) fail("the packets depend on the chunking");
    if (got.reset != want.reset) fail("the reset depends on the chunking");
    if (!got.reset) {
      if (got.leftover != want.leftover) fail("the bytes kept depend on the chunking");
      break;
    }
    start += got.consumed;
  }
  return 0;
}
