// A test plugin that loads a real core from every side at once. From Open to Close its own
// threads, its worker thread and its reader thread post every kind of event (with and without a
// payload), log records and queries, cancel queries, crypto round trips, searches with cancels and
// revivals, and packets for the supervisor, and give back references it kept. Its event entry
// checks every payload it is given and keeps some; its search entry serves results until they are
// refused; its packet entry checks the supervisor's packets and answers some.
//
// Every payload it makes is stamped (tests/support/StampedPayload.h), log texts aside, so that a
// receiver can tell a payload that was freed, overwritten or cut short. Packets for the supervisor
// carry a stream (0: answers on the I/O thread, 1..: the posting threads) and a sequence number
// that grows within the stream.
//
// "<its path>.conf" (key=value lines): id=N (the plugin ID), threads=N (own posting threads,
// default 2), leak=1 (keep the first 16 references and never give them back). At Unload
// it writes what it did and saw to "<its path>.report" as "key value" lines.
#include <dlfcn.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "plugins/IpcPacket.h"
#include "plugins/PluginEntry.h"
#include "tests/support/StampedPayload.h"

using namespace kv::core;
using kv::test::kStampSize;
using kv::test::stamped;

namespace {

constexpr uint32_t kPacketType = 0x51;  // plugin traffic, not a type the core handles itself
constexpr uint32_t kSearchBase = 0x1000;
constexpr uint32_t kUnknownType = 0x20000;

#define KV_STRESS_COUNTERS(X) \
  X(posts)                    \
  X(accepted)                 \
  X(refused)                  \
  X(dropped)                  \
  X(payloadPosts)             \
  X(logPosts)                 \
  X(logQueries)               \
  X(logQueryBad)              \
  X(cancelQueries)            \
  X(crypto)                   \
  X(cryptoBad)                \
  X(searches)                 \
  X(searchesRefused)          \
  X(cancels)                  \
  X(revivals)                 \
  X(configDeltas)             \
  X(ipcSent)                  \
  X(ipcRefused)               \
  X(decrefs)                  \
  X(kept)                     \
  X(received)                 \
  X(receivedBytes)            \
  X(corrupt)                  \
  X(searchEntries)            \
  X(resultsPosted)            \
  X(resultsRefused)           \
  X(resultsReceived)          \
  X(packetsIn)                \
  X(packetsBad)               \
  X(packetAnswers)            \
  X(watchdogAccepted)         \
  X(watchdogReceived)         \
  X(alarmsAccepted)

struct Counters {
#define KV_DECLARE(name) std::atomic<uint64_t> name{0};
  KV_STRESS_COUNTERS(KV_DECLARE)
#undef KV_DECLARE
  std::array<std::atomic<uint64_t>, 256> alarmsFrom{};  // live alarms received, per source slot
};

Counters counters;
PostEventFn post = nullptr;
uint32_t pluginId = 0;
uint32_t address = 0;
bool leakForever = false;
std::atomic<bool> opened{false};
std::atomic<bool> stopping{false};
std::atomic<int> searchesRunning{0};
std::vector<std::thread> ownThreads;

// References kept by the event entry, given back by the posting threads and at Close.
std::mutex keptMutex;
std::deque<void*> keptData;

// Packets for the supervisor: the next sequence number per stream.
constexpr uint32_t kStreams = 16;
std::array<std::atomic<uint32_t>, kStreams> nextSequence{};

std::string ownPath() {
  Dl_info info{};
  dladdr(reinterpret_cast<void*>(&Load), &info);
  return info.dli_fname != nullptr ? info.dli_fname : "";
}

unsigned long setting(const char* key, unsigned long fallback) {
  std::ifstream conf(ownPath() + ".conf");
  const std::string prefix = std::string(key) + "=";
  for (std::string line; std::getline(conf, line);) {
    if (line.rfind(prefix, 0) == 0) return std::strtoul(line.c_str() + prefix.size(), nullptr, 0);
  }
  return fallback;
}

struct Random {
  explicit Random(uint64_t seed) : state(seed * 0x9E3779B97F4A7C15ull + 1) {}
  uint32_t next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return static_cast<uint32_t>(state >> 16);
  }
  uint32_t below(uint32_t n) { return next() % n; }
  uint64_t state;
};

void countResult(int result) {
  counters.posts++;
  if (result == kPostAccepted) {
    counters.accepted++;
  } else if (result == kPostRefused) {
    counters.refused++;
    // A full queue stays full without the poster spinning on it.
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  } else {
    counters.dropped++;
  }
}

