// The pending writes and deletes of one store, in order, indexed for reads.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "store/memory.h"
#include "store/record.h"

namespace kx {

// Pending writes and deletes, oldest first, with an index of the newest
// record of each type and exact name, so a read costs the same however many
// records wait. Records are held by value; the index names them by sequence
// number, 4 bytes a slot. Not locked itself: the store guards it with
// queue_lock.
class PendingQueue {
 public:
  // Sequence numbers run from 1 to kLastSeq and round again to 1; 0 marks a
  // free index slot. first_seq is the number of the first record (tests start
  // near the end of the range).
  static constexpr uint32_t kLastSeq = 0xFFFFFFFFu;
  explicit PendingQueue(uint32_t first_seq = 1) noexcept : front_seq_(first_seq) {}
  ~PendingQueue() = default;
  PendingQueue(const PendingQueue&) = delete;
  PendingQueue& operator=(const PendingQueue&) = delete;

  bool empty() const { return size_ == 0; }
  std::size_t size() const { return size_; }
  // Takes a complete record's contents. False when the queue cannot grow:
  // then nothing changed and record still holds its contents.
  bool push(KXRECORD&& record) noexcept;
  KXRECORD& front() { return records_.front(); }
  const KXRECORD& back() const { return records_.back(); }
  // The record at position from the front. Its address holds while records
  // are pushed, until it leaves the queue.
  KXRECORD& at(std::size_t position) { return records_[position]; }
  void pop_front() noexcept;
  // The newest record of that type whose name equals name exactly, or null.
  const KXRECORD* find_newest(int32_t type, const tchar* name) const noexcept;
  void clear() noexcept;
  // Process exit, every other thread ended wherever it was: each record left,
  // oldest first, without changing anything. A record that was leaving was
  // performed already; one that was arriving had not been accepted yet.
  template <class F>
  void for_each_left(F f) const noexcept {
    std::size_t have = std::min(records_.size(), size_);
    std::size_t first = popping_.load() && records_.size() == size_ ? 1 : 0;
    for (std::size_t i = first; i < have; ++i) f(records_[i]);
  }

 private:
  // Open addressing with linear probing, at most half full; a slot holds the
  // sequence number of the newest pending record of its type and name.
  // Records leave oldest first, so the record an entry names is the last of
  // its kind to leave: the entry goes with it.
  std::size_t slot_for(int32_t type, const tchar* name, uint32_t hash) const noexcept;
  void erase_slot(std::size_t slot) noexcept;
  bool grow_index() noexcept;
  std::size_t home_of(uint32_t hash) const noexcept {
    return hash >> (32 - index_bits_);  // the hash's high bits: they are the mixed ones
  }
  // The number of the record at position: front_seq_ advanced, round the range.
  uint32_t seq_at(std::size_t position) const noexcept {
    auto p = static_cast<uint32_t>(position);
    return p <= kLastSeq - front_seq_ ? front_seq_ + p : p - (kLastSeq - front_seq_);
  }
  const KXRECORD& record_of(uint32_t seq) const noexcept {
    return records_[seq >= front_seq_ ? seq - front_seq_ : seq + (kLastSeq - front_seq_)];
  }

  std::deque<KXRECORD, Allocator<KXRECORD>> records_;
  std::vector<uint32_t, Allocator<uint32_t>> index_;  // size 0 or a power of two
  std::size_t size_ = 0;  // records_.size(), which std::deque computes with divisions
  std::size_t indexed_ = 0;
  int index_bits_ = 0;                // index_.size() == 1 << index_bits_
  std::size_t last_slot_ = 0;         // the slot the last push filled
  uint32_t front_seq_;                // the number of records_.front(), or of the next record
  std::atomic<bool> popping_{false};  // records_.front() may be half destroyed
};

}  // namespace kx
