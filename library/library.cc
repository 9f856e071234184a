// The library's process-wide layer: the table of open stores by name,
// opening, closing and wiping, and the load, unload and fork hooks.
#include "library/library.h"

#include <new>
#include <string>
#include <type_traits>

#include "library/library_test_helper.h"
#include "store/memory.h"
#include "store/recovery.h"

namespace kx {

namespace {
// An opening whose recovery another program's write lock holds up tries
// again this often, for as long as a write would wait.
constexpr uint32_t kLockedOutPollMs = 100;
constexpr uint64_t kLockedOutMs = 5000;
}  // namespace

// ---- The table of open stores by name -----------------------------------------

namespace {

// A store recorded under its name, in the slot of its handle map entry: as
// many slots as the map holds stores, so every open store is found by name.
// The name is a heap copy, so a name of any length is kept whole.
struct HandleSlot {
  tchar* name;
  uint64_t key_hash;  // plat::key_name_hash(name): every spelling of the key
  int32_t handle;     // 0: the slot is free
  bool closing;       // KXClose is draining the store: not found by name, not free
};

// The handles lock as the thread-safety analysis knows it: the name table it
// guards (HandlesLock takes the mutexes behind it).
struct CAPABILITY("mutex") NameTable {};
[[maybe_unused]] NameTable g_table ACQUIRED_BEFORE(KXDATA::queue_lock);

HandleSlot g_slots[HandleMap::kCapacity] GUARDED_BY(g_table);
// Whole until the process ends: no destructor can take the queue locks away
// from a store closed at exit. It is also constant-initialised (atomics, a
// cursor and raw lock storage, all zero): no dynamic initialiser runs over
// it after a static constructor of another library has opened a store.
static_assert(std::is_trivially_destructible<HandleMap>::value, "the map is never destroyed");
#if defined(__clang__)
[[clang::require_constant_initialization]]
#endif
HandleMap g_map;

// "KelmixHandlesMutex" (null when it cannot be had) excludes other
// processes and the other library; the table mutex, taken once the named one
// is held, guards this process's table. A fork takes only the table mutex,
// so it never waits for another process.
plat::NamedMutex* g_named_mutex = nullptr;
plat::Mutex* g_table_mutex = nullptr;

// Once the process exits on Windows it is not taken: this thread is the only
// one left, and a thread exiting ended may have held it.
class SCOPED_CAPABILITY HandlesLock {
 public:
  HandlesLock() ACQUIRE(g_table) { lock(); }
  ~HandlesLock() RELEASE() { unlock(); }
  // Conditional on the process's state and on which mutexes could be had,
  // which the analysis cannot follow.
  void lock() ACQUIRE(g_table) NO_THREAD_SAFETY_ANALYSIS {
    if (plat::process_exiting()) return;
    held_ = true;
    if (g_named_mutex) g_named_mutex->lock();
    if (g_table_mutex) g_table_mutex->lock();
  }
  void unlock() RELEASE(g_table) NO_THREAD_SAFETY_ANALYSIS {
    if (!held_) return;
    held_ = false;
    if (g_table_mutex) g_table_mutex->unlock();
    if (g_named_mutex) g_named_mutex->unlock();
  }
  HandlesLock(const HandlesLock&) = delete;
  HandlesLock& operator=(const HandlesLock&) = delete;

 private:
  bool held_ = false;
};

// Callers hold the handles lock. The open store of that key, or 0; *closing
// tells whether a store of that key is still being closed. Names are
// compared as the registry compares them, by the key's hash: "Alias" and
// "alias" are one key, and so one store.
int32_t find_store(uint64_t key_hash, bool* closing) REQUIRES(g_table) {
  *closing = false;
  for (const HandleSlot& slot : g_slots) {
    if (slot.handle == 0 || slot.key_hash != key_hash) continue;
    if (!slot.closing) return slot.handle;
    *closing = true;
  }
  return 0;
}

HandleSlot& slot_at(int32_t handle) REQUIRES(g_table) {
  return g_slots[static_cast<uint32_t>(handle) & (HandleMap::kCapacity - 1)];
}

// Takes over name, a heap copy.
void add_store(tchar* name, uint64_t key_hash, int32_t handle) REQUIRES(g_table) {
  HandleSlot& slot = slot_at(handle);
  free_string(slot.name);
  slot.name = name;
  slot.key_hash = key_hash;
  slot.handle = handle;
  slot.closing = false;
}

void free_slot(HandleSlot& slot) REQUIRES(g_table) {
  free_string(slot.name);
  slot.name = nullptr;
  slot.handle = 0;
  slot.closing = false;
}

HandleSlot* slot_of(int32_t handle) REQUIRES(g_table) {
  HandleSlot& slot = slot_at(handle);
  return slot.handle == handle ? &slot : nullptr;
}

// A reference to the library for a new store's queue thread (Windows), dropped
// unless given to one. Under Wine taking or dropping it waits for the loader
// lock, so it is never done under a lock of ours.
class LibraryPin {
 public:
  LibraryPin() = default;
  ~LibraryPin() { plat::unpin_library(pin_); }
  LibraryPin(const LibraryPin&) = delete;
  LibraryPin& operator=(const LibraryPin&) = delete;
  bool take() {
    pin_ = plat::pin_library();
    return pin_ != nullptr;
  }
  void* get() const { return pin_; }
  void given() { pin_ = nullptr; }

