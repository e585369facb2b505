// A test plugin that misbehaves as told, for runs of the real korvacore beside well-behaved
// copies of itself (the witnesses).
//
// Build variants: KV_HOSTILE_UNRESOLVED (needs a symbol nobody defines, so it can't be loaded),
// KV_HOSTILE_NO_UNLOAD and KV_HOSTILE_NO_CLOSE (an entry point missing).
//
// "<its path>.conf" holds key=value lines: address=N, load=N (what Load returns) and mode=:
//   witness     subscribes to alarms and serial data. A supervisor packet whose payload starts
//               with "ping" is posted as an alarm; every "ping" alarm it receives is answered to
//               the supervisor as "<id> <first word> <length>". Records from plugin 0x51 are
//               journalled as "saw ..."; serial records counted and journalled at Close.
//   keeper      keeps every event it receives and gives nothing back.
//   double      keeps one alarm at a time; the packet "release" gives it back twice, then gives
//               back a payload it never held, and journals the three answers. Close gives back
//               what it still holds.
//   odd         posts every row of OddRecords.h at Open and journals the answers.
//   posters     four threads post from Load to Unload, through the start and the stop.
//   slow        takes sleepMs (default 10) over every "ping" alarm.
//   slowworker  asks for a worker thread that returns 300 ms after Close.
//   cancelled   at Open, threads posting log lines are cancelled inside the post, five times.
// Every plugin journals "<file name> <entry>" for Load, Open, Close and Unload to "journal.txt" in
// the directory above its own.
#include <dlfcn.h>
#include <pthread.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "plugins/IpcPacket.h"
#include "plugins/PluginEntry.h"
#include "tests/support/OddRecords.h"

using namespace kv::core;

#ifdef KV_HOSTILE_UNRESOLVED
extern "C" int kvHostileMissingSymbol();
#endif

namespace {

std::string ownPath() {
  Dl_info info{};
  dladdr(reinterpret_cast<void*>(&Load), &info);
  return info.dli_fname != nullptr ? info.dli_fname : "";
}

std::string fileName() {
  const std::string path = ownPath();
  return path.substr(path.rfind('/') + 1);
}

void journal(const std::string& entry) {
  const std::string path = ownPath();
  const std::string dir = path.substr(0, path.rfind('/'));
  const std::string journalPath = dir.substr(0, dir.rfind('/')) + "/journal.txt";
  if (FILE* file = std::fopen(journalPath.c_str(), "a")) {
    std::fprintf(file, "%s %s\n", fileName().c_str(), entry.c_str());
    std::fclose(file);
  }
}

struct Config {
  std::string mode;
  uint32_t address = makeAddress(0x50);
  int load = 0;
  int sleepMs = 10;
};

Config readConfig() {
  Config config;
  std::ifstream conf(ownPath() + ".conf");
  for (std::string line; std::getline(conf, line);) {
    const auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = line.substr(0, eq);
    const std::string value = line.substr(eq + 1);
    if (key == "mode") config.mode = value;
    if (key == "address") {
      config.address = static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 0));
    }
    if (key == "load") config.load = static_cast<int>(std::strtol(value.c_str(), nullptr, 0));
    if (key == "sleepMs") config.sleepMs = static_cast<int>(std::strtol(value.c_str(), nullptr, 0));
  }
  return config;
}

Config config;
PostEventFn post = nullptr;

// Close, for the threads that wait for it.
std::mutex closedMutex;
std::condition_variable closedCond;
bool closed = false;

void waitUntilClosed() {
  std::unique_lock lock(closedMutex);
  closedCond.wait(lock, [] { return closed; });
}

bool startsWith(const void* data, uint32_t length, const char* prefix) {
  const size_t n = std::strlen(prefix);
  return data != nullptr && length >= n && std::memcmp(data, prefix, n) == 0;
}

// --- witness ---------------------------------------------------------------------------------

std::atomic<uint64_t> serialSeen{0};

void answerPing(const EventParms& alarm) {
  const auto* text = static_cast<const char*>(alarm.data);
  size_t word = 0;
  while (word < alarm.length && word < 32 && text[word] != ' ' && text[word] != '\0') ++word;
  char line[80];
  const int n = std::snprintf(line, sizeof line, "%02x %.*s %u", addressSlot(config.address),
                              static_cast<int>(word), text, alarm.length);
  std::vector<uint8_t> packet(kIpcHeaderSize + static_cast<size_t>(n));
  writeIpcHeader(packet.data(), {static_cast<uint32_t>(packet.size()),
                                 ipcRoute(addressSlot(config.address)), 0x100, 0});
  std::memcpy(packet.data() + kIpcHeaderSize, line, static_cast<size_t>(n));
  EventParms ipc = makeEventRecord(kTypeIpc, 0, config.address, packet.data(), packet.size());
  post(&ipc);
}

