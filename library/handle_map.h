// The handles hosts hold: 32-bit numbers mapped to stores, checked on every
// call, never reused for another store. The locks' order is in
// library/library.h.
#pragma once

#include <atomic>
#include <cstdint>

#include "store/store.h"

namespace kx {

// Maps the 32-bit handles given to hosts to stores. Every member has a
// constant initialiser, so a map of static storage is constant-initialised
// (library.cc has clang check it), and it is trivially destroyed: whole from
// the first call to the last. A handle is
// (generation << 12) | index with a generation of 16 to 2^19 - 1, so it is
// never 0 nor below 0x10000 (no error code collides) and stays positive. A
// handle that was closed, or never given out, finds nothing: the generation
// of its entry differs or the entry is closed. Generations never wrap: an
// entry whose last generation has been used is not used again, so however
// stale, a handle never names a later store. A call holds a reference for its
// duration, or the entry's queue lock (Held); closing waits for the
// references to go, then takes and lets go of that lock.
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

  // Holds a store's queue lock for one export call: empty for a bad handle,
  // else the store's queue_lock is held until it goes. The lock belongs to
  // the store's entry, which is never freed, and the handle is checked under
  // it: so holding it is also what keeps the store from closing, and a call
  // that needs only the queue takes one lock where a reference and the lock
  // would be two of each atomic operation. Made where it is used, so the
  // analysis sees the store's queue_lock taken; an empty one holds nothing,
  // and its caller returns at once.
  class SCOPED_CAPABILITY Held {
   public:
    Held(HandleMap& map, int32_t handle) noexcept ACQUIRE((*this)->queue_lock);
    ~Held() RELEASE() NO_THREAD_SAFETY_ANALYSIS {
      if (lock_) lock_->unlock();
    }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    explicit operator bool() const { return lock_ != nullptr; }
    KXDATA* operator->() const { return store_; }
    KXDATA& operator*() const { return *store_; }

   private:
    KXDATA* store_ = nullptr;
    plat::Mutex* lock_ = nullptr;
  };

  // Makes a store in a free entry and gives its handle: make(plat::Mutex&)
  // builds the store around that entry's queue lock, or returns null. 0 when
  // every entry is taken or make gave null.
  template <class Make>
  int32_t insert(Make make) noexcept {
    uint32_t index = 0;
    if (!claim(&index)) return 0;
    return publish(index, make(entries_[index].queue_lock()));
  }
  Ref acquire(int32_t handle) noexcept;
  // Closes the handle to new calls. Returns the store, or null when the
  // handle is not open.
  KXDATA* retire(int32_t handle) noexcept;
  // Waits until no call holds a retired handle, by reference or by its queue
  // lock. Never under a lock that an export may wait for.
  void wait_for_calls(int32_t handle) noexcept;
  // Frees the entry of a retired handle for reuse.
  void release(int32_t handle) noexcept;
  // Every open handle, in entry order; at most max of them.
  uint32_t open_handles(int32_t* out, uint32_t max) noexcept;
  // Every store still in the map, open or being closed; at most max of them.
  uint32_t all_stores(KXDATA** out, uint32_t max) noexcept;

  // Around a fork (POSIX): the queue lock of every store taken, then let go
  // in the parent. In the child, the locks are free and no call is in flight (the
  // parent's threads are not there); each open store is handed to
  // adopt(store), and each one a parent's thread was closing to
  // drop(handle), then the entry is free. No lock is held.
  void lock_queues_for_fork() noexcept NO_THREAD_SAFETY_ANALYSIS;
  void unlock_queues_for_fork() noexcept NO_THREAD_SAFETY_ANALYSIS;
  void reset_in_child(void (*adopt)(KXDATA* store),
                      void (*drop)(int32_t handle, KXDATA* store)) noexcept;

 private:
  // A cache line each: threads calling on two stores share no line.
  struct alignas(64) Entry {
    // generation << 13 | closed bit (1 << 12) | references in flight: 32
    // bits, so 32-bit builds need no 64-bit atomics.
    // All zero until first claimed: generation 0 is no handle's.
    std::atomic<uint32_t> word{0};
    std::atomic<KXDATA*> store{nullptr};
    // The queue lock of each store made in this entry: made when the entry
    // is first claimed and never destroyed, since a stale handle may still
    // take it. Before that, no handle names the entry.
    alignas(plat::Mutex) unsigned char lock_storage[sizeof(plat::Mutex)] = {};
    bool lock_made = false;  // written under claim's reservation only
    plat::Mutex& queue_lock() { return *reinterpret_cast<plat::Mutex*>(lock_storage); }
  };
  Entry* entry_for(int32_t handle, uint32_t* generation) noexcept;
  // Reserves a free entry whose generations are not used up.
  bool claim(uint32_t* index) noexcept;
  // Gives a claimed entry its store and a new generation; frees it for null.
  int32_t publish(uint32_t index, KXDATA* store) noexcept;

  Entry entries_[kCapacity];
  std::atomic<uint32_t> cursor_{0};
};

}  // namespace kx