void releaseOne() {
  if (leakForever) return;
  void* data = nullptr;
  {
    std::lock_guard lock(keptMutex);
    if (keptData.empty()) return;
    data = keptData.front();
    keptData.pop_front();
  }
  EventParms decref = makeEventRecord(kTypeDecref, 0, address, data, 1);
  post(&decref);
  counters.decrefs++;
}

size_t keptCount() {
  std::lock_guard lock(keptMutex);
  return keptData.size();
}

uint32_t payloadLength(Random& random) {
  const uint32_t pick = random.below(64);
  if (pick < 28) return 0;
  if (pick == 63) return 16384 + random.below(16384);
  return kStampSize + random.below(2048);
}

// One event of a random kind from `source` (the stream's own sub-address, one GOP per stream).
void postOneEvent(Random& random, uint32_t source, uint32_t& frame) {
  static constexpr uint32_t kKinds[] = {kTypeUnspecified,
                                        kTypeVideo,
                                        kTypeAudio,
                                        kTypeAlarm,
                                        kTypePtz,
                                        kTypeSerial,
                                        kTypeWatchdog,
                                        kTypeLog,
                                        0x80,
                                        kTypeConfig,
                                        kTypePos,
                                        kTypeAnalytic,
                                        kUnknownType,
                                        kTypeVideo | kTypeModifier};
  const uint32_t type = kKinds[random.below(sizeof kKinds / sizeof kKinds[0])];
  uint32_t length = payloadLength(random);
  auto payload = stamped(std::max(length, kStampSize), random.next());
  if (type == kTypeLog && length != 0) {
    const std::string text = "stress line " + std::to_string(random.next());
    payload.assign(text.begin(), text.end());
    length = static_cast<uint32_t>(text.size());
  }
  EventParms event =
      makeEventRecord(type, kFlagLive, source, length != 0 ? payload.data() : nullptr, length);
  switch (type) {
    case kTypeVideo: event.frameKind = (frame++ % 16 == 0) ? kFrameKindKey : 0; break;
    case kTypeLog:
      event.level = static_cast<int32_t>(random.below(4) * 25);
      // Written to the log now and then only: the lines would drown everything else.
      if (random.below(512) == 0) event.flags |= kFlagLogWrite;
      counters.logPosts++;
      break;
    case kTypeConfig:
    case kTypeAnalytic: event.toSelf = random.below(2); break;
    default: break;
  }
  if (length != 0) counters.payloadPosts++;
  const int result = post(&event);
  countResult(result);
  if (result != kPostAccepted) return;
  if (type == kTypeWatchdog) counters.watchdogAccepted++;
  if (type == kTypeAlarm) counters.alarmsAccepted++;
}

// A module-settings delta for this plugin's own log level, which makes the core rewrite core.xml.
void postConfigDelta(Random& random) {
  const std::string text = "<kDVR><Modules Delta=\"1\"><Module><Plugin ID=\"" +
                           std::to_string(address) + "\" LogLevel=\"" +
                           std::to_string(25 + 25 * random.below(3)) +
                           "\"/></Module></Modules></kDVR>";
  EventParms event =
      makeEventRecord(kTypeConfig, kFlagLive | kFlagConfigDelta, address, text.data(), text.size());
  countResult(post(&event));
  counters.configDeltas++;
}

void postQueries(Random& random, uint32_t requestBase) {
  EventParms level = makeEventRecord(kTypeLog, kFlagQuery, address);
  const int answer = post(&level);
  counters.logQueries++;
  if (answer < 0 || answer > 100) counters.logQueryBad++;
  EventParms cancelled = makeEventRecord(kTypeCancel, kFlagQuery, address);
  cancelled.requestId = requestBase + random.below(8);
  post(&cancelled);
  counters.cancelQueries++;
}

// The transform carries text: a decrypted text ends at its first zero byte.
void cryptoRoundTrip(Random& random) {
  const uint32_t textLength = 1 + random.below(200);
  std::vector<uint8_t> text(textLength);
  for (auto& byte : text) byte = static_cast<uint8_t>('a' + random.below(26));
  std::vector<uint8_t> buffer(textLength + 64, 0);
  std::memcpy(buffer.data(), text.data(), textLength);
  EventParms request =
      makeEventRecord(kTypeCrypto, kCryptoEncrypt, address, buffer.data(), buffer.size());
  request.dataLength = textLength;
  counters.crypto++;
  if (post(&request) != 0) {
    counters.cryptoBad++;
    return;
  }
  request.flags = kCryptoDecrypt;
  if (post(&request) != 0 || request.dataLength != textLength ||
      std::memcmp(buffer.data(), text.data(), textLength) != 0) {
    counters.cryptoBad++;
  }
}

