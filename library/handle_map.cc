#include "library/handle_map.h"

#include <algorithm>
#include <new>
#include <type_traits>

#include "store/memory.h"

namespace kx {

namespace {
constexpr uint32_t kIndexBits = 12;
static_assert(HandleMap::kCapacity == 1u << kIndexBits, "an index fills its bits");
constexpr uint32_t kClosedBit = 1u << 12;
constexpr uint32_t kRefMask = kClosedBit - 1;  // at most 4095 calls in flight per handle
constexpr uint32_t kFirstGeneration = 16;      // handles start at 0x10000
constexpr uint32_t kLastGeneration = (1u << 19) - 1;
// Marks an entry whose generations are used up: never given out again.
KXDATA* const kExhausted = reinterpret_cast<KXDATA*>(alignof(KXDATA));
// Marks an entry whose store is being made.
KXDATA* const kReserved = reinterpret_cast<KXDATA*>(2 * alignof(KXDATA));

bool is_store(const KXDATA* p) { return p != nullptr && p != kExhausted && p != kReserved; }

uint32_t generation_of(uint32_t word) { return word >> 13; }
// The entry's word still names that generation's store, open.
bool open_for(uint32_t word, uint32_t generation) {
  return generation_of(word) == generation && (word & kClosedBit) == 0;
}
}  // namespace

HandleMap::Entry* HandleMap::entry_for(int32_t handle, uint32_t* generation) noexcept {
  auto bits = static_cast<uint32_t>(handle);
  uint32_t index = bits & (kCapacity - 1);
  *generation = bits >> kIndexBits;
  if (handle <= 0 || *generation < kFirstGeneration || *generation > kLastGeneration) {
    return nullptr;
  }
  return &entries_[index];
}

bool HandleMap::claim(uint32_t* index) noexcept {
  // Round robin, so a closed handle's entry is the last to be reused.
  uint32_t start = cursor_.fetch_add(1, std::memory_order_relaxed);
  for (uint32_t i = 0; i < kCapacity; ++i) {
    uint32_t at = (start + i) % kCapacity;
    Entry& entry = entries_[at];
    KXDATA* expected = nullptr;
    if (!entry.store.compare_exchange_strong(expected, kReserved, std::memory_order_acq_rel)) {
      continue;
    }
    if (generation_of(entry.word.load()) >= kLastGeneration) {
      entry.store.store(kExhausted, std::memory_order_release);
      continue;
    }
    if (!entry.lock_made) {
      new (entry.lock_storage) plat::Mutex();
      entry.lock_made = true;
    }
    cursor_.store(at + 1, std::memory_order_relaxed);
    *index = at;
    return true;
  }
  return false;
}

int32_t HandleMap::publish(uint32_t index, KXDATA* store) noexcept {
  Entry& entry = entries_[index];
  if (!store) {
    entry.store.store(nullptr, std::memory_order_release);
    return 0;
  }
  uint32_t generation = std::max(generation_of(entry.word.load()) + 1, kFirstGeneration);
  // The store before the word: whoever sees the new generation sees it.
  entry.store.store(store, std::memory_order_release);
  entry.word.store(generation << 13, std::memory_order_release);
  return static_cast<int32_t>((generation << kIndexBits) | index);
}

HandleMap::Ref HandleMap::acquire(int32_t handle) noexcept {
  Ref ref;
  uint32_t generation;
  Entry* entry = entry_for(handle, &generation);
  if (!entry) return ref;
  uint32_t word = entry->word.load(std::memory_order_acquire);
  for (;;) {
    if (!open_for(word, generation)) return ref;
    if ((word & kRefMask) == kRefMask) {
      // Never carry into the closed bit: wait for one of the 4095 calls.
      plat::sleep_ms(0);
      word = entry->word.load(std::memory_order_acquire);
      continue;
    }
    if (entry->word.compare_exchange_weak(word, word + 1, std::memory_order_acquire)) break;
  }
  ref.word_ = &entry->word;
  ref.store_ = entry->store.load(std::memory_order_acquire);
  return ref;
}

// The lock is taken only for a handle that was given out and is open, and
// let go by the destructor: the analysis cannot follow which.
HandleMap::Held::Held(HandleMap& map, int32_t handle) noexcept NO_THREAD_SAFETY_ANALYSIS {
  uint32_t generation;
  Entry* entry = map.entry_for(handle, &generation);
  if (!entry) return;
  // A handle of this generation was given out, so the entry's lock is made.
  // A closed or stale handle is refused without the lock, which belongs to
  // whatever store has the entry now (and at exit on Windows may have been
  // left held by a thread the system ended).
  if (!open_for(entry->word.load(std::memory_order_acquire), generation)) return;
  plat::Mutex& lock = entry->queue_lock();
  lock.lock();
  // Under the lock: a handle retired before it was taken is seen closed, and
  // one retired after waits in wait_for_calls until this call lets go.
  if (!open_for(entry->word.load(std::memory_order_acquire), generation)) {
    lock.unlock();
    return;
  }
  store_ = entry->store.load(std::memory_order_acquire);
  lock_ = &lock;
}

KXDATA* HandleMap::retire(int32_t handle) noexcept {
  uint32_t generation;
  Entry* entry = entry_for(handle, &generation);
  if (!entry) return nullptr;
  uint32_t word = entry->word.load(std::memory_order_acquire);
  do {
    if (!open_for(word, generation)) return nullptr;
  } while (!entry->word.compare_exchange_weak(word, word | kClosedBit));
  return entry->store.load(std::memory_order_acquire);
}

void HandleMap::wait_for_calls(int32_t handle) noexcept {
  uint32_t generation;
  Entry* entry = entry_for(handle, &generation);
  if (!entry) return;
  // Calls in flight are short; a long one (a read of a slow registry) is
  // slept on rather than spun on.
  for (int spins = 0; (entry->word.load(std::memory_order_acquire) & kRefMask) != 0; ++spins) {
    plat::sleep_ms(spins < 64 ? 0 : 1);
  }
  // A call holding the queue lock checked the handle before it was retired.
  entry->queue_lock().lock();
  entry->queue_lock().unlock();
}

void HandleMap::release(int32_t handle) noexcept {
  uint32_t generation;
  if (Entry* entry = entry_for(handle, &generation)) {
    entry->store.store(nullptr, std::memory_order_release);
  }
}

uint32_t HandleMap::open_handles(int32_t* out, uint32_t max) noexcept {
  uint32_t n = 0;
  for (uint32_t index = 0; index < kCapacity && n < max; ++index) {
    uint32_t word = entries_[index].word.load(std::memory_order_acquire);
    KXDATA* store = entries_[index].store.load();
    if ((word & kClosedBit) == 0 && is_store(store)) {
      out[n++] = static_cast<int32_t>((generation_of(word) << kIndexBits) | index);
    }
  }
  return n;
}

uint32_t HandleMap::all_stores(KXDATA** out, uint32_t max) noexcept {
  uint32_t n = 0;
  for (uint32_t index = 0; index < kCapacity && n < max; ++index) {
    KXDATA* store = entries_[index].store.load(std::memory_order_acquire);
    if (is_store(store)) out[n++] = store;
  }
  return n;
}

// Only the entries that hold a store: no other entry's lock guards anything.
// The set holds still from prepare to parent, since stores enter and leave
// the map under the table mutex, which the fork holds.
void HandleMap::lock_queues_for_fork() noexcept {
  for (Entry& entry : entries_) {
    if (is_store(entry.store.load())) entry.queue_lock().lock();
  }
}

void HandleMap::unlock_queues_for_fork() noexcept {
  for (Entry& entry : entries_) {
    if (is_store(entry.store.load())) entry.queue_lock().unlock();
  }
}

void HandleMap::reset_in_child(void (*adopt)(KXDATA*), void (*drop)(int32_t, KXDATA*)) noexcept {
  for (uint32_t index = 0; index < kCapacity; ++index) {
    Entry& entry = entries_[index];
    if (entry.lock_made) entry.queue_lock().reset_after_fork();
    uint32_t word = entry.word.load() & ~kRefMask;
    entry.word.store(word);
    KXDATA* store = entry.store.load();
    if (!is_store(store)) continue;
    if (word & kClosedBit) {
      drop(static_cast<int32_t>((generation_of(word) << kIndexBits) | index), store);
      entry.store.store(nullptr);
    } else {
      adopt(store);
    }
  }
}

}  // namespace kx
