// The binary interface between the core and a plugin shared object: the records the core passes to
// the plugin's exported entry points, and the entry points' types.
//
// Public plugin interface: self-contained, plain data and constants only. Every record begins with
// its own size and version. The core fills every field of both the request and the reply before a
// call; a reply field the plugin does not set keeps the core's value. Reserved fields are 0. A
// record is valid only for the duration of the call, except the LoadReply, which the core keeps for
// the plugin's whole life and reads at every event.
//
// On the 32-bit camera all sizes and offsets are checked at compile time; a 64-bit host build has
// natural alignment, and the `size` fields carry the sizeof of each struct there.
#pragma once

#include <cstddef>
#include <cstdint>

#include "events/EventParms.h"

namespace kv::core {

// Handed to `Load`. The system identifier text (terminated by a zero byte) stays valid and
// unchanged until the core is destroyed, so a plugin may keep both pointers.
struct LoadRequest {
  uint32_t size;     // sizeof(LoadRequest): 24 on the camera
  uint32_t version;  // kLoadRequestVersion
  uint32_t reserved;
  PostEventFn postEvent;    // the core's post function
  const char* systemId;     // the core's system identifier
  uint32_t systemIdLength;  // characters, without the terminating zero
};
inline constexpr uint32_t kLoadRequestVersion = 4;

// Filled by the plugin in `Load`; the core sets `size` and `version` and zeroes the rest first.
struct LoadReply {
  uint32_t size;      // sizeof(LoadReply): 68 on the camera
  uint32_t version;   // kLoadReplyVersion
  uint32_t address;   // the plugin's address word; its plugin ID is in bits 16 to 23
  uint32_t videoSub;  // subscription words: kSubLive and kSubStored bits, the rest is the plugin's
  uint32_t audioSub;
  uint32_t alarmSub;
  uint32_t ptzSub;
  uint32_t serialSub;
  uint32_t closeOrder;  // plugins with a higher value are closed and unloaded earlier
  uint32_t logSub;
  uint32_t reserved40;
  uint32_t posSub;
  uint32_t analyticSub;
  uint8_t provideWorkerThread;  // non-zero: run IOCTL code 1 on a core thread after loading
  uint8_t reserved53;
  uint8_t
      startAsyncReader;  // non-zero: run Read on a core thread after Open; serve searches by Read
  uint8_t acceptsWrite;  // non-zero: events go to Write when there is no OnEvent
  uint32_t reserved56[3];
};
inline constexpr uint32_t kLoadReplyVersion = 3;

// Plugin IDs with a rule of their own; an `address` of kCoreAddress has ID 0 and neither rule.
// ID 6 goes to the front of the plugin list however late it loads: it starts its worker, is
// opened and is offered every event before all other plugins.
inline constexpr uint32_t kPluginIdLoadedFirst = 6;
// ID 8 is taken out of the plugin list before the others are closed: it is closed and unloaded
// then, or, when it is the log plugin, only when the core is destroyed, after every other plugin.
inline constexpr uint32_t kPluginIdRemovedAtClose = 8;

struct OpenRequest {
  uint32_t size;  // 16 on the camera
  uint32_t version;
  uint32_t reserved[2];
};
struct OpenReply {
  uint32_t size;  // 16 on the camera
  uint32_t version;
  uint32_t reserved[2];
};

struct CloseRequest {
  uint32_t size;  // 12 on the camera
  uint32_t version;
  uint32_t reserved;
};
struct CloseReply {
  uint32_t size;  // 12 on the camera
  uint32_t version;
  uint32_t reserved;
};

struct UnloadRequest {
  uint32_t size;  // 8 on the camera
  uint32_t version;
};
struct UnloadReply {
  uint32_t size;  // 12 on the camera
  uint32_t version;
  uint32_t reserved;
};

// IOCTL codes the core uses.
inline constexpr uint32_t kIoctlRunWorker = 1;    // the call is the worker thread's whole body
inline constexpr uint32_t kIoctlConfigEvent = 2;  // a config event for a plugin without OnEvent
inline constexpr uint32_t kIoctlIpcPacket = 4;    // an IPC packet for a plugin without OnIpcResult

struct IoctlRequest {
  uint32_t size;  // 28 on the camera
  uint32_t version;
  uint32_t code;  // kIoctl*
  uint32_t reserved[2];
  uint32_t length;  // bytes at `data`
  const void* data;
};
struct IoctlReply {
  uint32_t size;  // 28 on the camera
  uint32_t version;
  uint32_t code;  // the request's code
  uint32_t reserved12;
  uint32_t handled;  // kIoctlConfigEvent: set non-zero to keep a reference to the payload
  uint32_t reserved20[2];
};

// Handed to `Read` with a null reply pointer: empty on the reader thread, a search's request
// otherwise.
struct ReadRequest {
  uint32_t size;  // 28 on the camera
  uint32_t version;
  uint32_t reserved;
  uint8_t readMode;  // always kReadModeDefault
  uint8_t reserved13[3];
  uint32_t length;     // search: the request's payload length; reader thread: 0
  const void* data;    // search: the request's payload; reader thread: null
  uint32_t requestId;  // search: the request's identifier; reader thread: 0
};
inline constexpr uint8_t kReadModeDefault = 1;

// An event for a plugin that has Write but no OnEvent: the event record from `length` on.
struct WriteRequest {
  uint32_t size;  // 192 on the camera
  uint32_t version;
  uint32_t reserved[2];
  uint32_t length;
  void* data;
  uint32_t source;
  uint32_t requestId;
  uint32_t type;
  uint32_t flags;
  uint8_t typeParms[kEventTypeParmsSize];  // the record's type-specific part, from `parmsSize` on
};
struct WriteReply {
  uint32_t size;  // 24 on the camera
  uint32_t version;
  uint32_t reserved[3];
  uint32_t keepReference;  // set non-zero to keep a reference to the payload
};

// Version of every record above other than LoadRequest and LoadReply.
inline constexpr uint32_t kRecordVersion = 1;

// Entry points, exported unmangled under the names in kEntry*. Load and Unload are required, and
// Open and Close for the plugin to be opened; the others are optional.
using LoadFn = int (*)(const LoadRequest*, LoadReply*);
using UnloadFn = int (*)(const UnloadRequest*, UnloadReply*);
using OpenFn = int (*)(const OpenRequest*, OpenReply*);
using CloseFn = int (*)(const CloseRequest*, CloseReply*);
using OnEventFn = int (*)(const EventParms*);             // non-zero: the plugin keeps a reference
using OnSearchFn = int (*)(const EventParms*);            // runs on a search thread of the core
using ReadFn = int (*)(const ReadRequest*, void* reply);  // `reply` is always null
using WriteFn = int (*)(const WriteRequest*, WriteReply*);
using OnIpcResultFn = int (*)(const void* packet, uint32_t length);  // the whole packet
using IoctlFn = int (*)(const IoctlRequest*, IoctlReply*);

inline constexpr const char kEntryLoad[] = "Load";
inline constexpr const char kEntryUnload[] = "Unload";
inline constexpr const char kEntryOpen[] = "Open";
inline constexpr const char kEntryClose[] = "Close";
inline constexpr const char kEntryOnEvent[] = "OnEvent";
inline constexpr const char kEntryOnSearch[] = "OnSearch";
inline constexpr const char kEntryRead[] = "Read";
inline constexpr const char kEntryWrite[] = "Write";
inline constexpr const char kEntryOnIpcResult[] = "OnIpcResult";
inline constexpr const char kEntryIoctl[] = "IOCTL";

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(LoadRequest) == 24);
static_assert(offsetof(LoadRequest, postEvent) == 12);
static_assert(offsetof(LoadRequest, systemId) == 16);
static_assert(offsetof(LoadRequest, systemIdLength) == 20);
static_assert(sizeof(LoadReply) == 68);
static_assert(offsetof(LoadReply, address) == 8);
static_assert(offsetof(LoadReply, videoSub) == 12);
static_assert(offsetof(LoadReply, audioSub) == 16);
static_assert(offsetof(LoadReply, alarmSub) == 20);
static_assert(offsetof(LoadReply, ptzSub) == 24);
static_assert(offsetof(LoadReply, serialSub) == 28);
static_assert(offsetof(LoadReply, closeOrder) == 32);
static_assert(offsetof(LoadReply, logSub) == 36);
static_assert(offsetof(LoadReply, posSub) == 44);
static_assert(offsetof(LoadReply, analyticSub) == 48);
static_assert(offsetof(LoadReply, provideWorkerThread) == 52);
static_assert(offsetof(LoadReply, startAsyncReader) == 54);
static_assert(offsetof(LoadReply, acceptsWrite) == 55);
static_assert(offsetof(LoadReply, reserved56) == 56);
static_assert(sizeof(OpenRequest) == 16 && sizeof(OpenReply) == 16);
static_assert(sizeof(CloseRequest) == 12 && sizeof(CloseReply) == 12);
static_assert(sizeof(UnloadRequest) == 8 && sizeof(UnloadReply) == 12);
static_assert(sizeof(IoctlRequest) == 28 && sizeof(IoctlReply) == 28);
static_assert(offsetof(IoctlRequest, code) == 8);
static_assert(offsetof(IoctlRequest, length) == 20);
static_assert(offsetof(IoctlRequest, data) == 24);
static_assert(offsetof(IoctlReply, code) == 8);
static_assert(offsetof(IoctlReply, handled) == 16);
static_assert(sizeof(ReadRequest) == 28);
static_assert(offsetof(ReadRequest, readMode) == 12);
static_assert(offsetof(ReadRequest, length) == 16);
static_assert(offsetof(ReadRequest, data) == 20);
static_assert(offsetof(ReadRequest, requestId) == 24);
static_assert(sizeof(WriteRequest) == 192);
static_assert(offsetof(WriteRequest, length) == 16);
static_assert(offsetof(WriteRequest, data) == 20);
static_assert(offsetof(WriteRequest, source) == 24);
static_assert(offsetof(WriteRequest, flags) == 36);
static_assert(offsetof(WriteRequest, typeParms) == 40);
static_assert(sizeof(WriteReply) == 24);
static_assert(offsetof(WriteReply, keepReference) == 20);
#endif

}  // namespace kv::core
