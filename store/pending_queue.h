// The pending writes and deletes of one store, in order, indexed for reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "store/memory.h"
#include "store/record.h"

namespace kx {

// Pending writes and deletes, oldest first, with an index of the newest
// record of each type and exact name, so a read costs the same however many
// records wait. Owns its records. Not locked itself: the store guards it with
// queue_lock.
class PendingQueue {
 public:
  PendingQueue() = default;
  ~PendingQueue() { clear(); }
  PendingQueue(const PendingQueue&) = delete;
  PendingQueue& operator=(const PendingQueue&) = delete;

  bool empty() const { return records_.empty(); }
  std::size_t size() const { return records_.size(); }
  // Takes the record; false (record destroyed) when the queue cannot grow.
  bool push(RecordPtr record) noexcept;
  KXRECORD& front() { return *records_.front(); }
  void pop_front() noexcept;
  // The newest record of that type whose name equals name exactly, or null.
  const KXRECORD* find_newest(int32_t type, const tchar* name) const noexcept;
  void clear() noexcept;

 private:
  // Open addressing with linear probing; a slot holds the newest pending
  // record of its type and name. Records leave oldest first, so the record
  // an entry names is the last of its kind to leave: the entry goes with it.
  std::size_t slot_for(int32_t type, const tchar* name) const noexcept;
  void erase_slot(std::size_t slot) noexcept;
  bool grow_index() noexcept;

  std::deque<KXRECORD*, Allocator<KXRECORD*>> records_;
  std::vector<KXRECORD*, Allocator<KXRECORD*>> index_;  // size 0 or a power of two
  std::size_t indexed_ = 0;
};

}  // namespace kx