int witnessEvent(const EventParms* event) {
  if (addressSlot(event->source) == 0x51) {
    journal("saw type=" + std::to_string(event->type) + " size=" + std::to_string(event->size) +
            " parms=" + std::to_string(event->parmsSize) +
            " length=" + std::to_string(event->length));
  }
  if (maskedType(event->type) == kTypeSerial) serialSeen.fetch_add(1);
  if (event->type == kTypeAlarm && startsWith(event->data, event->length, "ping")) {
    answerPing(*event);
  }
  return 0;
}

void witnessPacket(const void* packet, uint32_t length) {
  if (length < kIpcHeaderSize) return;
  const auto* payload = static_cast<const uint8_t*>(packet) + kIpcHeaderSize;
  if (!startsWith(payload, length - kIpcHeaderSize, "ping")) return;
  EventParms alarm =
      makeEventRecord(kTypeAlarm, kFlagLive, config.address, payload, length - kIpcHeaderSize);
  post(&alarm);
}

// --- keeper ----------------------------------------------------------------------------------

// Plain storage in a library that pins itself: what it keeps stays reachable to a leak checker
// after the core has closed the library, so only the core's own leaks are reported.
std::array<const void*, 4096> kept{};
std::atomic<size_t> keptCount{0};

void pinLibrary() {
  dlopen(ownPath().c_str(), RTLD_NOW | RTLD_NODELETE | RTLD_NOLOAD);
}

// --- double ----------------------------------------------------------------------------------

std::atomic<void*> held{nullptr};
kv::test::OddScratch doubleScratch;

int doubleEvent(const EventParms* event) {
  if (event->type != kTypeAlarm || event->data == nullptr) return 0;
  void* expected = nullptr;
  return held.compare_exchange_strong(expected, event->data) ? 1 : 0;
}

int decref(void* data) {
  EventParms record = makeEventRecord(kTypeDecref, 0, config.address, data);
  return post(&record);
}

void doublePacket(const void* packet, uint32_t length) {
  const auto* payload = static_cast<const uint8_t*>(packet) + kIpcHeaderSize;
  if (length < kIpcHeaderSize || !startsWith(payload, length - kIpcHeaderSize, "release")) return;
  void* data = held.exchange(nullptr);
  if (data == nullptr) {
    journal("release: nothing held");
    return;
  }
  const int first = decref(data);
  const int second = decref(data);
  const int stray = decref(doubleScratch.fakeBlock.payload);
  journal("release " + std::to_string(first) + " " + std::to_string(second) + " " +
          std::to_string(stray));
}

// --- odd -------------------------------------------------------------------------------------

kv::test::OddScratch oddScratch;

void postOddRecords() {
  for (const auto& row : kv::test::kOddRecords) {
    EventParms record = oddBase(oddScratch, config.address);
    row.shape(record, oddScratch, config.address);
    journal(std::string("answer ") + row.name + " = " + std::to_string(post(&record)));
  }
}

// --- posters ---------------------------------------------------------------------------------

constexpr int kPosters = 4;
std::vector<std::thread> posters;
std::atomic<bool> postersStop{false};
std::atomic<uint64_t> postsAccepted{0};
std::atomic<uint64_t> postsRefused{0};
std::atomic<int> refusedAfterClose{0};

