#include "store/pending_queue.h"

#include <algorithm>
#include <utility>

namespace kx {

namespace {

uint32_t hash_of(int32_t type, const tchar* name) noexcept {
  uint32_t h = 2166136261u ^ static_cast<uint32_t>(type);  // FNV-1a
  for (; *name; ++name) h = (h ^ static_cast<uint32_t>(*name)) * 16777619u;
  return h;
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
  std::size_t slot = hash & mask;
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
    std::size_t home = hash_of(r.type, r.name) & mask;
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
  std::vector<uint32_t, Allocator<uint32_t>> old;
  try {
    std::vector<uint32_t, Allocator<uint32_t>> bigger(index_.empty() ? 16 : index_.size() * 2, 0);
    old.swap(index_);
    index_.swap(bigger);
  } catch (...) {
    return false;
  }
  for (uint32_t seq : old) {
    if (!seq) continue;
    const KXRECORD& r = record_of(seq);
    index_[slot_for(r.type, r.name, hash_of(r.type, r.name))] = seq;
  }
  return true;
}

bool PendingQueue::push(KXRECORD&& record) noexcept {
  // Positions must stay below kLastSeq for sequence numbers to name them.
  if (records_.size() >= kLastSeq - 1) return false;
  if ((indexed_ + 1) * 2 > index_.size() && !grow_index()) return false;
  uint32_t hash = hash_of(record.type, record.name);
  std::size_t slot = slot_for(record.type, record.name, hash);
  try {
    records_.emplace_back(std::move(record));
  } catch (...) {
    return false;  // no effect: record is untouched
  }
  // The new record's number: front_seq_ advanced by its position, round the range.
  uint32_t position = static_cast<uint32_t>(records_.size() - 1);
  uint32_t seq = position <= kLastSeq - front_seq_ ? front_seq_ + position
                                                   : position - (kLastSeq - front_seq_);
  if (!index_[slot]) ++indexed_;
  index_[slot] = seq;
  return true;
}

void PendingQueue::pop_front() noexcept {
  const KXRECORD& oldest = records_.front();
  std::size_t slot = slot_for(oldest.type, oldest.name, hash_of(oldest.type, oldest.name));
  if (index_[slot] == front_seq_) erase_slot(slot);
  records_.pop_front();
  front_seq_ = front_seq_ == kLastSeq ? 1 : front_seq_ + 1;
  if (records_.empty() && index_.size() > kKeptIndexSlots) {
    std::vector<uint32_t, Allocator<uint32_t>>().swap(index_);
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
  std::fill(index_.begin(), index_.end(), 0);
  indexed_ = 0;
}

}  // namespace kx