// The searches of one stream: each request asks for a number of results; some are cancelled
// and some of those revived by asking again under the same identifier.
struct SearchPlan {
  uint32_t requestBase = 0;
  uint32_t serial = 0;
  std::vector<uint32_t> cancelled;
};

void postSearch(Random& random, SearchPlan& plan) {
  const uint32_t pick = random.below(8);
  uint32_t requestId = 0;
  if (pick < 2 && !plan.cancelled.empty()) {
    requestId = plan.cancelled.back();
    plan.cancelled.pop_back();
    counters.revivals++;
  } else if (pick < 4 && plan.serial != 0) {
    EventParms cancel = makeEventRecord(kTypeCancel, 0, address);
    cancel.requestId = plan.requestBase + (plan.serial - 1) % 64;
    post(&cancel);
    counters.cancels++;
    if (plan.cancelled.size() < 16) plan.cancelled.push_back(cancel.requestId);
    return;
  }
  if (requestId == 0) requestId = plan.requestBase + plan.serial++ % 64;
  const uint32_t wanted = 1 + random.below(12);
  EventParms search = makeEventRecord(kTypeVideo, kFlagStored, 0, &wanted, sizeof wanted);
  search.requestId = requestId;
  const int result = post(&search);
  if (result == kPostAccepted) {
    counters.searches++;
  } else {
    counters.searchesRefused++;
  }
}

void postPacket(Random& random, uint32_t stream) {
  const uint32_t payloadSize = 8 + kStampSize + random.below(1024);
  std::vector<uint8_t> packet(kIpcHeaderSize + payloadSize);
  writeIpcHeader(packet.data(),
                 {static_cast<uint32_t>(packet.size()), ipcRoute(pluginId), kPacketType, 0});
  const uint32_t sequence = nextSequence[stream]++;
  std::memcpy(packet.data() + kIpcHeaderSize, &stream, 4);
  std::memcpy(packet.data() + kIpcHeaderSize + 4, &sequence, 4);
  const auto stamp = stamped(payloadSize - 8, random.next());
  std::memcpy(packet.data() + kIpcHeaderSize + 8, stamp.data(), stamp.size());
  EventParms event = makeEventRecord(kTypeIpc, 0, address, packet.data(), packet.size());
  if (post(&event) == kPostAccepted) {
    counters.ipcSent++;
  } else {
    counters.ipcRefused++;
  }
}

// The body of every posting thread, until Close.
void postLoop(uint32_t stream) {
  while (!opened.load() && !stopping.load())
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  Random random(pluginId * 1000 + stream);
  SearchPlan plan;
  plan.requestBase = makeAddress(pluginId, kSearchBase * stream);
  const uint32_t source = makeAddress(pluginId, stream);
  uint32_t frame = 0;
  while (!stopping.load()) {
    const uint32_t action = random.below(100);
    if (action < 60) {
      postOneEvent(random, source, frame);
    } else if (action < 65) {
      postQueries(random, plan.requestBase);
    } else if (action < 69) {
      cryptoRoundTrip(random);
    } else if (action < 75) {
      postSearch(random, plan);
    } else if (action < 82) {
      postPacket(random, stream);
    } else if (action == 82 && random.below(40) == 0) {
      postConfigDelta(random);
    } else {
      releaseOne();
    }
    while (keptCount() > 48) releaseOne();
  }
}

void writeReport() {
  std::FILE* file = std::fopen((ownPath() + ".report").c_str(), "w");
  if (file == nullptr) return;
#define KV_WRITE(name) \
  std::fprintf(file, #name " %llu\n", static_cast<unsigned long long>(counters.name.load()));
  KV_STRESS_COUNTERS(KV_WRITE)
#undef KV_WRITE
  for (uint32_t slot = 0; slot < 256; ++slot) {
    if (const uint64_t n = counters.alarmsFrom[slot].load()) {
      std::fprintf(file, "alarmsFrom.%02x %llu\n", slot, static_cast<unsigned long long>(n));
    }
  }
  std::fprintf(file, "searchesRunningAtUnload %d\n", searchesRunning.load());
  std::fprintf(file, "keptAtUnload %zu\n", keptCount());
  std::fclose(file);
}

}  // namespace

KV_PLUGIN_EXPORT int Load(const LoadRequest* request, LoadReply* reply) {
  post = request->postEvent;
  pluginId = static_cast<uint32_t>(setting("id", 0x50)) & 0xFFu;
  address = makeAddress(pluginId);
  leakForever = setting("leak", 0) != 0;
  reply->address = address;
  for (uint32_t* sub : {&reply->videoSub, &reply->audioSub, &reply->alarmSub, &reply->ptzSub,
                        &reply->serialSub, &reply->logSub, &reply->posSub, &reply->analyticSub}) {
    *sub = kSubLive;
  }
  reply->provideWorkerThread = 1;
  reply->startAsyncReader = 1;
  const auto threads = static_cast<uint32_t>(setting("threads", 2));
  for (uint32_t t = 0; t < threads && t + 3 < kStreams; ++t)
    ownThreads.emplace_back(postLoop, t + 3);
  return 0;
}

