// The services the library takes from its platform: the registry, mutexes,
// threads, time and text routines. On Windows each call is a thin wrapper of
// advapi32, kernel32 or shlwapi; on POSIX a stand-in keeps the registry in
// SQLite and builds the kernel objects from pthreads and file locks.
//
// Every registry call returns a Windows error code (0 on success). Functions
// whose name ends in _a always take 8-bit text; the others take the build's
// tchar (UTF-16 in the wide build, the system code page in the narrow one).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/names.h"
#include "platform/tchar.h"
#include "platform/thread_annotations.h"

#if !defined(_WIN32) && !defined(__linux__)
#error "the POSIX layer is Linux's: its mutexes are futexes, its lock files flock"
#endif

#if !defined(_WIN32)
#include <pthread.h>
#endif

namespace kx::plat {

constexpr uint32_t kInfinite = 0xFFFFFFFFu;

// Whether the unload hook may wait for other threads' calls to end. Inside
// the Windows loader's unload notification it may not: they may need the
// loader lock that the unloading thread holds.
#if defined(_WIN32)
constexpr bool kCanJoinAtUnload = false;
#else
constexpr bool kCanJoinAtUnload = true;
#endif

// Whether a queue thread must hold the library loaded (pin_library) for as
// long as it runs: on Windows a FreeLibrary by the host could otherwise unmap
// code it runs; on POSIX unloading joins every thread first.
#if defined(_WIN32)
constexpr bool kThreadsPinLibrary = true;
#else
constexpr bool kThreadsPinLibrary = false;
#endif

// ---- Registry ---------------------------------------------------------------

// An open registry key (HKEY on Windows). Null is never a valid open key.
using Key = void*;

Key current_user();

// Opens the key, creating it and any missing parents; access KEY_READ |
// KEY_WRITE, non-volatile. An existing key opens like a new one. On failure
// *out is left untouched.
int32_t reg_create_key_a(Key parent, const char* sub_key, Key* out);
int32_t reg_create_key(Key parent, const tchar* sub_key, Key* out);
// Opens an existing key; never creates one.
int32_t reg_open_key_a(Key parent, const char* sub_key, Key* out);
int32_t reg_open_key(Key parent, const tchar* sub_key, Key* out);
// Deletes a key with its values; a key that has sub-keys is refused.
// On POSIX, creating and deleting a key wait their turn among another
// process's writes (a drain's batches), for seconds, before kErrBusy.
int32_t reg_delete_key(Key parent, const tchar* sub_key);
int32_t reg_close_key(Key key);

// An open key, closed when it goes out of scope; close() closes it sooner
// and gives the result.
class ScopedKey {
 public:
  ScopedKey() = default;
  ~ScopedKey() { close(); }
  ScopedKey(const ScopedKey&) = delete;
  ScopedKey& operator=(const ScopedKey&) = delete;
  Key get() const { return key_; }
  Key* out() { return &key_; }
  // Hands the key over, open: it is no longer closed here.
  Key release() {
    Key key = key_;
    key_ = nullptr;
    return key;
  }
  int32_t close() {
    Key key = release();
    return key ? reg_close_key(key) : kOk;
  }

