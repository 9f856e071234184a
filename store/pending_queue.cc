#include "store/pending_queue.h"

#include <algorithm>
#include <utility>

namespace kx {

namespace {

// A shift and an add per unit (names are short; a multiply per unit was a
// third of a write), then one multiply mixes the bits into the high ones a
// slot is taken from.
uint32_t hash_of(int32_t type, const tchar* name) noexcept {
  uint32_t h = 5381u + static_cast<uint32_t>(type);
  for (; *name; ++name) h = ((h << 5) + h) ^ static_cast<uint32_t>(*name);
  return h * 0x9E3779B1u;
}

bool same_name(const tchar* a, const tchar* b) noexcept {
  while (*a && *a == *b) ++a, ++b;
  return *a == *b;
}

// An emptied queue gives back an index larger than this many slots.
constexpr std::size_t kKeptIndexSlots = 1024;

}  // namespace

std::size_t PendingQueue::slot_for(int32_t type, const tchar* name, uint32_t hash) const noexcept {
  std::size_t mask = index_.size() - 1;
  std::size_t slot = home_of(hash);
  for (; index_[slot]; slot = (slot + 1) & mask) {
    const KXRECORD& r = record_of(index_[slot]);
    if (r.type == type && same_name(r.name, name)) break;
  }
  return slot;
}

void PendingQueue::erase_slot(std::size_t slot) noexcept {
  // Backward shift: later entries of the probe run move up into the hole.
  std::size_t mask = index_.size() - 1;
  index_[slot] = 0;
  --indexed_;
  for (std::size_t next = (slot + 1) & mask; index_[next]; next = (next + 1) & mask) {
    const KXRECORD& r = record_of(index_[next]);
    std::size_t home = home_of(hash_of(r.type, r.name));
    bool home_outside =
        slot <= next ? (home <= slot || home > next) : (home <= slot && home > next);
    if (home_outside) {
      index_[slot] = index_[next];
      index_[next] = 0;
      slot = next;
    }
  }
}

bool PendingQueue::grow_index() noexcept {
  if (index_bits_ >= 32) return false;  // slots come from a 32-bit hash
  std::vector<uint32_t, Allocator<uint32_t>> old;
  try {
    std::vector<uint32_t, Allocator<uint32_t>> bigger(index_.empty() ? 16 : index_.size() * 2, 0);
    old.swap(index_);
    index_.swap(bigger);
  } catch (...) {
    return false;
  }
  index_bits_ = index_bits_ == 0 ? 4 : index_bits_ + 1;
  for (uint32_t seq : old) {
    if (!seq) continue;
    const KXRECORD& r = record_of(seq);
    index_[slot_for(r.type, r.name, hash_of(r.type, r.name))] = seq;
  }
  return true;
}

bool PendingQueue::push(KXRECORD&& record) noexcept {
  // Positions must stay below kLastSeq for sequence numbers to name them.
  if (size_ >= kLastSeq - 1) return false;
  std::size_t slot;
  if (size_ != 0 && index_[last_slot_] == seq_at(size_ - 1) &&
      records_.back().type == record.type && same_name(records_.back().name, record.name)) {
    // The name just written, written again (a counter, a progress value):
    // its slot is known and no entry is added. The slot is checked to still
    // hold the newest record, so the index may have moved meanwhile.
    slot = last_slot_;
  } else {
    if ((indexed_ + 1) * 2 > index_.size() && !grow_index()) return false;
    slot = slot_for(record.type, record.name, hash_of(record.type, record.name));
  }
  try {
    records_.emplace_back(std::move(record));
  } catch (...) {
    return false;  // no effect: record is untouched
  }
  if (!index_[slot]) ++indexed_;
  index_[slot] = seq_at(size_++);
  last_slot_ = slot;
  return true;
}

void PendingQueue::pop_front() noexcept {
  const KXRECORD& oldest = records_.front();
  std::size_t slot = slot_for(oldest.type, oldest.name, hash_of(oldest.type, oldest.name));
  if (index_[slot] == front_seq_) erase_slot(slot);
  // Marked for a drain at process exit, which may find this thread ended
  // anywhere in between; the fences keep the compiler from moving the pop.
  popping_.store(true, std::memory_order_relaxed);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  records_.pop_front();
  --size_;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  popping_.store(false, std::memory_order_relaxed);
  front_seq_ = front_seq_ == kLastSeq ? 1 : front_seq_ + 1;
  if (size_ == 0 && index_.size() > kKeptIndexSlots) {
    std::vector<uint32_t, Allocator<uint32_t>>().swap(index_);
    index_bits_ = 0;
  }
}

const KXRECORD* PendingQueue::find_newest(int32_t type, const tchar* name) const noexcept {
  if (indexed_ == 0) return nullptr;
  uint32_t seq = index_[slot_for(type, name, hash_of(type, name))];
  return seq ? &record_of(seq) : nullptr;
}

void PendingQueue::clear() noexcept {
  // The next record takes the number the first one dropped here had.
  records_.clear();
  size_ = 0;
  std::fill(index_.begin(), index_.end(), 0);
  indexed_ = 0;
}

}  // namespace kx
