// A steady stream through the intake and the dispatch loop allocates nothing on the C++ heap once
// the queue's storage has grown: not the queue, not classification, not delivery. Its own program,
// since it counts every operator new of the process; the sanitizers bring allocators of their own,
// so it runs in the plain builds only.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "tests/support/CoreFixture.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KV_COUNTS_ALLOCATIONS 0
#else
#define KV_COUNTS_ALLOCATIONS 1
#endif

namespace {

std::atomic<bool> counting{false};
std::atomic<long> allocations{0};

}  // namespace

#if KV_COUNTS_ALLOCATIONS
// The replacements pair malloc with free themselves; the compiler sees only the calls it inlined.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1);
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
void operator delete(void* memory) noexcept {
  std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
  std::free(memory);
}
#endif

namespace kv::core {
namespace {

constexpr uint32_t kCam = makeAddress(0x30, 1);

class SteadyAllocationTest : public test::CoreTest {
 protected:
  void addReceiver(uint32_t id) {
    auto& hooks = newHooks();
    hooks.load = [id](LoadReply& reply) {
      reply.address = makeAddress(id);
      reply.alarmSub = reply.videoSub = kSubLive;
    };
    hooks.event = [](const EventParms&) { return 0; };
    addHookPlugin("hook_search", hooks, "receiver" + std::to_string(id) + ".so");
  }

  // Video frames (classified by the media gate) and alarms, as cameras post them.
  void postStream(int records) {
    auto frame = record(kTypeVideo, kFlagLive, kCam, payload);
    frame.frameKind = kFrameKindKey;
    auto alarm = record(kTypeAlarm, kFlagLive, kCam, payload);
    counting = true;
    for (int i = 0; i < records; ++i) {
      ASSERT_EQ(postEvent(i % 2 == 0 ? &frame : &alarm), kPostAccepted);
    }
    counting = false;
  }

  void dispatch() {
    core_->requestStop();
    counting = true;
    core_->dispatchLoop();
    counting = false;
    core_->stopRequested = false;
  }

  const std::string payload = std::string(1000, 'p');
};

TEST_F(SteadyAllocationTest, PostingAndDispatchingAStreamAllocatesNothing) {
  if (!KV_COUNTS_ALLOCATIONS) GTEST_SKIP() << "the sanitizers own operator new";
  core_->logLevels[0] = 50;  // no status record: it is formatted once a minute, not per record
  addReceiver(0x41);
  addReceiver(0x42);
  // The first rounds grow the storage of the queue and of the loop's burst, the stream's state in
  // the media gate and the pool; counted from there on.
  postStream(300);
  dispatch();
  postStream(300);
  dispatch();
  allocations = 0;
  for (int round = 0; round < 3; ++round) {
    postStream(300);
    dispatch();
  }
  EXPECT_EQ(allocations.load(), 0);
  EXPECT_EQ(core_->counters.refblkCount.load(), 0u);
}

}  // namespace
}  // namespace kv::core
