// One open store: its registry key, the queue of pending writes and the thread
// that performs them, and the strings it has handed to the host.
//
// Locks: the contract is written in library/library.h, beside the locks'
// owner; the compiler checks the annotations here (GUARDED_BY, REQUIRES).
// The queue thread performs records without queue_lock, so a registry kept
// busy by another process holds up no read of a pending record and no write.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "platform/platform.h"
#include "store/backlog.h"
#include "store/journal.h"
#include "store/memory.h"
#include "store/pending_queue.h"
#include "store/record.h"

namespace kx {

class KXDATA {
 public:
  // Takes ownership of key, makes the store's pending file (in memory only
  // without one) and starts the queue thread, which takes over pin
  // (plat::pin_library) on success. queue_lock outlives the store (the handle
  // map's entry keeps it). Null (key closed, pin still the caller's) when
  // memory, an event, the thread, or for want of descriptors the pending
  // file cannot be had, with *error telling which.
  static KXDATA* create(const tchar* name, plat::Key key, plat::Mutex& queue_lock, void* pin,
                        int32_t* error) noexcept;
  // Closes the store first if close() has not run.
  ~KXDATA();
  KXDATA(const KXDATA&) = delete;
  KXDATA& operator=(const KXDATA&) = delete;

  static void* operator new(std::size_t bytes) noexcept { return mem_alloc(bytes); }
  static void operator delete(void* p) noexcept { mem_free(p); }

  // ---- Writes: queued, performed later by the queue thread. 0 or kErrNotEnoughMemory.
  // The write exports build their record (make_*_record) before they hold
  // queue_lock, then hand it to push.
  int32_t enqueue(KXRECORD&& record) noexcept EXCLUDES(queue_lock);
  int32_t push(KXRECORD&& record) noexcept REQUIRES(queue_lock);
  int32_t remove(const tchar* name) noexcept EXCLUDES(queue_lock);

  // ---- Reads: the newest pending record of that type and name, else the registry.
  int32_t read_value(const tchar* name, int32_t* integer) noexcept REQUIRES(queue_lock);
  int32_t read_double(const tchar* name, double* number) noexcept REQUIRES(queue_lock);
  // On 0 *text is a fresh string the store has listed in strings.
  int32_t read_string(const tchar* name, tchar** text) noexcept REQUIRES(queue_lock);

  // ---- Value names, straight from the registry key.
  // On 0 *name is a fresh string the store has listed in strings.
  int32_t get_key(uint32_t index, tchar** name) noexcept REQUIRES(queue_lock);
  // The number of values, or the negated error code.
  int32_t count() noexcept;
  // Queues the deletion of every value whose name begins with prefix (an
  // empty prefix matches nothing). The queue thread performs nothing while
  // the names are fetched, so no deletion of its can shift one past the
  // enumeration.
  int32_t delete_prefix(const tchar* prefix) noexcept;

  // ---- Handed-out strings, under queue_lock: a string read holds it anyway,
  // so handing a string out and back takes one lock each.
  // Lists s as handed out; on failure frees s and returns kErrNotEnoughMemory.
  int32_t add_string(tchar* s) noexcept REQUIRES(queue_lock);
  void release_all() noexcept REQUIRES(queue_lock);
  // The index s had in strings, or -1 when the store did not hand it out.
  int32_t release_one(const tchar* s) noexcept REQUIRES(queue_lock);

  // Frees the handed-out strings, has every pending record written, and
  // closes the key. Records the registry keeps refusing for a passing reason
  // (a full disk) stay in the pending file for the next opening, and their
  // failure is the result. Waits until the drain is done, however long it takes, but
  // never for the queue thread to exit: a host may close from inside the
  // loader. A thread the loader has not yet let in is cancelled and the
  // caller drains for it. Returns the result of closing the key.
  int32_t close() noexcept;
  // Process exit on Windows: every other thread is gone, wherever it was, so
  // this takes no lock and waits for nothing. Writes what is queued, in
  // place, and closes the key; frees nothing, since a dead thread may have
  // held the heap.
  void drain_at_exit() noexcept NO_THREAD_SAFETY_ANALYSIS;

  // In a forked child (POSIX), with no lock held by anyone: the records the
  // parent queued are dropped unperformed (the parent performs them), the
  // locks and events start afresh, and the child's first write starts a
  // queue thread of the child's.
  void adopt_after_fork() noexcept NO_THREAD_SAFETY_ANALYSIS;

