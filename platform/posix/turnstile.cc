// The turnstile: a lock file in the registry's folder, held by a writer
// waiting its turn and passed by drains before each batch.
#include "platform/posix/turnstile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>
#include <string>

#include "platform/posix/registry_file.h"

namespace kx::plat::posix {

int open_turnstile() noexcept {
  try {
    std::string dir = registry_dir();
    if (dir.empty()) return -1;
    int fd = open((dir + "/registry.turnstile").c_str(),
                  O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    // Only a plain file of this user's, as for the database's own files.
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid())) {
      close(fd);
      return -1;
    }
    return fd;
  } catch (const std::bad_alloc&) {
    return -1;
  }
}

bool flock_within(int fd, int op, Patience& patience) {
  for (;;) {
    if (flock(fd, op | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    if (!patience.left()) return false;
    usleep(kTurnPollMs * 1000);
  }
}

TurnstileHold::~TurnstileHold() {
  if (fd_ >= 0) close(fd_);
}

void TurnstileHold::take(Patience& patience) {
  if (asked_) return;
  asked_ = true;
  fd_ = open_turnstile();
  if (fd_ >= 0 && !flock_within(fd_, LOCK_EX, patience)) {
    close(fd_);
    fd_ = -1;
  }
}

}  // namespace kx::plat::posix
