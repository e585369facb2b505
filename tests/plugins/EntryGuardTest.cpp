// The SDK's entry guard and load-record check, as a plugin uses them.
#include "plugins/EntryGuard.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <stdexcept>

namespace kv::core {
namespace {

TEST(EntryGuardTest, AnExceptionBecomesTheErrorResultAndAResultPassesThrough) {
  EXPECT_EQ(guardEntry([] { return 7; }, 1), 7);
  EXPECT_EQ(guardEntry([]() -> int { throw std::runtime_error("no"); }, 1), 1);
  EXPECT_EQ(guardEntry([]() -> int { throw 42; }, -3), -3);
}

// A worker cancelled while inside a guarded entry must unwind out of it: swallowing the
// cancellation makes the C library abort the whole process.
// The cancelled body keeps no locals of its own: AddressSanitizer's runtime (GCC 12) trips over
// the poisoned guards of a local in a frame that a forced unwind leaves.
TEST(EntryGuardTest, ACancelledThreadUnwindsThroughTheGuard) {
  pthread_t thread;
  auto body = [](void*) -> void* {
    guardEntry(
        [] {
          for (;;) pause();  // a cancellation point that never returns
          return 0;
        },
        1);
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, nullptr, body, nullptr), 0);
  ASSERT_EQ(pthread_cancel(thread), 0);
  void* result = nullptr;
  ASSERT_EQ(pthread_join(thread, &result), 0);
  EXPECT_EQ(result, PTHREAD_CANCELED);
}

TEST(EntryGuardTest, LoadRecordsShorterOrOlderThanThePluginsAreRefused) {
  LoadRequest request{};
  request.size = sizeof request;
  request.version = kLoadRequestVersion;
  LoadReply reply{};
  reply.size = sizeof reply;
  reply.version = kLoadReplyVersion;
  EXPECT_TRUE(loadRecordsFit(&request, &reply));

  LoadRequest shortRequest = request;
  shortRequest.size = sizeof request - 4;
  EXPECT_FALSE(loadRecordsFit(&shortRequest, &reply));
  LoadRequest oldRequest = request;
  oldRequest.version = kLoadRequestVersion - 1;
  EXPECT_FALSE(loadRecordsFit(&oldRequest, &reply));
  LoadReply shortReply = reply;
  shortReply.size = 12;
  EXPECT_FALSE(loadRecordsFit(&request, &shortReply));
  EXPECT_FALSE(loadRecordsFit(nullptr, &reply));
  EXPECT_FALSE(loadRecordsFit(&request, nullptr));
}

}  // namespace
}  // namespace kv::core
