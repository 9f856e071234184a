// The process-wide side of the library: the handles hosts hold, the table of
// open stores by name, and the library's loading and unloading.
//
// Lock order: the handle mutex ("KelmixHandlesMutex"), then a store's
// strings_lock (stores are closed and destroyed under the handle mutex at
// unloading). A store's queue_lock is never held with another lock.
#pragma once

#include <atomic>
#include <cstdint>

#include "store/store.h"

namespace kx {

// Maps the 32-bit handles given to hosts to stores. A handle is
// (generation << 16) | index with a generation of 1 to 0x7FFF, so it is never
// 0 nor below 0x10000 (no error code collides) and stays positive. A handle
// that was closed, or never given out, finds nothing: the generation of its
// entry differs or the entry is closed. A call holds a reference for its
// duration, and closing waits for those references to go.
class HandleMap {
 public:
  static constexpr uint32_t kCapacity = 4096;

  // A reference that keeps a store alive for one export call.
  class Ref {
   public:
    Ref() = default;
    Ref(Ref&& other) noexcept : store_(other.store_), word_(other.word_) { other.word_ = nullptr; }
    ~Ref() {
      if (word_) word_->fetch_sub(1, std::memory_order_release);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    explicit operator bool() const { return word_ != nullptr; }
    KXDATA* operator->() const { return store_; }
    KXDATA& operator*() const { return *store_; }

   private:
    friend class HandleMap;
    KXDATA* store_ = nullptr;
    std::atomic<uint32_t>* word_ = nullptr;
  };

  // The handle for a new store, or 0 when every entry is taken.
  int32_t insert(KXDATA* store) noexcept;
  Ref acquire(int32_t handle) noexcept;
  // Closes the handle to new calls and waits until no call holds it (unless
  // wait is false: at process exit a dead thread may hold one forever).
  // Returns the store, or null when the handle is not open.
  KXDATA* retire(int32_t handle, bool wait = true) noexcept;
  // Frees the entry of a retired handle for reuse.
  void release(int32_t handle) noexcept;
  // Every open handle, in entry order; at most max of them.
  uint32_t open_handles(int32_t* out, uint32_t max) noexcept;

 private:
  struct Entry {
    // generation << 17 | closed bit (1 << 16) | references in flight: 32
    // bits, so 32-bit builds need no 64-bit atomics.
    std::atomic<uint32_t> word{1u << 16};
    std::atomic<KXDATA*> store{nullptr};
  };
  Entry* entry_for(int32_t handle, uint32_t* generation) noexcept;

  Entry entries_[kCapacity];
  std::atomic<uint32_t> cursor_{0};
};

}  // namespace kx