 private:
  Key key_ = nullptr;
};

int32_t reg_set_value(Key key, const tchar* name, uint32_t type, const void* data, uint32_t bytes);
int32_t reg_delete_value(Key key, const tchar* name);
// As RegQueryValueEx: type may be null; with data null only the size is
// reported. *bytes holds the buffer's size on entry and the value's size on
// return; a short buffer gives kErrMoreData.
int32_t reg_query_value(Key key, const tchar* name, uint32_t* type, void* data, uint32_t* bytes);
// Number of values and the longest value name in tchars (no terminator).
// Either pointer may be null.
int32_t reg_query_info_key(Key key, uint32_t* values, uint32_t* max_value_name_len);
// The value name at index. *name_len holds the capacity in tchars (with the
// terminator) on entry and the name's length without it on success.
int32_t reg_enum_value(Key key, uint32_t index, tchar* name, uint32_t* name_len);
// The sub-key name at index, with the same convention as reg_enum_value.
int32_t reg_enum_key(Key key, uint32_t index, tchar* name, uint32_t* name_len);

// A value set or deleted with its name, and a string's data, in the given
// width whatever the build's: 2 for UTF-16, 1 for 8-bit text as the A calls
// take it. For completing the records a library of the other width left.
int32_t reg_set_value_in(Key key, uint32_t unit_bytes, const void* name, uint32_t type,
                         const void* data, uint32_t bytes);
int32_t reg_delete_value_in(Key key, uint32_t unit_bytes, const void* name);

// Groups the registry writes the calling thread makes until reg_end_batch into
// one transaction where that is cheaper (the POSIX stand-in); each write stays
// atomic on its own and keeps its result. Other threads' registry calls wait
// meanwhile, so batches are kept short; a key created or deleted in another
// process that waits its turn goes first. reg_end_batch gives kOk, or an error
// when writes of the batch that had reported success were lost with its
// transaction (a full disk): those are to be made again. Nothing on Windows.
// reg_begin_batch gives kOk, or kErrBusy when another program has held the
// registry's write lock for as long as a write waits (5 s): no batch is
// open then, no lock of ours is held, and reg_end_batch is not called.
// To the thread-safety analysis the batch is a lock, registry_batch (declared
// for it only, never defined), so a batch left open on some path is an error.
// Its callers compare the result with a literal 0, the one form the analysis
// follows.
struct CAPABILITY("registry batch") RegistryBatch {};
extern RegistryBatch registry_batch;
int32_t reg_begin_batch() TRY_ACQUIRE(0, registry_batch);
int32_t reg_end_batch() RELEASE(registry_batch);

// ---- Mutexes ----------------------------------------------------------------

// An unnamed mutex within the process, not re-entrant. It guards a store's
// queue and strings on every export's path, so it costs what a user-mode
// lock costs: a CRITICAL_SECTION on Windows (under Wine an uncontended
// SRWLOCK costs three times as much), a futex word on Linux. Nothing waits on one that a dead
// thread may hold: at process exit on Windows the unloading thread writes the queues without locks.
class CAPABILITY("mutex") Mutex {
 public:
#if defined(_WIN32)
  Mutex();
  ~Mutex();
#else
  constexpr Mutex() = default;
#endif
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

#if defined(_WIN32)
  void lock() ACQUIRE();
  void unlock() RELEASE();
  void reset_after_fork() {}  // no fork on Windows

 private:
  alignas(void*) unsigned char cs_[sizeof(void*) == 8 ? 40 : 24];  // a CRITICAL_SECTION
#else
  // Every export takes one of these, so the free case is inline: one
  // compare-exchange to take it and one exchange to let it go, with no call.
  void lock() ACQUIRE() {
    int free_state = 0;
    if (!state_.compare_exchange_strong(free_state, 1, std::memory_order_acquire)) wait();
  }
  void unlock() RELEASE() {
    if (state_.exchange(0, std::memory_order_release) == 2) wake();
  }
  // In a forked child: unlocked, whoever held it in the parent.
  void reset_after_fork() { state_.store(0, std::memory_order_relaxed); }

 private:
  void wait();  // spins a little, then sleeps on the futex
  void wake();
  // 0 free, 1 held, 2 held and perhaps waited for. It holds no resource, so
  // it is never destroyed.
  std::atomic<int> state_{0};
#endif
};

// The named mutex shared by every process of the user that loads either
// build. Re-entrant for its owning thread; a dead owner releases it.
class CAPABILITY("mutex") NamedMutex {
 public:
  NamedMutex() = default;
  ~NamedMutex();
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;

  // Creates or opens the mutex of that name; false when it cannot.
  bool open(const char* name);
  void lock() ACQUIRE();
  void unlock() RELEASE();

 private:
  void* impl_ = nullptr;
};

// Holds a mutex for a scope.
template <class M>
class SCOPED_CAPABILITY Lock {
 public:
  explicit Lock(M& mu) ACQUIRE(mu) : mu_(mu) { mu_.lock(); }
  ~Lock() RELEASE() { mu_.unlock(); }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

 private:
  M& mu_;
};

// ---- Events -----------------------------------------------------------------

// A manual- or auto-reset event, for waking a sleeping thread early.
class Event {
 public:
  friend class Thread;
  explicit Event(bool manual_reset);
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  bool ok() const;
  void set();
  // True when the event was signalled within ms milliseconds.
  bool wait(uint32_t ms);
  // In a forked child (POSIX): unsignalled, with no waiter and no holder.
  void reset_after_fork();

