// The newest media frames a recorder keeps, by the core's references to their payloads.
//
// A plugin keeps a delivered payload by returning non-zero from OnEvent and gives the reference
// back by posting a "decref" record for it. The ring holds at most `capacity` frames; pushing one
// more pushes out the oldest, and the caller gives that reference back.
//
// Searches read payloads without the owner's lock held, so a search pins the frames it is about to
// post: a pinned frame that leaves the ring (pushed out, or cleared) is not handed back until its
// last pin is removed. Invariant: every payload pushed is handed back for release exactly once, by
// push, unpin or clear, and never while it is pinned.
//
// Thread safety: none; the owner guards every call with its own mutex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace kv::samples {

// One kept frame: the core's payload and what a search result needs to describe it.
struct StoredFrame {
  const void* data = nullptr;  // the delivered payload; unique while the reference is held
  uint32_t length = 0;
  uint32_t type = 0;      // kTypeVideo or kTypeAudio
  uint8_t frameKind = 0;  // the record's frame kind (key frame or not)
};

class FrameRing {
 public:
  // A capacity of 0 is taken as 1.
  explicit FrameRing(size_t capacity) : capacity_(capacity > 0 ? capacity : 1) {}

  // Keeps `frame`, whose reference the caller now lends to the ring. Returns the payload the caller
  // must give back now (the oldest frame, pushed out and not pinned), or null.
  const void* push(const StoredFrame& frame) {
    frames_.push_back(frame);
    if (frames_.size() <= capacity_) return nullptr;
    const void* oldest = frames_.front().data;
    frames_.pop_front();
    return retire(oldest);
  }

  // Pins and returns the newest `max` frames of `type`, oldest first, for a search to post.
  // REQUIRES: each returned frame is unpinned exactly once.
  std::vector<StoredFrame> pin(uint32_t type, size_t max) {
    std::vector<StoredFrame> newest;
    for (auto frame = frames_.rbegin(); frame != frames_.rend() && newest.size() < max; ++frame) {
      if (frame->type == type) newest.push_back(*frame);
    }
    std::vector<StoredFrame> pinned(newest.rbegin(), newest.rend());
    for (const StoredFrame& frame : pinned) ++pins_[frame.data];
    return pinned;
  }

  // Removes one pin of `data`. Returns `data` when that was its last pin and the frame has left the
  // ring meanwhile: the caller gives the reference back now. Returns null otherwise.
  const void* unpin(const void* data) {
    const auto found = pins_.find(data);
    if (found == pins_.end() || --found->second > 0) return nullptr;
    pins_.erase(found);
    return leftWhilePinned_.erase(data) > 0 ? data : nullptr;
  }

  // Drops every frame. Returns the payloads to give back now; pinned ones come back from unpin.
  std::vector<const void*> clear() {
    std::vector<const void*> release;
    for (const StoredFrame& frame : frames_) {
      if (const void* data = retire(frame.data)) release.push_back(data);
    }
    frames_.clear();
    return release;
  }

  size_t size() const { return frames_.size(); }
  size_t capacity() const { return capacity_; }

 private:
  // A frame that left the ring: handed back now, or parked until its pins are gone.
  const void* retire(const void* data) {
    if (pins_.count(data) == 0) return data;
    leftWhilePinned_.insert(data);
    return nullptr;
  }

  size_t capacity_;
  std::deque<StoredFrame> frames_;                   // oldest first
  std::unordered_map<const void*, uint32_t> pins_;   // pinned payloads and their pin counts
  std::unordered_set<const void*> leftWhilePinned_;  // out of the ring, waiting for unpin
};

}  // namespace kv::samples