 private:
  void* pin_ = nullptr;
};

// Opening, closing and wiping count themselves in flight, so the unload hook
// can wait for them: a close in flight is draining a store the map no longer
// lists as open. Once unloading has begun they refuse.
std::atomic<int32_t> g_calls{0};
std::atomic<bool> g_unloading{false};

class LibraryCall {
 public:
  LibraryCall() { g_calls.fetch_add(1); }
  ~LibraryCall() { g_calls.fetch_sub(1); }
  LibraryCall(const LibraryCall&) = delete;
  LibraryCall& operator=(const LibraryCall&) = delete;
  bool refused() const { return g_unloading.load(); }
};

}  // namespace

// ---- Opening and closing ------------------------------------------------------

// The store's name as the registry resolves it: a doubled backslash is one,
// and a trailing one is dropped ("Dir\\Leaf\" is "Dir\Leaf"). Everything
// derived from a name (the name table, pending files, a wipe's discard)
// starts from this, so every spelling of a key finds the same files. A name
// of backslashes alone is kept as it is. Null without memory.
tchar* canonical_name(const tchar* name) noexcept {
  tchar* out = dup_string(name);
  if (!out) return nullptr;
  std::size_t n = 0;
  bool after_separator = false;
  for (const tchar* p = name; *p; ++p) {
    if (plat::is_lead_unit(*p) && p[1]) {
      out[n++] = *p++;  // a double-byte character's second byte is no separator
      out[n++] = *p;
      after_separator = false;
      continue;
    }
    bool separator = *p == tchar('\\');
    if (!(separator && after_separator)) out[n++] = *p;
    after_separator = separator;
  }
  if (after_separator && n > 1) --n;
  out[n] = 0;
  return out;
}

// A canonical copy of a name for the length of a call.
class CanonicalName {
 public:
  explicit CanonicalName(const tchar* name) noexcept : name_(canonical_name(name)) {}
  ~CanonicalName() { free_string(name_); }
  CanonicalName(const CanonicalName&) = delete;
  CanonicalName& operator=(const CanonicalName&) = delete;
  const tchar* get() const { return name_; }
  // Hands the copy over.
  tchar* release() {
    tchar* name = name_;
    name_ = nullptr;
    return name;
  }

