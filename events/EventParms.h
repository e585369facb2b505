// The event record that plugins and the core exchange, with its codes, flags and address words.
//
// Public plugin interface: self-contained, plain data and constants only. Plugins compile against
// this header, so its layout is fixed: on the 32-bit camera every size and offset below is checked
// at compile time; a 64-bit host build gets natural alignment (the record is 192 bytes there) and
// every `size` field still carries the sizeof of its struct.
//
// Ownership: a record and its payload belong to whoever built them; the post function borrows them
// for the duration of the call only. A record delivered to a plugin points into a core-owned
// payload block that the plugin may keep only by returning non-zero from the delivery call, and
// gives back by posting a "decref" record with the same `data`.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kv::core {

// Address word of the core itself; printed as "Core", slot 0 of the per-plugin tables.
inline constexpr uint32_t kCoreAddress = 0x80000000u;

// Event type codes. The modifier bit is set only by plugins; naming, routing and classification
// always look at the type with it cleared.
inline constexpr uint32_t kTypeUnspecified = 0x0;
inline constexpr uint32_t kTypeVideo = 0x1;
inline constexpr uint32_t kTypeAudio = 0x2;
inline constexpr uint32_t kTypeAlarm = 0x4;
inline constexpr uint32_t kTypePtz = 0x8;
inline constexpr uint32_t kTypeSerial = 0x10;
inline constexpr uint32_t kTypeWatchdog = 0x20;
inline constexpr uint32_t kTypeLog = 0x40;
inline constexpr uint32_t kTypeConfig = 0x100;
inline constexpr uint32_t kTypeDecref = 0x200;  // request: release the reference on `data`
inline constexpr uint32_t kTypePos = 0x400;
inline constexpr uint32_t kTypeCancel = 0x1000;  // request: cancel (or query) `requestId`
inline constexpr uint32_t kTypeIpc = 0x2000;     // request: send the payload to the supervisor
inline constexpr uint32_t kTypeModifier = 0x4000;
inline constexpr uint32_t kTypeCrypto = 0x8000;  // request: encrypt or decrypt the buffer at `data`
inline constexpr uint32_t kTypeAnalytic = 0x10000;

// Flag bits of `flags`. The other bits of the low 24 are type-specific and pass through untouched.
inline constexpr uint32_t kFlagLive = 0x1000000;    // produced now
inline constexpr uint32_t kFlagStored = 0x4000000;  // search result; routed to the requester only
inline constexpr uint32_t kFlagQuery = 0x1;         // "log"/"cancel": answer in the post result
inline constexpr uint32_t kFlagLogWrite = 0x2;      // live "log": also write the text to the log
inline constexpr uint32_t kFlagConfigDelta = 0x10;  // "config": may carry a module-settings delta

// Bits of a `LoadReply` subscription word; all other bits belong to the plugin.
inline constexpr uint32_t kSubLive = 0x02000000;    // wants live events of this kind
inline constexpr uint32_t kSubStored = 0x04000000;  // serves searches for stored events

// Results of the post function.
inline constexpr int kPostAccepted = 0;
inline constexpr int kPostRefused = 1;
inline constexpr int kPostDropNoKeyFrame = 3;  // live video: no key frame since the GOP restarted
inline constexpr int kPostDropLongGop = 4;     // live video: the GOP is longer than allowed
inline constexpr int kPostDropThrottled = 5;   // live video or audio: memory throttling is on

// Crypto requests: the operation is in the low 24 bits of `flags`. After success the whole flags
// word tells the state of the data: kCryptoDecrypt after encrypting, kCryptoEncrypt after
// decrypting. The post result is 0, the capacity the output needs, or one of the codes below.
inline constexpr uint32_t kCryptoEncrypt = 2;
inline constexpr uint32_t kCryptoDecrypt = 1024;
inline constexpr uint32_t kCryptoOperationMask = 0x00FFFFFF;
inline constexpr int kCryptoBadOperation = -1;  // the operation is neither encrypt nor decrypt
inline constexpr int kCryptoBadRequest = -2;    // no buffer, no data to decrypt, data > capacity
inline constexpr int kCryptoNoOutput = -13;     // the transform gave nothing

// Type-specific byte 50 of a video record: the low two bits equal this for a key frame.
inline constexpr uint8_t kFrameKindMask = 0x3;
inline constexpr uint8_t kFrameKindKey = 0x1;
// Type-specific byte 51 of a video or audio record: an output frame.
inline constexpr uint8_t kFrameFlagOutput = 0x20;

inline constexpr uint32_t kEventParmsVersion = 1;
inline constexpr uint32_t kEventTypeParmsVersion = 1;