 private:
#if defined(_WIN32)
  void* handle_ = nullptr;
#else
  pthread_mutex_t mu_;
  pthread_cond_t cv_;
  bool manual_;
  bool signalled_ = false;
  bool ok_ = false;
#endif
};

// ---- Threads ----------------------------------------------------------------

// A store's queue thread. Closing never waits for it to end where the loader
// lock may be held (a host may close a store from its own DLL's load or unload
// notification, or from a static destructor): a thread that has not yet been
// let into its routine is cancelled and the closer does its work, and a
// finished thread leaves the library on its own.
class Thread {
 public:
  using Routine = uint32_t (*)(void* arg);

  Thread() = default;
  // Releases the handle; never waits for the thread.
  ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Starts routine(arg) at once with the default stack; false on failure. On
  // success the thread owns pin (from pin_library): on Windows it keeps the
  // library loaded for as long as the thread lives, and the thread leaves
  // through it, so a FreeLibrary by the host never unmaps code a thread
  // runs. On failure pin stays the caller's.
  bool start(Routine routine, void* arg, void* pin = nullptr);
  bool started() const { return started_; }
  // True when the thread has ended within ms milliseconds (kInfinite: no limit).
  bool wait(uint32_t ms);

  // Called by the thread itself as its last act on the caller's data:
  // signals done, after which the thread touches nothing the closer frees.
  void finish(Event& done);
  // A thread not yet in its routine never enters it: true when it was
  // cancelled so (the caller then does its work). On Windows such a thread
  // waits at the loader's door; once in, it leaves at once, touching nothing
  // of the store. False once the thread has entered.
  bool cancel();
  // Closing, once the thread has signalled done: on POSIX joins it; on
  // Windows it leaves on its own, through its pin.
  void let_go();
  // In a forked child (POSIX), where the thread does not exist: nothing
  // started.
  void forget_after_fork();

 private:
  bool started_ = false;
#if defined(_WIN32)
  void* handle_ = nullptr;
  struct Control* control_ = nullptr;  // shared with the thread; the last one frees it
#else
  pthread_t thread_{};
  bool joined_ = false;
#endif
};

void sleep_ms(uint32_t ms);

// A reference that keeps this library loaded, for a queue thread; null when
// none could be had, and on POSIX, where closing and unloading join. Under
// Wine taking and dropping one waits for the loader lock: never done while
// holding a lock a thread inside the loader may wait for.
void* pin_library();
void unpin_library(void* pin);

// Has forks by the host call on_fork_prepare, on_fork_parent and
// on_fork_child (POSIX; once per loaded library, however often called).
// Nothing on Windows.
void watch_forks();

// True once the process has begun to exit on Windows: every other thread has
// been ended wherever it was, holding whatever it held. Always false on POSIX,
// where exit() leaves the other threads running.
bool process_exiting();

// ---- Pending files ----------------------------------------------------------

// Files that outlive their process's crash. A view of one is shared with the
// system's file cache, so what is written to it reaches the file even when
// the process is killed at once (not when the machine loses power), and each
// file is held by a lock the system lets go when its process dies. They live
// in one folder of the user's own (beside the stand-in's database on POSIX,
// %LOCALAPPDATA%\Kelmix\pending on Windows), made owner-only, and no
// symbolic link is followed. Names are those safe_file_name passes
// (platform/names.h); any other is refused with kErrInvalidParameter.
class PendingFile {
 public:
  PendingFile() = default;
  // Closes the file, letting go of its lock; the file and its views stay.
  ~PendingFile() { close(); }
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  // Makes name afresh, empty, and holds its lock: kOk, kErrAlreadyExists, or
  // the error that kept it from being made (a full disk, no folder).
  int32_t create(const char* name) noexcept;
  // Opens name and takes its lock: kOk; kErrLockViolation while another
  // process (or another PendingFile) holds it; kErrFileNotFound.
  int32_t claim(const char* name) noexcept;
  bool is_open() const noexcept { return handle_ != kNoHandle; }
  // The file's size in bytes, or 0 when that cannot be told.
  uint64_t size() const noexcept;
  // Makes the file bytes long; new bytes read as zero.
  int32_t resize(uint64_t bytes) noexcept;
  // A read-write view of [offset, offset + bytes) that stays valid until
  // unmap, even after close; offset a multiple of kViewAlignment and the range
  // within the file. Null when it cannot be had.
  void* map(uint64_t offset, std::size_t bytes) noexcept;
  static void unmap(void* view, std::size_t bytes) noexcept;
  // Has the system give a view's pages their file pages now, for writing, so
  // the writes that follow take no page fault. The caller alone may be using
  // the range: its bytes are kept as they are.
  static void prefault(void* view, std::size_t bytes) noexcept;
  // Gives the file another name in the folder, keeping it open and locked.
  int32_t rename(const char* new_name) noexcept;
  // Deletes the file, then closes it: no other process can claim it between.
  int32_t remove() noexcept;
  // POSIX: closes the descriptor, and so lets go of the lock, but keeps the
  // name for rename and remove; views stay valid. For a recovery, which
  // keeps other claimers out with "KelmixHandlesMutex" and may claim more
  // files than the process has descriptors. Nothing on Windows, where
  // handles are not scarce and a mapped file is deleted through its handle.
  void let_go_of_handle() noexcept;
  void close() noexcept;
  // In a forked child (POSIX): lets go of the descriptor without touching the
  // lock, which stays the parent's.
  void forget_after_fork() noexcept;
  const char* name() const noexcept { return name_; }