 private:
  tchar* name_;
};

int32_t open_store(const tchar* typed_name) noexcept {
  if (!typed_name) return kErrInvalidParameter;
  LibraryCall call;
  if (call.refused()) return kErrInvalidState;
  // Kept in the name table, so made first: a store that could not be
  // recorded would let the same name make a second store on the same key.
  CanonicalName recorded(typed_name);
  const tchar* name = recorded.get();
  if (!name) return 0;
  uint64_t key_hash = plat::key_name_hash(name);
  if (key_hash == 0) return 0;  // no memory
  // For a new store's queue thread; dropped after the handles lock unless
  // the thread took it.
  LibraryPin pin;
  // Lookup, creation and recording are one step, so two threads opening the
  // same new name get one store.
  HandlesLock lock;
  // Checked again under the lock the unload hook sets it under.
  if (call.refused()) return kErrInvalidState;
  plat::ScopedKey key;
  uint64_t give_up = 0;  // while another program's write lock holds up recovery
  for (;;) {
    bool closing = false;
    if (int32_t handle = find_store(key_hash, &closing)) return handle;
    // The same name is still draining: a new store now could have its
    // writes overtaken by the old store's last ones. At process exit nothing
    // drains any more (the thread closing it has been ended).
    bool wait = closing && !plat::process_exiting();
    if (wait || (!pin.get() && plat::kThreadsPinLibrary)) {
      // Under Wine taking a pin waits for the loader lock: it is taken
      // outside the handles lock, and the name looked up again.
      lock.unlock();
      if (wait) {
        plat::sleep_ms(1);
      } else if (!pin.take()) {
        return 0;  // the library cannot be held loaded for a thread
      }
      lock.lock();
      if (call.refused()) return kErrInvalidState;
      continue;
    }

    int32_t rc = key.get() ? kOk : open_store_key(name, true, &key);
    if (rc != kOk) return rc;
    // What processes that died with this store open had accepted goes
    // first, under the handles lock: no store of that name writes meanwhile.
    // A store whose recovery could not finish is not opened: its writes
    // would be overwritten by the older records the next recovery completes.
    rc = recovery::recover(name, key.get(), 0, g_named_mutex != nullptr).error;
    if (rc == kOk) break;
    uint64_t now = plat::monotonic_ms();
    if (rc != kErrBusy || (give_up != 0 && now >= give_up)) return rc;
    // Another program holds the registry's write lock: waited out for as
    // long as a write would wait, in turns, so this process's and others'
    // openings and closings of other stores go on in between.
    if (give_up == 0) give_up = now + kLockedOutMs;
    lock.unlock();
    plat::sleep_ms(kLockedOutPollMs);
    lock.lock();
    if (call.refused()) return kErrInvalidState;
  }

  int32_t made = 0;  // why the store could not be made; 0 for memory
  int32_t handle = g_map.insert([&](plat::Mutex& queue_lock) {
    // The store takes the key over, and closes it when it cannot be made.
    KXDATA* store = KXDATA::create(name, key.release(), queue_lock, pin.get(), &made);
    if (store) pin.given();
    return store;
  });
  // Without a handle the key is closed: by the store, or here when every
  // entry was taken.
  if (handle == 0) return made == kErrNotEnoughMemory ? 0 : made;
  add_store(recorded.release(), key_hash, handle);
  return handle;
}

int32_t close_store(int32_t handle) noexcept {
  LibraryCall call;
  if (plat::process_exiting()) {
    // A static destructor at exit on Windows: calls in flight belong to
    // threads that are gone and never end; write what is queued and free
    // nothing.
    KXDATA* store = g_map.retire(handle);
    if (!store) return kErrInvalidHandle;
    store->drain_at_exit();
    return kOk;
  }
  KXDATA* store;
  {
    // Retired and unrecorded in one step: a KXInit from now on makes a new
    // store rather than returning this one while it closes.
    HandlesLock lock;
    store = g_map.retire(handle);
    if (store) {
      if (HandleSlot* slot = slot_of(handle)) slot->closing = true;
    }
  }
  if (!store) return kErrInvalidHandle;
  g_map.wait_for_calls(handle);
  int32_t rc = store->close();
  {
    // Out of the map before it is freed: an exit from here on finds nothing
    // of it left to write.
    HandlesLock lock;
    if (HandleSlot* slot = slot_of(handle)) free_slot(*slot);
    g_map.release(handle);
  }
  delete store;
  return rc;
}

int32_t wipe_store(const tchar* typed_name) noexcept {
  // Only ever one store key under the product key: no name, no deletion.
  if (!typed_name || typed_name[0] == 0) return kErrInvalidParameter;
  LibraryCall call;
  if (call.refused()) return kErrInvalidState;
  CanonicalName canonical(typed_name);
  const tchar* name = canonical.get();
  if (!name) return kErrNotEnoughMemory;
  plat::ScopedKey product;
  int32_t rc = plat::reg_open_key_a(plat::current_user(), kProductKey, product.out());
  if (rc != kOk) return rc;
  // A dead process's records for the store would have gone to this key,
  // and would bring wiped values back if any were left: the key stays
  // unless every one is gone. Under the handles lock, as no recovery of
  // them is under way then.
  HandlesLock lock;
  rc = recovery::discard(name, g_named_mutex != nullptr);
  if (rc != kOk) return rc;
  rc = plat::reg_delete_key(product.get(), name);
  int32_t close_rc = product.close();
  return rc != kOk ? rc : close_rc;
}

int32_t open_store_key(const tchar* name, bool create, plat::ScopedKey* key) noexcept {
  plat::ScopedKey product;
  if (!create) {
    int32_t rc = plat::reg_open_key_a(plat::current_user(), kProductKey, product.out());
    return rc == kOk ? plat::reg_open_key(product.get(), name, key->out()) : rc;
  }
  int32_t rc = plat::reg_create_key_a(plat::current_user(), kProductKey, product.out());
  return rc == kOk ? plat::reg_create_key(product.get(), name, key->out()) : rc;
}

void with_handles_lock(void (*fn)(void* context, bool exclusive), void* context) noexcept {
  HandlesLock lock;
  fn(context, g_named_mutex != nullptr);
}

HandleMap::Ref acquire_store(int32_t handle) noexcept { return g_map.acquire(handle); }

HandleMap& store_map() noexcept { return g_map; }

bool testing::drop_pending(int32_t handle) noexcept {
  HandleMap::Held store(g_map, handle);
  if (!store) return false;
  store->drop_pending();
  return true;
}

std::size_t testing::pending_records(int32_t handle) noexcept {
  HandleMap::Ref store = g_map.acquire(handle);
  return store ? store->pending() : 0;
}

std::string testing::pending_file_of(int32_t handle) {
  HandleMap::Held store(g_map, handle);
  return store ? store->journal_file() : "";
}

void on_library_load() {
  g_unloading = false;
  // Heap objects, so no static destructor can take them away before the
  // unload hook has used them.
  auto* named = new (std::nothrow) plat::NamedMutex();
  if (named && named->open(kHandlesMutexName)) {
    g_named_mutex = named;
  } else {
    delete named;
  }
  g_table_mutex = new (std::nothrow) plat::Mutex();
  plat::watch_forks();
}

// ---- Forking (POSIX) -------------------------------------------------------------

// The table mutex and every queue lock, so the child copies no queue, list of
// strings or table halfway through a change.
void on_fork_prepare() NO_THREAD_SAFETY_ANALYSIS {
  if (g_table_mutex) g_table_mutex->lock();
  g_map.lock_queues_for_fork();
}

void on_fork_parent() NO_THREAD_SAFETY_ANALYSIS {
  g_map.unlock_queues_for_fork();
  if (g_table_mutex) g_table_mutex->unlock();
}

namespace {
// The stores a forked child left to its parent: kept in sight, never freed.
KXDATA* g_parents_stores[HandleMap::kCapacity];
uint32_t g_parents_store_count = 0;

// The child's only thread, with every lock made afresh.
void forget_in_child(int32_t handle, KXDATA* store) NO_THREAD_SAFETY_ANALYSIS {
  if (HandleSlot* slot = slot_of(handle)) free_slot(*slot);
  if (g_parents_store_count < HandleMap::kCapacity) {
    g_parents_stores[g_parents_store_count++] = store;
  }
}
}  // namespace

// The child is a host of its own: each open store keeps its handle, key and
// handed-out strings, drops the records it inherited (they are the parent's
// to perform) and starts a queue thread of its own with its first write. A
// store a parent's thread was closing is the parent's to finish: the child
// forgets it, unfreed. Nothing here waits or starts a thread: a child that
// only execs or exits pays nothing.
void on_fork_child() {
  if (g_table_mutex) g_table_mutex->reset_after_fork();
  g_map.reset_in_child([](KXDATA* store) { store->adopt_after_fork(); }, forget_in_child);
  g_calls = 0;  // the calls in flight were the parent's threads'
}

namespace {

// Process exit on Windows: every other thread has been ended wherever it was,
// inside a close or any other export, holding whatever lock. Each store still
// in the map, open or half closed, has its queue written without a lock.
void write_every_store_at_exit() {
  static KXDATA* stores[HandleMap::kCapacity];
  uint32_t n = g_map.all_stores(stores, HandleMap::kCapacity);
  for (uint32_t i = 0; i < n; ++i) stores[i]->drain_at_exit();
}

void close_every_store() {
  static int32_t handles[HandleMap::kCapacity];
  static KXDATA* stores[HandleMap::kCapacity];
  uint32_t n;
  {
    // From here on opening refuses, so the list is complete.
    HandlesLock lock;
    g_unloading = true;
    n = g_map.open_handles(handles, HandleMap::kCapacity);
    for (uint32_t i = 0; i < n; ++i) {
      stores[i] = g_map.retire(handles[i]);
      if (HandleSlot* slot = slot_of(handles[i])) slot->closing = true;
    }
  }
  for (uint32_t i = 0; i < n; ++i) {
    KXDATA* store = stores[i];
    if (!store) continue;
    g_map.wait_for_calls(handles[i]);
    store->close();
    {
      HandlesLock lock;
      g_map.release(handles[i]);
    }
    delete store;
  }
  if (plat::kCanJoinAtUnload) {
    // A KXClose on another thread (exit() leaves them running) is draining a
    // store the map no longer lists as open: its records are written before
    // the platform goes. (Its last instructions, past the count, still run
    // in the library: enough for exit(), which unmaps nothing; a dlclose
    // under calls in flight is the host's race.) The Windows unload
    // notification holds the loader lock, where such a close could never
    // finish: there a host unloading the library under its own calls is
    // beyond help anyway.
    for (int spins = 0; g_calls.load() != 0; ++spins) plat::sleep_ms(spins < 64 ? 0 : 1);
  }
  HandlesLock lock;
  for (HandleSlot& slot : g_slots) free_slot(slot);
}

}  // namespace

void on_library_unload(bool process_exit) {
  if (process_exit) {
    write_every_store_at_exit();
    return;  // the system closes the mutex and frees the rest
  }
  close_every_store();
  // An explicit unloading gives the mutex back, so loading again opens it
  // afresh.
  delete g_named_mutex;
  delete g_table_mutex;
  g_named_mutex = nullptr;
  g_table_mutex = nullptr;
}

}  // namespace kx