// The event record. The first eight words are the common header; the type-specific part starts at
// `parmsSize` and runs to the end of the record (152 bytes on every platform).
struct EventParms {
  uint32_t size;          // sizeof(EventParms): 184 on the camera
  uint32_t version;       // kEventParmsVersion
  uint32_t length;        // payload bytes at `data`; 0 when there is none
  void* data;             // first payload byte, or null (then `length` is 0)
  uint32_t source;        // address word of the originator
  uint32_t requestId;     // 0, or the search request this record belongs to
  uint32_t type;          // kType* code, possibly with kTypeModifier
  uint32_t flags;         // kFlag* bits and type-specific bits
  uint32_t parmsSize;     // size of the type-specific part: 152
  uint32_t parmsVersion;  // kEventTypeParmsVersion
  union {
    int32_t level;        // "log": severity of the text
    uint32_t toSelf;      // "config", "analytic": the source also receives its own event
    uint32_t dataLength;  // "crypto": meaningful bytes at `data`, whose capacity is `length`
  };
  uint8_t typeBytes44[6];    // type-specific, passed through untouched
  uint8_t frameKind;         // "video": kFrameKindKey in the low two bits marks a key frame
  uint8_t frameFlags;        // "video", "audio": kFrameFlagOutput marks an output frame
  uint8_t typeBytes52[132];  // type-specific, passed through untouched
};

inline constexpr size_t kEventTypeParmsSize = sizeof(EventParms) - offsetof(EventParms, parmsSize);
static_assert(kEventTypeParmsSize == 152, "the type-specific part is 152 bytes everywhere");

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(EventParms) == 184);
static_assert(offsetof(EventParms, length) == 8);
static_assert(offsetof(EventParms, data) == 12);
static_assert(offsetof(EventParms, source) == 16);
static_assert(offsetof(EventParms, requestId) == 20);
static_assert(offsetof(EventParms, type) == 24);
static_assert(offsetof(EventParms, flags) == 28);
static_assert(offsetof(EventParms, parmsSize) == 32);
static_assert(offsetof(EventParms, parmsVersion) == 36);
static_assert(offsetof(EventParms, level) == 40);
static_assert(offsetof(EventParms, frameKind) == 50);
static_assert(offsetof(EventParms, frameFlags) == 51);
#endif

// Address words: 0x80000000 is the core; otherwise bits 16 to 23 hold the plugin ID and bits 0 to
// 15 the originator's own sub-identifier.

// The plugin ID of an address word; also its slot in the 256-entry per-plugin tables (the core's
// address has slot 0).
constexpr uint32_t addressSlot(uint32_t address) {
  return address == kCoreAddress ? 0 : (address >> 16) & 0xFFu;
}

// An address word for plugin `id` with sub-identifier `sub`.
constexpr uint32_t makeAddress(uint32_t id, uint32_t sub = 0) {
  return ((id & 0xFFu) << 16) | (sub & 0xFFFFu);
}

// Whether two address words, neither of them the core's, belong to the same plugin.
constexpr bool samePlugin(uint32_t a, uint32_t b) {
  return a != kCoreAddress && b != kCoreAddress && addressSlot(a) == addressSlot(b);
}

// Whether an address word names the core or a plugin; a source that does neither, together with a
// request identifier and a payload, is a search request.
constexpr bool namesOriginator(uint32_t address) {
  return address == kCoreAddress || (address & 0x00FF0000u) != 0;
}

// The type code with the modifier bit cleared, as naming, routing and classification use it.
constexpr uint32_t maskedType(uint32_t type) {
  return type & ~kTypeModifier;
}

// A record of `type` with `flags` from `source`, carrying the `length` bytes at `data` (none when
// `data` is null), with the sizes and versions of the layout compiled against, so that the
// receiver can tell which layout it got. Everything else is zero, ready for the type-specific
// fields. The record only points at the payload: the post function copies it before returning.
inline EventParms makeEventRecord(uint32_t type, uint32_t flags, uint32_t source,
                                  const void* data = nullptr, size_t length = 0) {
  EventParms record{};
  record.size = sizeof record;
  record.version = kEventParmsVersion;
  // Not const in the record: delivered records share its layout, and a crypto request's buffer is
  // written in place. Other posts only read the payload.
  record.data = const_cast<void*>(data);
  record.length = data != nullptr ? static_cast<uint32_t>(length) : 0;
  record.source = source;
  record.type = type;
  record.flags = flags;
  record.parmsSize = kEventTypeParmsSize;
  record.parmsVersion = kEventTypeParmsVersion;
  return record;
}

// The post function that the core hands to every plugin at load: any thread, any time.
using PostEventFn = int (*)(EventParms* event);

}  // namespace kv::core
