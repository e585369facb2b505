// Records a careless or hostile plugin may post: unknown types, lying sizes and versions, odd
// flags, requests that make no sense. Each row says what the post must answer; `delivered` says
// whether a plugin subscribed to every live kind (other than the poster) receives it.
//
// Shared by the test plugin that posts them (HostilePlugin.cpp, mode=odd) and the tests.
#pragma once

#include <cstdint>
#include <cstring>

#include "events/EventParms.h"

namespace kv::test {

// What the shaping of a row may point at; it lives as long as the posting plugin.
struct OddScratch {
  char xml[7] = "<odd/>";
  char shortIpc[5] = {5, 0, 0, 0, 9};
  uint8_t lyingIpc[20] = {40};  // says 40 bytes, has 20
  char crypto[32] = "text";
  // Looks like a payload block to a core that takes a plugin's word for it: a header whose count
  // says one reference is left, in memory that was never the core's.
  struct {
    uint32_t total = 16;
    uint32_t count = 1;
    char payload[8] = "stray";
  } fakeBlock;
};

struct OddRecord {
  const char* name;
  int expected;    // the post's answer
  bool delivered;  // reaches another plugin subscribed to every live kind
  void (*shape)(core::EventParms& record, OddScratch& scratch, uint32_t self);
};

// A live alarm with a small payload, the base that each row changes.
inline core::EventParms oddBase(OddScratch& scratch, uint32_t self) {
  return core::makeEventRecord(core::kTypeAlarm, core::kFlagLive, self, scratch.xml,
                               sizeof scratch.xml - 1);
}

inline constexpr uint32_t kOddRequest = 0x00510007;

// In posting order: the cancel rows depend on each other.
inline const OddRecord kOddRecords[] = {
    {"unknown type 0x80", 0, false,
     [](core::EventParms& r, OddScratch&, uint32_t) { r.type = 0x80; }},
    {"unknown type 0x20000", 0, false,
     [](core::EventParms& r, OddScratch&, uint32_t) { r.type = 0x20000; }},
    {"every type bit", 0, false,
     [](core::EventParms& r, OddScratch&, uint32_t) { r.type = 0xFFFFFFFFu; }},
    {"unspecified type", 0, false, [](core::EventParms& r, OddScratch&, uint32_t) { r.type = 0; }},
    {"unknown type with the modifier", 0, false,
     [](core::EventParms& r, OddScratch&, uint32_t) { r.type = 0x4080; }},
    {"size 0", 0, true, [](core::EventParms& r, OddScratch&, uint32_t) { r.size = 0; }},
    {"size and version all ones", 0, true,
     [](core::EventParms& r, OddScratch&, uint32_t) {
       r.size = 0xFFFFFFFFu;
       r.version = 0xFFFFFFFFu;
     }},
    {"type part of 0 bytes, version 99", 0, true,
     [](core::EventParms& r, OddScratch&, uint32_t) {
       r.parmsSize = 0;
       r.parmsVersion = 99;
     }},
    // Stored (to the requester only) for request 0, which names no plugin of these tests.
    {"every flag bit", 0, false,
     [](core::EventParms& r, OddScratch&, uint32_t) { r.flags = 0xFFFFFFFFu; }},
    {"no payload but a length", 0, true,
     [](core::EventParms& r, OddScratch&, uint32_t) {
       r.data = nullptr;
       r.length = 1000;
     }},
    {"log level query", 25, false,
     [](core::EventParms& r, OddScratch&, uint32_t) {
       r.type = core::kTypeLog;
       r.flags = core::kFlagQuery;
     }},
    {"log below the level", 0, false,
     [](core::EventParms& r, OddScratch&, uint32_t) {
       r.type = core::kTypeLog;
       r.flags = core::kFlagLive | core::kFlagLogWrite;
       r.level = 0;
     }},
    {"empty live log", 0, false,
     [](core::EventParms& r, OddScratch&, uint32_t) {
       r.type = core::kTypeLog;
       r.data = nullptr;
     }},
    {"decref of nothing", 0, false,
     [](core::EventParms& r, OddScratch&, uint32_t) {
       r.type = core::kTypeDecref;
       r.data = nullptr;
     }},
    {"decref of a payload never held", 1, false,
     [](core::EventParms& r, OddScratch& s, uint32_t) {
       r.type = core::kTypeDecref;
       r.data = s.fakeBlock.payload;
     }},
    {"cancel query before a cancel", 0, false,
     [](core::EventParms& r, OddScratch&, uint32_t) {
       r.type = core::kTypeCancel;
       r.flags = core::kFlagQuery;
       r.requestId = kOddRequest;
     }},
    {"cancel", 0, false,
     [](core::EventParms& r, OddScratch&, uint32_t) {
       r.type = core::kTypeCancel;
       r.flags = 0;
       r.requestId = kOddRequest;
     }},
    {"cancel query after the cancel", 1, false,
     [](core::EventParms& r, OddScratch&, uint32_t) {
       r.type = core::kTypeCancel;
       r.flags = core::kFlagQuery;
       r.requestId = kOddRequest;
     }},
    {"ipc shorter than a header", 1, false,
     [](core::EventParms& r, OddScratch& s, uint32_t) {
       r.type = core::kTypeIpc;
       r.data = s.shortIpc;
       r.length = sizeof s.shortIpc;
     }},
    {"ipc whose length word lies", 1, false,
     [](core::EventParms& r, OddScratch& s, uint32_t) {
       r.type = core::kTypeIpc;
       r.data = s.lyingIpc;
       r.length = sizeof s.lyingIpc;
     }},
    {"ipc without payload", 1, false,
     [](core::EventParms& r, OddScratch&, uint32_t) {
       r.type = core::kTypeIpc;
       r.data = nullptr;
     }},
    {"crypto with an unknown operation", core::kCryptoBadOperation, false,
     [](core::EventParms& r, OddScratch& s, uint32_t) {
       r.type = core::kTypeCrypto;
       r.flags = 7;
       r.data = s.crypto;
       r.length = sizeof s.crypto;
       r.dataLength = 4;
     }},
    {"crypto without a buffer", core::kCryptoBadRequest, false,
     [](core::EventParms& r, OddScratch&, uint32_t) {
       r.type = core::kTypeCrypto;
       r.flags = core::kCryptoEncrypt;
       r.data = nullptr;
     }},
    {"crypto with more data than room", core::kCryptoBadRequest, false,
     [](core::EventParms& r, OddScratch& s, uint32_t) {
       r.type = core::kTypeCrypto;
       r.flags = core::kCryptoEncrypt;
       r.data = s.crypto;
       r.length = sizeof s.crypto;
       r.dataLength = 0xFFFFFFFFu;
     }},
    {"search result from no search thread", 1, false,
     [](core::EventParms& r, OddScratch&, uint32_t) {
       r.flags = core::kFlagStored;
       r.requestId = 0x00510003;
     }},
    {"search request without a query", 0, false,
     [](core::EventParms& r, OddScratch&, uint32_t) {
       r.source = 1;
       r.flags = core::kFlagStored;
       r.requestId = 0x00510009;
       r.data = nullptr;
     }},
    {"live video without a key frame", core::kPostDropNoKeyFrame, false,
     [](core::EventParms& r, OddScratch&, uint32_t) {
       r.type = core::kTypeVideo;
       r.frameKind = 0;
     }},
    // Comes back to its sender only.
    {"watchdog", 0, false,
     [](core::EventParms& r, OddScratch&, uint32_t) { r.type = core::kTypeWatchdog; }},
};

}  // namespace kv::test
