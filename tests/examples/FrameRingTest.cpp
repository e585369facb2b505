// The recorder's ring of kept frame references, and the walk of a search over its results.
#include "examples/common/FrameRing.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "events/EventParms.h"
#include "examples/common/SearchWalk.h"

namespace kv::samples {
namespace {

using kv::core::kTypeAudio;
using kv::core::kTypeVideo;

// Stands in for the core's payload blocks: hands out distinct addresses and counts how often each
// is given back.
class Payloads {
 public:
  StoredFrame frame(int i, uint32_t type = kTypeVideo) {
    return {&bytes_[i], static_cast<uint32_t>(i + 1), type, 0};
  }
  void giveBack(const void* data) {
    if (data != nullptr) ++released_[static_cast<const char*>(data) - bytes_];
  }
  void giveBack(const std::vector<const void*>& all) {
    for (const void* data : all) giveBack(data);
  }
  // Which payloads were given back, with counts: "0x1 3x1" ...
  std::string released() const {
    std::string text;
    for (const auto& [i, n] : released_) text += std::to_string(i) + "x" + std::to_string(n) + " ";
    return text;
  }

 private:
  char bytes_[64] = {};
  std::map<long, int> released_;
};

std::vector<int> indices(const std::vector<StoredFrame>& frames) {
  std::vector<int> out;
  for (const StoredFrame& frame : frames) out.push_back(static_cast<int>(frame.length) - 1);
  return out;
}

TEST(FrameRingTest, KeepsTheNewestAndGivesBackEachOldestOnce) {
  Payloads payloads;
  FrameRing ring(3);
  for (int i = 0; i < 7; ++i) payloads.giveBack(ring.push(payloads.frame(i)));
  EXPECT_EQ(payloads.released(), "0x1 1x1 2x1 3x1 ");
  EXPECT_EQ(ring.size(), 3u);

  const auto kept = ring.pin(kTypeVideo, 10);
  EXPECT_EQ(indices(kept), (std::vector<int>{4, 5, 6}));
  for (const StoredFrame& frame : kept) payloads.giveBack(ring.unpin(frame.data));

  payloads.giveBack(ring.clear());
  EXPECT_EQ(payloads.released(), "0x1 1x1 2x1 3x1 4x1 5x1 6x1 ");
  EXPECT_EQ(ring.size(), 0u);
  EXPECT_TRUE(ring.clear().empty());
}

TEST(FrameRingTest, PinSelectsTheNewestOfOneTypeOldestFirst) {
  Payloads payloads;
  FrameRing ring(10);
  for (int i = 0; i < 8; ++i) ring.push(payloads.frame(i, i % 2 == 0 ? kTypeVideo : kTypeAudio));
  EXPECT_EQ(indices(ring.pin(kTypeVideo, 3)), (std::vector<int>{2, 4, 6}));
  EXPECT_EQ(indices(ring.pin(kTypeAudio, 10)), (std::vector<int>{1, 3, 5, 7}));
  EXPECT_TRUE(ring.pin(kv::core::kTypeAlarm, 10).empty());
}

TEST(FrameRingTest, APinnedFrameIsGivenBackOnlyAfterItsLastPin) {
  Payloads payloads;
  FrameRing ring(2);
  ring.push(payloads.frame(0));
  ring.push(payloads.frame(1));
  const auto first = ring.pin(kTypeVideo, 2);
  const auto second = ring.pin(kTypeVideo, 1);  // frame 1 only

  payloads.giveBack(ring.push(payloads.frame(2)));  // pushes out pinned frame 0
  payloads.giveBack(ring.clear());                  // frame 2 now; frame 1 is pinned twice
  EXPECT_EQ(payloads.released(), "2x1 ");

  for (const StoredFrame& frame : first) payloads.giveBack(ring.unpin(frame.data));
  EXPECT_EQ(payloads.released(), "0x1 2x1 ");
  payloads.giveBack(ring.unpin(second[0].data));
  EXPECT_EQ(payloads.released(), "0x1 1x1 2x1 ");
  EXPECT_EQ(ring.unpin(second[0].data), nullptr);  // no pin left to remove
}

TEST(SearchWalkTest, StopsAtTheFirstRefusalOrWhenCancelled) {
  const struct {
    const char* name;
    std::vector<int> results;  // what the core answers each post
    int cancelAfter;           // posts after which the cancel query says yes; -1: never
    size_t accepted;
    size_t posts;
  } cases[] = {
      {"all accepted", {0, 0, 0, 0}, -1, 4, 4},     {"refused third", {0, 0, 1, 0}, -1, 2, 3},
      {"refused first", {1, 0, 0, 0}, -1, 0, 1},    {"cancelled after two", {0, 0, 0, 0}, 2, 2, 2},
      {"cancelled at once", {0, 0, 0, 0}, 0, 0, 0},
  };
  for (const auto& c : cases) {
    size_t posts = 0;
    const size_t accepted = walkResults(
        c.results.size(), [&](size_t i) { return ++posts, c.results[i]; },
        [&] { return c.cancelAfter >= 0 && posts >= static_cast<size_t>(c.cancelAfter); });
    EXPECT_EQ(accepted, c.accepted) << c.name;
    EXPECT_EQ(posts, c.posts) << c.name;
  }
}

TEST(SearchWalkTest, QueryLimit) {
  EXPECT_EQ(maxResults("max=100", 500), 100u);
  EXPECT_EQ(maxResults("video max=7 newest", 500), 7u);
  EXPECT_EQ(maxResults("max=0", 500), 0u);
  EXPECT_EQ(maxResults("everything", 500), 500u);
  EXPECT_EQ(maxResults("max=", 500), 500u);
  EXPECT_EQ(maxResults("max=99999999999999999999999", 500), 500u);  // no overflow
}

}  // namespace
}  // namespace kv::samples