  // Pending records, for tests.
  std::size_t pending() noexcept;
  // Forgets every pending record, unperformed: benchmarks time rounds of
  // writes without the registry.
  void drop_pending() noexcept REQUIRES(queue_lock) {
    taken_ += queue.size();
    queue.clear();
    journal_.restart();
  }
  // The pending file's name, "" without one; for tests.
  const char* journal_file() noexcept REQUIRES(queue_lock) { return journal_.file_name(); }

  // ---- The result of the last export that records one; last writer wins.
  int32_t last_error() const noexcept { return error_.load(std::memory_order_relaxed); }
  void set_error(int32_t rc) noexcept { error_.store(rc, std::memory_order_relaxed); }

  // The store's lock (library/library.h, 3): its entry's in the handle map,
  // which takes it for the exports (HandleMap::Held).
  plat::Mutex& queue_lock;

 private:
  tchar* name_;  // the store's name, for a forked child's pending file
  plat::Key key;
  std::vector<tchar*, Allocator<tchar*>> strings GUARDED_BY(queue_lock);
  PendingQueue queue GUARDED_BY(queue_lock);
  // Records accepted, and taken out of the queue, since the store opened:
  // the queue's front is record number taken_ of those accepted.
  uint64_t accepted_ GUARDED_BY(queue_lock) = 0;
  uint64_t taken_ GUARDED_BY(queue_lock) = 0;
  Journal journal_ GUARDED_BY(queue_lock);
  bool journal_wanted_ GUARDED_BY(queue_lock) = false;  // a forked child's, at its first write
  plat::Thread thread;
  std::atomic<int32_t> closing{0};  // 0 while open; 1 once close() has begun
  std::atomic<int32_t> error_{0};

  // Opens the pending file, before any other thread can reach the store:
  // *journal_rc tells how that went.
  KXDATA(tchar* name, plat::Key store_key, plat::Mutex& queue_lock, int32_t* journal_rc) noexcept;
  // Records taken out of the queue, performed: the pending file learns it,
  // and starts over once nothing is pending.
  void took_out(std::size_t n) noexcept REQUIRES(queue_lock);
  // Idle: sleeps until a record or closing. A store that has mapped a large
  // pending file for a burst gives the mapping up after a while of this.
  void wait_idle() noexcept;
  static uint32_t queue_thread(void* store);
  // A string read: on 0 *text is a fresh copy of the newest pending string of
  // that name, else the registry's (null for a pending record without text).
  int32_t read_text(const tchar* name, tchar** text) noexcept REQUIRES(queue_lock);
  // The newest pending record's bytes, else the registry's, into out.
  int32_t read_fixed(int32_t type, const tchar* name, void* out, uint32_t bytes) noexcept
      REQUIRES(queue_lock);
  // Performs one record on key and gives the registry's answer; a passing
  // failure (is_passing_failure) keeps the record, any other drops it.
  int32_t perform(const KXRECORD& record) noexcept;
  // Performs up to most queued records (at most a batch), oldest first, in
  // one registry transaction, and takes out those performed or refused for
  // themselves: how many. *failed is the passing failure it stopped at, if
  // any. Called by the one thread that performs records, without
  // queue_lock.
  std::size_t perform_batch(std::size_t most, int32_t* failed) noexcept;
  // The queue thread's turn while the store is open: one record at the
  // pace, or every record that has waited kCatchUpAfterMs, in batches.
  // False when there was nothing to do.
  bool perform_turn(Backlog* backlog, uint32_t* retry_ms) noexcept;
  // Performs every queued record on the calling thread, retrying passing
  // failures; kOk, or the failure that went on for kCloseGivesUpMs with
  // nothing performed, the rest left queued.
  int32_t drain_here() noexcept;

  plat::Event wake_{false};    // a record arrived at an empty queue, or closing
  plat::Event drained_{true};  // the thread has performed its last record
  int32_t close_result_ = 0;
  int32_t drain_result_ = 0;  // the closing drain's, written before drained_ is set
  std::atomic<bool> key_closed_{false};
  std::atomic<int32_t> listing_{0};      // delete_prefix calls fetching names: perform nothing
  std::atomic<bool> performing_{false};  // the queue thread's record is at the registry
};

}  // namespace kx