  static constexpr std::size_t kMaxName = kMaxFileName;

 private:
#if defined(_WIN32)
  // A HANDLE kept as an integer: a constant expression cannot cast
  // INVALID_HANDLE_VALUE to a pointer.
  using Handle = intptr_t;
  static constexpr Handle kNoHandle = -1;
#else
  using Handle = int;
  static constexpr Handle kNoHandle = -1;
#endif
#if !defined(_WIN32)
  // Takes fd's lock and keeps fd as this file's; on failure closes fd.
  int32_t hold(int fd, const char* name) noexcept;
#endif
  Handle handle_ = kNoHandle;
  char name_[kMaxName] = {};
};

// Views start at multiples of this (Windows' allocation granularity, itself
// a multiple of every page size).
constexpr std::size_t kViewAlignment = 65536;

// The names in the pending files' folder that begin with prefix and end with
// suffix, sorted. kOk with none when the folder does not exist.
int32_t list_pending_files(const char* prefix, const char* suffix,
                           std::vector<std::string>* names) noexcept;

// The folder's path, for messages (UTF-8); empty when it cannot be had.
std::string pending_folder() noexcept;

// This process's id, and a coarse wall-clock time in 100 ns units since 1601
// that costs a few nanoseconds to read (its resolution is milliseconds).
uint32_t process_id() noexcept;
uint64_t coarse_time() noexcept;
// Milliseconds of a clock that never goes back, at the resolution of the
// system's tick: for how long something has waited.
uint64_t monotonic_ms() noexcept;

// ---- Heap -------------------------------------------------------------------

// The bytes the C runtime's heap holds for a block malloc returned, its own
// bookkeeping included where that can be told; 0 where it cannot.
std::size_t heap_block_bytes(void* block) noexcept;

// ---- Time -------------------------------------------------------------------

struct SystemTime {
  uint16_t year;
  uint16_t month;
  uint16_t day_of_week;
  uint16_t day;
  uint16_t hour;
  uint16_t minute;
  uint16_t second;
  uint16_t milliseconds;
};

// The current UTC date and time.
void get_system_time(SystemTime* now);
// 100-nanosecond intervals since 1601-01-01 00:00:00 UTC.
bool system_time_to_file_time(const SystemTime& time, uint64_t* file_time);

// ---- Text -------------------------------------------------------------------

uint32_t str_len(const tchar* s);
// First occurrence of sub in s, or null. An empty sub is found nowhere.
const tchar* str_str(const tchar* s, const tchar* sub);
// True for the first byte of a double-byte character of the system code page
// (narrow Windows builds), whose second byte may be any value, a backslash
// among them.
bool is_lead_unit(tchar c);

}  // namespace kx::plat

// Called by the platform's loader glue: once when the library is loaded, after
// the runtime is ready, and once when it is unloaded, before the runtime is torn
// down. process_exit tells an unloading at process exit from an explicit one.
namespace kx {
void on_library_load();
void on_library_unload(bool process_exit);
// POSIX, around a fork: prepare takes the library's table mutex and every
// store's queue lock (library/library.h, 2 and 3), after the platform has
// locked its list of named mutexes (not the mutexes: a child reopens their
// lock files) and before it takes its registry's mutex, so the child
// inherits none held halfway; parent lets them go; child makes the stores
// the child's own.
void on_fork_prepare();
void on_fork_parent();
void on_fork_child();
}  // namespace kx
