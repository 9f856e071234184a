// The stand-in's open key handles. A handle is the address of a slot in
// chunks that live as long as the registry's state, so a call finds the key
// behind a handle without a lock, a handle never given out finds nothing,
// and a closed handle's slot goes to a later open.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/posix/key_cache.h"

namespace kx::plat::posix {

class OpenKeys {
 public:
  // A cache line each: threads reading two keys share no line.
  struct alignas(64) Slot {
    std::atomic<int64_t> id{0};  // the key's id; 0 while the slot is free
    KeyCache cache;              // the key's values as last read
    Slot* next_free = nullptr;   // opening and closing are serialised by the caller
  };

  OpenKeys() = default;
  ~OpenKeys();
  OpenKeys(const OpenKeys&) = delete;
  OpenKeys& operator=(const OpenKeys&) = delete;

  // Opening and closing: the caller serialises them. add throws
  // std::bad_alloc when no slot can be had.
  Slot* add(int64_t id);
  // False when key is not an open handle.
  bool remove(const void* key) noexcept;

  // Without a lock: the open slot at key, or null.
  Slot* find(const void* key) const noexcept {
    auto at = reinterpret_cast<uintptr_t>(key);
    int chunks = chunks_made_.load(std::memory_order_acquire);
    for (int c = 0; c < chunks; ++c) {
      auto first = reinterpret_cast<uintptr_t>(chunks_[c].load(std::memory_order_relaxed));
      uintptr_t offset = at - first;
      if (at < first || offset >= chunk_slots(c) * sizeof(Slot) || offset % sizeof(Slot)) continue;
      Slot* slot = reinterpret_cast<Slot*>(at);
      return slot->id.load(std::memory_order_acquire) ? slot : nullptr;
    }
    return nullptr;
  }

  // Every slot made, open or free; the caller serialises it with opening.
  template <class F>
  void for_each(F f) {
    int chunks = chunks_made_.load(std::memory_order_relaxed);
    for (int c = 0; c < chunks; ++c) {
      Slot* first = chunks_[c].load(std::memory_order_relaxed);
      for (std::size_t i = 0; i < chunk_slots(c); ++i) f(first[i]);
    }
  }

 private:
  // Each chunk twice the one before: a few chunks hold any number of keys.
  static constexpr int kChunks = 24;
  static constexpr std::size_t chunk_slots(int chunk) { return std::size_t{16} << chunk; }

  std::atomic<Slot*> chunks_[kChunks] = {};
  std::atomic<int> chunks_made_{0};
  Slot* free_ = nullptr;
};

}  // namespace kx::plat::posix
