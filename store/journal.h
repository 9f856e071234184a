// A store's pending file: each record the store accepts is copied into a
// memory-mapped file before the export returns, so a process that dies with
// records queued leaves them for the next one that opens the store (see
// store/recovery.h). Without a file (a full disk, a read-only profile) the
// store keeps its records in memory only, as it would anyway; a process out
// of descriptors is told instead (KXDATA::create).
//
// Not locked itself: the store calls it under queue_lock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "store/journal_format.h"
#include "store/record.h"

namespace kx {

class Journal {
 public:
  Journal() = default;
  // Unmaps and lets go of the file, which stays for recovery unless finish()
  // removed it.
  ~Journal() { release(); }
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // Makes this process's file for the store named store_name (canonical, as
  // the name table has it): kOk, or the error that kept it from being had
  // (the journal then stays off).
  int32_t open(const tchar* store_name) noexcept;
  // Copies record to the file. When the file cannot take it (it cannot grow)
  // the journal turns off until the next restart: what it holds stays a
  // true prefix of the queue.
  void append(const KXRECORD& record) noexcept;
  // n more records left the front of the queue, performed.
  void took_out(std::size_t n) noexcept;
  // The queue is empty: the file starts over, and turns on again. Its views
  // stay, so a burst after a burst touches no new page.
  void restart() noexcept;
  // The queue is not empty, but its records in the file lie past as much
  // room as they need: they are copied to the start, in a new epoch, and the
  // file is reused from there. A writer that never lets the queue empty
  // keeps a file the size of a few of its backlogs, not one that grows with
  // time. False when there was no room, or no need.
  bool reuse_space() noexcept;
  // A view larger than an idle store should keep is mapped; shrink() gives
  // it up while nothing is pending.
  bool oversized() const noexcept;
  void shrink() noexcept;
  // Every record was performed: the file is removed.
  void finish() noexcept;
  // Records the registry would not take are left: the file stays, with its
  // count of those performed, for the next process that opens the store.
  void leave() noexcept { release(); }
  // How many of the records still queued the file holds: the front ones.
  std::size_t holds() const noexcept {
    return appended_ > taken_ ? static_cast<std::size_t>(appended_ - taken_) : 0;
  }
  // The file could not take a record and turned off, and every record it
  // held has been performed: it can start over with the queue as it is.
  bool spent_while_off() const noexcept { return first_ && !on_ && taken_ >= appended_; }
  // Turns a file that could not grow on again, for the queued records it
  // lacks to be appended once more; they count as not yet performed.
  void resume() noexcept;
  // In a forked child: the parent's file stays the parent's; the child makes
  // its own when open() is called again.
  void forget_after_fork() noexcept;

  // For tests and benchmarks: the file's name, or "" without one.
  const char* file_name() const noexcept { return file_.name(); }

 private:
  journal::FileHeader* header() const noexcept {
    return reinterpret_cast<journal::FileHeader*>(first_);
  }
  unsigned char* at(uint64_t offset) const noexcept {
    return offset < journal::kFirstViewBytes ? first_ + offset
                                             : second_ + (offset - journal::kFirstViewBytes);
  }
  // Makes the second view at least need bytes past the first.
  bool grow(uint64_t need) noexcept;
  // Where a record of size bytes goes when offset is the next free byte: it
  // never straddles the end of the first view.
  static uint64_t place(uint64_t offset, std::size_t size) noexcept {
    return offset < journal::kFirstViewBytes && offset + size > journal::kFirstViewBytes
               ? journal::kFirstViewBytes
               : offset;
  }
  // The size of the record at offset, as its head says.
  std::size_t size_at(uint64_t offset) const noexcept;
  void set_counter(uint64_t journal::FileHeader::*field, journal::Counter which,
                   uint32_t value) noexcept;
  void set_counter_in(uint32_t epoch, uint64_t journal::FileHeader::*field, journal::Counter which,
                      uint32_t value) noexcept;
  void unmap_views() noexcept;
  void release() noexcept;

  plat::PendingFile file_;
  unsigned char* first_ = nullptr;   // [0, kFirstViewBytes)
  unsigned char* second_ = nullptr;  // [kFirstViewBytes, kFirstViewBytes + second_bytes_)
  std::size_t second_bytes_ = 0;
  uint64_t tail_ = journal::kRecordsStart;   // where the next record goes
  uint64_t front_ = journal::kRecordsStart;  // the first record not taken out
  uint64_t skipped_at_ = 0;                  // where the first view's end was skipped to, or 0
  uint64_t retry_from_ = 0;  // reuse_space() found too little room before this front_
  uint32_t epoch_ = 0;
  uint64_t created_steps_ = 0;  // the file's making, in stamp steps
  uint64_t header_check_ = 0;   // the tag of the counters' words
  uint32_t appended_ = 0;       // records in the file this epoch
  uint64_t taken_ = 0;          // records taken out of the queue this epoch
  bool on_ = false;
};

}  // namespace kx
