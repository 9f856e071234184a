// The open key handles' slots: made a chunk at a time, taken and given back.
#include "platform/posix/open_keys.h"

#include <new>

namespace kx::plat::posix {

OpenKeys::~OpenKeys() {
  int chunks = chunks_made_.load();
  for (int c = 0; c < chunks; ++c) delete[] chunks_[c].load();
}

OpenKeys::Slot* OpenKeys::add(int64_t id) {
  if (!free_) {
    int c = chunks_made_.load(std::memory_order_relaxed);
    if (c == kChunks) throw std::bad_alloc();
    Slot* chunk = new Slot[chunk_slots(c)];
    for (std::size_t i = chunk_slots(c); i-- > 0;) {
      chunk[i].next_free = free_;
      free_ = &chunk[i];
    }
    chunks_[c].store(chunk, std::memory_order_relaxed);
    chunks_made_.store(c + 1, std::memory_order_release);
  }
  Slot* slot = free_;
  free_ = slot->next_free;
  slot->next_free = nullptr;
  slot->cache.reset(id);
  slot->id.store(id, std::memory_order_release);
  return slot;
}

bool OpenKeys::remove(const void* key) noexcept {
  Slot* slot = find(key);
  if (!slot) return false;
  slot->id.store(0, std::memory_order_release);
  slot->cache.reset(0);
  slot->next_free = free_;
  free_ = slot;
  return true;
}

}  // namespace kx::plat::posix
