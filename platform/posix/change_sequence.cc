// The change sequence's file: made, checked and mapped.
#include "platform/posix/change_sequence.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>

namespace kx::plat::posix {

namespace {

static_assert(std::atomic<uint64_t>::is_always_lock_free, "counters shared between processes");

std::string file_in(const std::string& dir) { return dir + "/registry.changes"; }

}  // namespace

ChangeSequence* ChangeSequence::open(const std::string& dir) noexcept {
  try {
    if (dir.empty()) return nullptr;
    int fd = ::open(file_in(dir).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return nullptr;
    // Only a plain file of this user's, as for the database's own files.
    // Holding no lock on it, the descriptor may be closed once mapped. Its
    // blocks are had now, a new file's or an old one's made sparse: a page
    // first written through the mapping on a full disk would be a SIGBUS.
    // A new file reads as zeros: both counters at 0, settled.
    struct stat st;
    void* mapped = MAP_FAILED;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
        posix_fallocate(fd, 0, sizeof(ChangeCounters)) == 0) {
      mapped = mmap(nullptr, sizeof(ChangeCounters), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    }
    ::close(fd);
    if (mapped == MAP_FAILED) return nullptr;
    auto* sequence = new (std::nothrow)
        ChangeSequence(static_cast<ChangeCounters*>(mapped), st.st_dev, st.st_ino);
    if (!sequence) munmap(mapped, sizeof(ChangeCounters));
    return sequence;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

ChangeSequence::~ChangeSequence() { munmap(counters_, sizeof(ChangeCounters)); }

uint64_t ChangeSequence::begin_commit() noexcept {
  return counters_->begun.fetch_add(1, std::memory_order_seq_cst) + 1;
}

// Raised, never lowered: a writer that ended after a later one leaves it.
void ChangeSequence::end_commit(uint64_t number) noexcept {
  uint64_t done = counters_->done.load(std::memory_order_relaxed);
  while (done < number &&
         !counters_->done.compare_exchange_weak(done, number, std::memory_order_seq_cst)) {
  }
}

bool ChangeSequence::same_file(const std::string& dir) const noexcept {
  try {
    struct stat st;
    // Only a file gone or another in its place differs; a look that failed
    // otherwise tells nothing.
    if (lstat(file_in(dir).c_str(), &st) != 0) return errno != ENOENT && errno != ENOTDIR;
    return static_cast<uint64_t>(st.st_dev) == device_ &&
           static_cast<uint64_t>(st.st_ino) == inode_;
  } catch (const std::bad_alloc&) {
    return true;  // not known to differ
  }
}

}  // namespace kx::plat::posix
