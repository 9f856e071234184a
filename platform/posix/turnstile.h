// Turn-taking between processes that write the registry stand-in: a writer
// that must get in waits at a lock file beside the database, which drains pass.
#pragma once

#include <chrono>

namespace kx::plat::posix {

// How often a writer waiting its turn at the turnstile, or a drain stopped
// there, looks again.
constexpr int kTurnPollMs = 1;

// A wait for another process, timed from the first time it is asked about:
// a call that needs no waiting reads no clock.
class Patience {
 public:
  explicit Patience(int ms) : ms_(ms) {}
  // True while time is left.
  bool left() {
    auto now = std::chrono::steady_clock::now();
    if (!started_) {
      end_ = now + std::chrono::milliseconds(ms_);
      started_ = true;
    }
    return now < end_;
  }

 private:
  int ms_;
  bool started_ = false;
  std::chrono::steady_clock::time_point end_;
};

// A drain takes the write lock batch after batch and frees it only for
// moments: a writer polling for it gets in by luck. So a writer that must get
// in, once it has found the lock taken, holds a file lock beside the database
// exclusively while it waits and until its transaction ends, and a drain
// passes that lock, shared, before each batch: the drain stops there and the
// writer has its turn. flock, not fcntl: a lock belongs to its open file, so
// the two libraries of one process exclude each other, and closing another
// descriptor of the file drops nothing.

// The turnstile's file, opened anew; -1 when it cannot be (no folder yet, a
// read-only one): writers then only poll and drains pass freely.
int open_turnstile() noexcept;

// Takes the lock (LOCK_EX or LOCK_SH) while patience lasts; false when it
// could not.
bool flock_within(int fd, int op, Patience& patience);

// One writer's exclusive hold on the turnstile, let go when it goes out of
// scope: after the writer's transaction.
class TurnstileHold {
 public:
  TurnstileHold() = default;
  ~TurnstileHold();
  TurnstileHold(const TurnstileHold&) = delete;
  TurnstileHold& operator=(const TurnstileHold&) = delete;

  // Waits for the turnstile while patience lasts, once.
  void take(Patience& patience);

 private:
  int fd_ = -1;
  bool asked_ = false;
};

}  // namespace kx::plat::posix
