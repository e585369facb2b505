// RecordRing: the storage of the event queue, a circular buffer of records that grows by doubling
// and hands its storage back on request. A deque of 184-byte records allocates and frees a node
// every few records; the ring allocates only when it outgrows its capacity, so posting and
// dispatching stay clear of the allocator in a steady stream.
//
// Core-internal and not synchronised: EventQueue guards it with `queueMutex`.
#pragma once

#include <cstddef>
#include <iterator>
#include <memory>

#include "events/EventParms.h"

namespace kv::core {

class RecordRing {
 public:
  static constexpr size_t kInitialCapacity = 64;

  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = EventParms;
    using difference_type = std::ptrdiff_t;
    using pointer = const EventParms*;
    using reference = const EventParms&;

    const_iterator() = default;
    reference operator*() const { return ring_->at(index_); }
    pointer operator->() const { return &ring_->at(index_); }
    const_iterator& operator++() {
      ++index_;
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator before = *this;
      ++index_;
      return before;
    }
    bool operator==(const const_iterator& other) const { return index_ == other.index_; }
    bool operator!=(const const_iterator& other) const { return index_ != other.index_; }

   private:
    friend class RecordRing;
    const_iterator(const RecordRing* ring, size_t index) : ring_(ring), index_(index) {}
    const RecordRing* ring_ = nullptr;
    size_t index_ = 0;  // from the front
  };

  bool empty() const { return size_ == 0; }
  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  const EventParms& front() const { return at(0); }
  const EventParms& back() const { return at(size_ - 1); }
  const_iterator begin() const { return {this, 0}; }
  const_iterator end() const { return {this, size_}; }

  // Appends a copy of `record`; throws std::bad_alloc when the ring must grow and can't, leaving
  // it as it was.
  void push_back(const EventParms& record) {
    if (size_ == capacity_) grow();
    slots_[(head_ + size_) & (capacity_ - 1)] = record;
    ++size_;
  }
  // REQUIRES: not empty.
  void pop_front() {
    head_ = (head_ + 1) & (capacity_ - 1);
    --size_;
  }
  // Empties the ring and keeps its storage.
  void clear() {
    head_ = 0;
    size_ = 0;
  }
  // Frees the storage of an empty ring grown past its first size: a burst must not keep the
  // queue's high-water mark in memory. Does nothing while records are queued.
  void shrink() {
    if (size_ != 0 || capacity_ <= kInitialCapacity) return;
    slots_.reset();
    capacity_ = 0;
    head_ = 0;
  }
  void swap(RecordRing& other) noexcept {
    slots_.swap(other.slots_);
    std::swap(capacity_, other.capacity_);
    std::swap(head_, other.head_);
    std::swap(size_, other.size_);
  }

 private:
  const EventParms& at(size_t index) const { return slots_[(head_ + index) & (capacity_ - 1)]; }

  void grow() {
    const size_t bigger = capacity_ == 0 ? kInitialCapacity : capacity_ * 2;
    auto slots = std::make_unique_for_overwrite<EventParms[]>(bigger);
    for (size_t i = 0; i < size_; ++i) slots[i] = at(i);
    slots_ = std::move(slots);
    capacity_ = bigger;
    head_ = 0;
  }

  std::unique_ptr<EventParms[]> slots_;
  size_t capacity_ = 0;  // 0 or a power of two
  size_t head_ = 0;      // index of the front record in `slots_`
  size_t size_ = 0;
};

}  // namespace kv::core