KV_PLUGIN_EXPORT int Open(const OpenRequest*, OpenReply*) {
  opened.store(true);
  return 0;
}

KV_PLUGIN_EXPORT int Close(const CloseRequest*, CloseReply*) {
  stopping.store(true);
  for (auto& thread : ownThreads) thread.join();
  ownThreads.clear();
  while (keptCount() != 0 && !leakForever) releaseOne();
  return 0;
}

KV_PLUGIN_EXPORT int Unload(const UnloadRequest*, UnloadReply*) {
  stopping.store(true);
  for (auto& thread : ownThreads) thread.join();
  ownThreads.clear();
  writeReport();
  return 0;
}

// Worker (stream 1) and reader (stream 2) threads lent by the core: they post like the others.
KV_PLUGIN_EXPORT int IOCTL(const IoctlRequest* request, IoctlReply*) {
  if (request->code == kIoctlRunWorker) postLoop(1);
  return 0;
}
KV_PLUGIN_EXPORT int Read(const ReadRequest* request, void*) {
  if (request->length == 0 && request->requestId == 0) postLoop(2);
  return 0;
}

KV_PLUGIN_EXPORT int OnEvent(const EventParms* event) {
  // The dispatch thread alone calls this, so its random source needs no lock.
  static Random random(pluginId);
  counters.received++;
  counters.receivedBytes += event->length;
  if (event->source == kCoreAddress) return 0;
  const auto* bytes = static_cast<const uint8_t*>(event->data);
  if (bytes != nullptr && kv::test::hasStamp(bytes, event->length) &&
      !kv::test::stampIntact(bytes, event->length)) {
    counters.corrupt++;
  }
  if ((event->flags & kFlagStored) != 0) {
    counters.resultsReceived++;
  } else if (event->type == kTypeWatchdog) {
    if (addressSlot(event->source) == pluginId) counters.watchdogReceived++;
  } else if (event->type == kTypeAlarm) {
    counters.alarmsFrom[addressSlot(event->source)]++;
  }
  if (event->data == nullptr || random.below(8) != 0) return 0;
  if (leakForever && keptCount() >= 16) return 0;
  {
    std::lock_guard lock(keptMutex);
    keptData.push_back(event->data);
  }
  counters.kept++;
  return 1;
}

// On a search thread: results until the wanted number, a refusal or a cancel.
KV_PLUGIN_EXPORT int OnSearch(const EventParms* request) {
  searchesRunning++;
  counters.searchEntries++;
  uint32_t wanted = 0;
  if (request->length >= sizeof wanted) std::memcpy(&wanted, request->data, sizeof wanted);
  Random random(request->requestId ^ pluginId);
  for (uint32_t i = 0; i < wanted && i < 64; ++i) {
    if (i % 4 == 3) {
      EventParms query = makeEventRecord(kTypeCancel, kFlagQuery, address);
      query.requestId = request->requestId;
      if (post(&query) == kPostRefused) break;
    }
    const uint32_t length = i % 3 == 2 ? 0 : kStampSize + random.below(4096);
    const auto payload = stamped(std::max(length, kStampSize), random.next());
    EventParms result = makeEventRecord(kTypeAlarm, kFlagStored, address,
                                        length != 0 ? payload.data() : nullptr, length);
    result.requestId = request->requestId;
    if (post(&result) != kPostAccepted) {
      counters.resultsRefused++;
      break;
    }
    counters.resultsPosted++;
  }
  searchesRunning--;
  return 0;
}

// On the I/O thread: checks the supervisor's packet and answers one in four.
KV_PLUGIN_EXPORT int OnIpcResult(const void* packet, uint32_t length) {
  counters.packetsIn++;
  const auto* bytes = static_cast<const uint8_t*>(packet);
  IpcHeader header{};
  if (!readIpcPacket(packet, length, header) || header.length != length ||
      ipcRoutePluginId(header.route) != pluginId || length < kIpcHeaderSize + kStampSize ||
      !kv::test::stampIntact(bytes + kIpcHeaderSize, length - kIpcHeaderSize)) {
    counters.packetsBad++;
    return 0;
  }
  if (counters.packetsIn % 4 == 0) {
    static Random random(pluginId + 77);  // the I/O thread only
    postPacket(random, 0);
    counters.packetAnswers++;
  }
  return 0;
}