void postNoise(int thread) {
  const std::string noise = "noise " + std::to_string(thread);
  bool sawRefusal = false;
  while (!postersStop.load()) {
    EventParms serial =
        makeEventRecord(kTypeSerial, kFlagLive, config.address, noise.data(), noise.size());
    const bool refused = post(&serial) != 0;
    (refused ? postsRefused : postsAccepted).fetch_add(1);
    bool isClosed;
    {
      std::lock_guard lock(closedMutex);
      isClosed = closed;
    }
    if (refused && isClosed && !sawRefusal) {
      sawRefusal = true;
      refusedAfterClose.fetch_add(1);
    }
    EventParms query = makeEventRecord(kTypeLog, kFlagQuery, config.address);
    post(&query);
    EventParms quiet = makeEventRecord(kTypeLog, kFlagLive | kFlagLogWrite, config.address,
                                       noise.data(), noise.size());
    quiet.level = 0;  // below the default level: filtered at the intake
    post(&quiet);
    EventParms nothing = makeEventRecord(kTypeDecref, 0, config.address);
    post(&nothing);
    EventParms cancelled = makeEventRecord(kTypeCancel, kFlagQuery, config.address);
    cancelled.requestId = makeAddress(0x52, static_cast<uint32_t>(thread));
    post(&cancelled);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

[[maybe_unused]] void stopPosters() {
  // Each thread goes on until it has been refused once the core is closing, so that every run
  // posts into the stop; bounded, should the core never refuse.
  for (int i = 0; i < 500 && refusedAfterClose.load() < kPosters; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  postersStop.store(true);
  for (auto& thread : posters) thread.join();
  posters.clear();
  journal("posters accepted=" + std::to_string(postsAccepted.load() > 0) +
          " refused=" + std::to_string(postsRefused.load() > 0) +
          " refusedAfterClose=" + std::to_string(refusedAfterClose.load()));
}

// --- cancelled -------------------------------------------------------------------------------

struct CancelledPoster {
  std::atomic<bool> posting{false};
  uint32_t address = 0;
};

void* postUntilCancelled(void* arg) {
  auto* poster = static_cast<CancelledPoster*>(arg);
  static const char text[] = "cancel me";
  for (;;) {
    EventParms log = makeEventRecord(kTypeLog, kFlagLive | kFlagLogWrite, poster->address, text,
                                     sizeof text - 1);
    log.level = 50;
    post(&log);  // writing the line is a cancellation point
    poster->posting.store(true);
  }
  return nullptr;
}

void cancelPosters() {
  int cancelledCount = 0;
  for (int round = 0; round < 5; ++round) {
    CancelledPoster poster;
    poster.address = config.address;
    pthread_t thread;
    if (pthread_create(&thread, nullptr, postUntilCancelled, &poster) != 0) break;
    while (!poster.posting.load()) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::microseconds(300 * round));
    pthread_cancel(thread);
    void* result = nullptr;
    pthread_join(thread, &result);
    if (result == PTHREAD_CANCELED) ++cancelledCount;
  }
  journal("cancelled " + std::to_string(cancelledCount) + " of 5");
}

}  // namespace

KV_PLUGIN_EXPORT int Load(const LoadRequest* request, LoadReply* reply) {
#ifdef KV_HOSTILE_UNRESOLVED
  if (request == nullptr) return kvHostileMissingSymbol();
#endif
  config = readConfig();
  post = request->postEvent;
  journal("Load");
  reply->address = config.address;
  if (config.mode == "witness") {
    reply->alarmSub = kSubLive;
    reply->serialSub = kSubLive;
  }
  if (config.mode == "keeper" || config.mode == "double" || config.mode == "slow") {
    reply->alarmSub = kSubLive;
  }
  if (config.mode == "keeper") pinLibrary();
  if (config.mode == "slowworker") reply->provideWorkerThread = 1;
  if (config.mode == "posters") {
    postersStop.store(false);
    for (int i = 0; i < kPosters; ++i) posters.emplace_back(postNoise, i);
  }
  return config.load;
}

#ifndef KV_HOSTILE_NO_UNLOAD
KV_PLUGIN_EXPORT int Unload(const UnloadRequest*, UnloadReply*) {
  if (config.mode == "posters") stopPosters();
  if (config.mode == "keeper") journal("kept " + std::to_string(keptCount.load() > 0));
  journal("Unload");
  return 0;
}
#endif

KV_PLUGIN_EXPORT int Open(const OpenRequest*, OpenReply*) {
  journal("Open");
  if (config.mode == "odd") postOddRecords();
  if (config.mode == "cancelled") cancelPosters();
  return 0;
}

#ifndef KV_HOSTILE_NO_CLOSE
KV_PLUGIN_EXPORT int Close(const CloseRequest*, CloseReply*) {
  journal("Close");
  if (config.mode == "witness") journal("serial " + std::to_string(serialSeen.load() > 0));
  // Gives back, once, what it still holds: only the keeper leaves references behind.
  if (config.mode == "double") {
    if (void* data = held.exchange(nullptr)) decref(data);
  }
  {
    std::lock_guard lock(closedMutex);
    closed = true;
  }
  closedCond.notify_all();
  return 0;
}
#endif

KV_PLUGIN_EXPORT int OnEvent(const EventParms* event) {
  if (config.mode == "witness") return witnessEvent(event);
  if (config.mode == "keeper") {
    const size_t slot = keptCount.fetch_add(1);
    if (slot < kept.size()) kept[slot] = event->data;
    return 1;
  }
  if (config.mode == "double") return doubleEvent(event);
  if (config.mode == "odd" && event->type == kTypeWatchdog) journal("watchdog came back");
  if (config.mode == "slow" && startsWith(event->data, event->length, "ping")) {
    std::this_thread::sleep_for(std::chrono::milliseconds(config.sleepMs));
  }
  return 0;
}

KV_PLUGIN_EXPORT int OnIpcResult(const void* packet, uint32_t length) {
  if (config.mode == "witness") witnessPacket(packet, length);
  if (config.mode == "double") doublePacket(packet, length);
  return 0;
}

KV_PLUGIN_EXPORT int IOCTL(const IoctlRequest* request, IoctlReply*) {
  if (request->code == kIoctlRunWorker && config.mode == "slowworker") {
    waitUntilClosed();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    journal("worker returns");
  }
  return 0;
}
