#include "store/pending_queue.h"

#include <algorithm>

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

}  // namespace

std::size_t PendingQueue::slot_for(int32_t type, const tchar* name) const noexcept {
  std::size_t mask = index_.size() - 1;
  std::size_t slot = hash_of(type, name) & mask;
  while (index_[slot] && !(index_[slot]->type == type && same_name(index_[slot]->name, name))) {
    slot = (slot + 1) & mask;
  }
  return slot;
}

void PendingQueue::erase_slot(std::size_t slot) noexcept {
  // Backward shift: later entries of the probe run move up into the hole.
  std::size_t mask = index_.size() - 1;
  index_[slot] = nullptr;
  --indexed_;
  for (std::size_t next = (slot + 1) & mask; index_[next]; next = (next + 1) & mask) {
    std::size_t home = hash_of(index_[next]->type, index_[next]->name) & mask;
    bool home_outside =
        slot <= next ? (home <= slot || home > next) : (home <= slot && home > next);
    if (home_outside) {
      index_[slot] = index_[next];
      index_[next] = nullptr;
      slot = next;
    }
  }
}

bool PendingQueue::grow_index() noexcept {
  std::vector<KXRECORD*, Allocator<KXRECORD*>> old;
  try {
    std::vector<KXRECORD*, Allocator<KXRECORD*>> bigger(index_.empty() ? 16 : index_.size() * 2,
                                                        nullptr);
    old.swap(index_);
    index_.swap(bigger);
  } catch (...) {
    return false;
  }
  for (KXRECORD* record : old) {
    if (record) index_[slot_for(record->type, record->name)] = record;
  }
  return true;
}

bool PendingQueue::push(RecordPtr record) noexcept {
  if ((indexed_ + 1) * 2 > index_.size() && !grow_index()) return false;
  try {
    records_.push_back(record.get());
  } catch (...) {
    return false;
  }
  KXRECORD* r = record.release();
  std::size_t slot = slot_for(r->type, r->name);
  if (!index_[slot]) ++indexed_;
  index_[slot] = r;
  return true;
}

void PendingQueue::pop_front() noexcept {
  KXRECORD* oldest = records_.front();
  std::size_t slot = slot_for(oldest->type, oldest->name);
  if (index_[slot] == oldest) erase_slot(slot);
  delete oldest;
  records_.pop_front();
}

const KXRECORD* PendingQueue::find_newest(int32_t type, const tchar* name) const noexcept {
  if (indexed_ == 0) return nullptr;
  return index_[slot_for(type, name)];
}

void PendingQueue::clear() noexcept {
  for (KXRECORD* record : records_) delete record;
  records_.clear();
  std::fill(index_.begin(), index_.end(), nullptr);
  indexed_ = 0;
}

}  // namespace kx
