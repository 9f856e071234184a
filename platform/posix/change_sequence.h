// The registry's change sequence: two counters in a small file beside the
// database (registry.changes), mapped shared by every process of the user
// that opens it, so that a copy of the registry kept in memory is known to be
// current with two memory loads rather than a query.
//
// Every commit of a registry change is numbered: the writer takes the next
// number (begun) while it holds the database's write lock, before COMMIT,
// and raises done to it after the commit has ended. Writers are serialised by
// that lock, so numbers follow the order of the commits. Hence:
//  - when done equals begun, every commit numbered so far has ended, and
//    whatever is read from the database afterwards holds them all;
//  - while begun is unchanged, no later commit has begun, so nothing read
//    from the database since has changed.
// A copy loaded while the counters were equal, at n, is current for as long
// as begun is still n. A writer that dies between its two steps leaves done
// behind until the next commit ends; meanwhile nothing is loaded, never
// anything stale.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace kx::plat::posix {

struct ChangeCounters {
  std::atomic<uint64_t> begun;  // the number of the last commit begun
  std::atomic<uint64_t> done;   // the highest number whose commit has ended
};

// One mapping of a folder's registry.changes. Unmapped only by its owner's
// destructor: readers load from it without a lock.
class ChangeSequence {
 public:
  // Maps dir/registry.changes, making it (0600) if missing; null when it
  // cannot be had writable, for then this process's commits could not be
  // told to anyone, itself included.
  static ChangeSequence* open(const std::string& dir) noexcept;
  ~ChangeSequence();
  ChangeSequence(const ChangeSequence&) = delete;
  ChangeSequence& operator=(const ChangeSequence&) = delete;

  // The last commit begun: a copy tagged with it is current while this is
  // unchanged.
  uint64_t begun() const noexcept { return counters_->begun.load(std::memory_order_acquire); }
  // True, with *number, when every commit begun has ended: a copy loaded
  // from now on may be tagged with *number.
  bool settled(uint64_t* number) const noexcept {
    uint64_t done = counters_->done.load(std::memory_order_acquire);
    *number = begun();
    return *number == done;
  }
  // Around one commit, with the database's write lock held: the number taken
  // before COMMIT, and the end marked after it, committed or not.
  uint64_t begin_commit() noexcept;
  void end_commit(uint64_t number) noexcept;

  // The file is no longer the one at the path: its begun is raised past any
  // done, so copies tagged from it go stale and none is tagged from it
  // again. Processes that still map it read from the database until they
  // look for others and map the new file.
  void retire() noexcept { counters_->begun.store(UINT64_MAX, std::memory_order_seq_cst); }
  bool retired() const noexcept { return begun() == UINT64_MAX; }

  // False when dir/registry.changes is no longer the file mapped here
  // (deleted, or replaced with the folder).
  bool same_file(const std::string& dir) const noexcept;

 private:
  ChangeSequence(ChangeCounters* counters, uint64_t device, uint64_t inode) noexcept
      : counters_(counters), device_(device), inode_(inode) {}
  ChangeCounters* counters_;
  uint64_t device_;
  uint64_t inode_;
};

// Marks one commit of the calling connection: begun at construction, ended at
// destruction, whether COMMIT succeeded or threw. Nothing without a sequence.
class CommitMark {
 public:
  explicit CommitMark(ChangeSequence* sequence) noexcept
      : sequence_(sequence), number_(sequence ? sequence->begin_commit() : 0) {}
  ~CommitMark() {
    if (sequence_) sequence_->end_commit(number_);
  }
  CommitMark(const CommitMark&) = delete;
  CommitMark& operator=(const CommitMark&) = delete;

 private:
  ChangeSequence* sequence_;
  uint64_t number_;
};

}  // namespace kx::plat::posix
