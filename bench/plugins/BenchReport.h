// What the bench plugins and korva-bench agree on: the plugin IDs, where a record carries its
// sequence number, the end marker and how the plugins send their report lines to the supervisor.
//
// Plain constants and byte-wise helpers on the public record; safe on any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "events/EventParms.h"
#include "plugins/IpcPacket.h"

namespace kv::bench {

inline constexpr uint32_t kProducerId = 0x60;
// Consumers take the IDs after the producer's: 0x61, 0x62, ...
inline constexpr uint32_t kFirstConsumerId = 0x61;
inline constexpr uint32_t kMaxConsumers = 16;

// Packet type of the reports; any type the core doesn't take itself goes to the supervisor as is.
inline constexpr uint32_t kReportPacketType = 0x6200;

// The sequence number sits in the record's pass-through bytes, so that a record without a
// payload carries it too; a payload of at least 8 bytes starts with the same number.
inline void writeSequence(core::EventParms& record, uint64_t sequence) {
  std::memcpy(record.typeBytes52, &sequence, sizeof sequence);
}
inline uint64_t readSequence(const core::EventParms& record) {
  uint64_t sequence;
  std::memcpy(&sequence, record.typeBytes52, sizeof sequence);
  return sequence;
}

// The producer's post time (steady-clock nanoseconds) rides beside the sequence number, so that a
// consumer can tell how long the record took to reach it.
inline void writeStamp(core::EventParms& record, int64_t nanos) {
  std::memcpy(record.typeBytes52 + sizeof(uint64_t), &nanos, sizeof nanos);
}
inline int64_t readStamp(const core::EventParms& record) {
  int64_t nanos;
  std::memcpy(&nanos, record.typeBytes52 + sizeof(uint64_t), sizeof nanos);
  return nanos;
}

// The record after the last one: its sequence number is the count the producer posted.
inline constexpr uint8_t kEndMarker = 0xE5;
inline void markEnd(core::EventParms& record) {
  record.typeBytes44[0] = kEndMarker;
}
inline bool isEnd(const core::EventParms& record) {
  return record.typeBytes44[0] == kEndMarker;
}

// The payload's own copy of the sequence number, or `fallback` when it is too short to hold one.
inline uint64_t payloadSequence(const core::EventParms& record, uint64_t fallback) {
  if (record.data == nullptr || record.length < sizeof(uint64_t)) return fallback;
  uint64_t sequence;
  std::memcpy(&sequence, record.data, sizeof sequence);
  return sequence;
}

// Steady-clock nanoseconds: the plugins run in the core's process and korva-bench compares their
// times with each other only, so one machine-wide monotonic clock serves them all.
inline int64_t nowNanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Sends one report line to the supervisor as a packet of kReportPacketType from `source`.
inline void sendReport(core::PostEventFn post, uint32_t source, std::string_view text) {
  std::vector<uint8_t> packet(core::kIpcHeaderSize + text.size());
  core::writeIpcHeader(packet.data(),
                       {static_cast<uint32_t>(packet.size()), 0, kReportPacketType, 0});
  std::memcpy(packet.data() + core::kIpcHeaderSize, text.data(), text.size());
  core::EventParms ipc =
      core::makeEventRecord(core::kTypeIpc, 0, source, packet.data(), packet.size());
  post(&ipc);  // refused only when the supervisor is gone, and then nobody waits for the report
}

// The producing side's report: "producer posted=N refused=R first=NS last=NS".
inline void sendProducerReport(core::PostEventFn post, uint32_t source, uint64_t posted,
                               uint64_t refused, int64_t first, int64_t last) {
  char text[160];
  std::snprintf(text, sizeof text, "producer posted=%llu refused=%llu first=%lld last=%lld",
                static_cast<unsigned long long>(posted), static_cast<unsigned long long>(refused),
                static_cast<long long>(first), static_cast<long long>(last));
  sendReport(post, source, text);
}

}  // namespace kv::bench
