#include "bench/driver/Anchors.h"

#include <zmq.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/plugins/BenchReport.h"

namespace kv::bench {
namespace {

// Keeps the compiler from dropping a copy whose result nobody reads.
inline void keep(void* pointer) {
  asm volatile("" : : "r"(pointer) : "memory");
}

// Twice the last-level cache of any machine this runs on, for each of source and destination.
constexpr size_t kColdArena = 128u << 20;

double nanosSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

CopyCost measureCopy(size_t bytes) {
  CopyCost cost;
  {
    std::vector<char> from(std::max<size_t>(bytes, 1), 1);
    std::vector<char> to(std::max<size_t>(bytes, 1), 0);
    // Enough rounds for a few milliseconds even at 256 KiB.
    const size_t rounds = std::max<size_t>(1000, (256u << 20) / std::max<size_t>(bytes, 1));
    const size_t capped = std::min<size_t>(rounds, 2000000);
    const auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < capped; ++i) {
      std::memcpy(to.data(), from.data(), bytes);
      keep(to.data());
    }
    cost.hotNanos = nanosSince(start) / static_cast<double>(capped);
  }
  {
    // Slots one after another through arenas far larger than the caches: each copy reads and
    // writes lines that one pass ago were evicted. Touched first, so page faults stay out.
    const size_t slot = std::max<size_t>((bytes + 63) / 64 * 64, 64);
    const size_t slots = kColdArena / slot;
    std::unique_ptr<char[]> from(new char[kColdArena]);
    std::unique_ptr<char[]> to(new char[kColdArena]);
    std::memset(from.get(), 1, kColdArena);
    std::memset(to.get(), 0, kColdArena);
    const size_t copies = std::min<size_t>(slots, 1000000);
    const auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < copies; ++i) {
      std::memcpy(to.get() + i * slot, from.get() + i * slot, bytes);
      keep(to.get());
    }
    cost.coldNanos = nanosSince(start) / static_cast<double>(copies);
  }
  return cost;
}

RunOutcome runZeroMq(uint32_t payload, uint32_t subscribers, uint32_t count) {
  const auto check = [](bool ok, const char* what) {
    if (!ok)
      throw std::runtime_error(std::string("ZeroMQ: ") + what + ": " + zmq_strerror(zmq_errno()));
  };
  void* context = zmq_ctx_new();
  check(context != nullptr, "context");
  // The same bound as the core's queue (records, and bytes at 32 MiB), split between the two ends
  // of each pipe; at the bound a send is refused and waits.
  const int bound = static_cast<int>(std::min<uint64_t>(
      65536, std::max<uint64_t>(2, (32u << 20) / std::max<uint32_t>(payload, 1))));
  const int half = bound / 2;
  int on = 1;
  // XPUB hands us each subscription, so publishing starts only once every reader is listening.
  void* publisher = zmq_socket(context, ZMQ_XPUB);
  check(publisher != nullptr, "socket");
  check(zmq_setsockopt(publisher, ZMQ_SNDHWM, &half, sizeof half) == 0, "SNDHWM");
  check(zmq_setsockopt(publisher, ZMQ_XPUB_VERBOSE, &on, sizeof on) == 0, "XPUB_VERBOSE");
  check(zmq_setsockopt(publisher, ZMQ_XPUB_NODROP, &on, sizeof on) == 0, "XPUB_NODROP");
  // A send that waits longer than a reader's patience gives up: the run then fails as short.
  const int sendPatience = 30000;
  check(zmq_setsockopt(publisher, ZMQ_SNDTIMEO, &sendPatience, sizeof sendPatience) == 0,
        "SNDTIMEO");
  check(zmq_bind(publisher, "inproc://korva-bench") == 0, "bind");

  std::vector<ConsumerReport> reports(subscribers);
  std::vector<std::thread> readers;
  for (uint32_t i = 0; i < subscribers; ++i) {
    readers.emplace_back([&, i] {
      ConsumerReport& report = reports[i];
      report.id = kFirstConsumerId + i;
      report.ordered = true;
      report.payloadOk = true;
      void* socket = zmq_socket(context, ZMQ_SUB);
      zmq_setsockopt(socket, ZMQ_RCVHWM, &half, sizeof half);
      // A reader that hears nothing for this long gives up and reports what it got.
      const int patience = 30000;
      zmq_setsockopt(socket, ZMQ_RCVTIMEO, &patience, sizeof patience);
      zmq_connect(socket, "inproc://korva-bench");
      zmq_setsockopt(socket, ZMQ_SUBSCRIBE, "", 0);
      // Each message is read where ZeroMQ holds it, as the core's consumers read the shared
      // block: a reader that copied it out would pay a second copy the core never makes.
      zmq_msg_t message;
      zmq_msg_init(&message);
      for (uint64_t sequence = 0; sequence < count; ++sequence) {
        const int size = zmq_msg_recv(&message, socket, 0);
        if (size < 0) break;
        if (sequence == 0) report.first = nowNanos();
        if (size != static_cast<int>(payload)) report.payloadOk = false;
        uint64_t got = sequence;
        if (size >= 8) std::memcpy(&got, zmq_msg_data(&message), sizeof got);
        if (got != sequence && report.ordered) {
          report.ordered = false;
          report.badAt = got;
        }
        ++report.received;
      }
      zmq_msg_close(&message);
      report.last = nowNanos();
      report.expected = count;
      zmq_close(socket);
    });
  }
  for (uint32_t i = 0; i < subscribers; ++i) {
    char subscription[8];
    check(zmq_recv(publisher, subscription, sizeof subscription, 0) >= 1, "subscription");
  }

  std::vector<char> message(std::max<uint32_t>(payload, 1), 0x5A);
  ProducerReport producer;
  producer.first = nowNanos();
  for (uint64_t sequence = 0; sequence < count; ++sequence) {
    if (payload >= 8) std::memcpy(message.data(), &sequence, sizeof sequence);
    // zmq_send copies the payload once into a message of its own (the same as
    // zmq_msg_init_size and a memcpy, in one call), as the core's intake copies it once into a
    // reference block; the SUB sockets then share that message. A full pipe is counted as a
    // refusal and then waited out the way ZeroMQ means it to be with NODROP: a blocking send,
    // woken when a reader has made room.
    bool sent = zmq_send(publisher, message.data(), payload, ZMQ_DONTWAIT) >= 0;
    if (!sent && zmq_errno() == EAGAIN) {
      ++producer.refused;
      sent = zmq_send(publisher, message.data(), payload, 0) >= 0;
    }
    if (!sent) break;
    ++producer.posted;
  }
  producer.last = nowNanos();
  for (auto& reader : readers) reader.join();
  zmq_close(publisher);
  zmq_ctx_term(context);
  return judgeRun(producer, reports, count, subscribers);
}

}  // namespace kv::bench
