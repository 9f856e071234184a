// Pending files on POSIX: in the registry's folder, under "pending", each
// held by an open-file-description lock. Unlike a process-owned fcntl lock,
// closing another descriptor of the same file does not let it go, and unlike
// flock it is a POSIX lock the kernel keeps per file description: the system
// drops it when the last descriptor of that description closes, which a
// dying process does for it.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/internal.h"

namespace kx::plat {

namespace {

int32_t code_of(int err) {
  switch (err) {
    case ENOENT:
    case ENOTDIR:
      return kErrFileNotFound;
    case EEXIST:
      return kErrAlreadyExists;
    case ENOSPC:
    case EDQUOT:
      return kErrDiskFull;
    case ENOMEM:
      return kErrNotEnoughMemory;
    case EMFILE:
    case ENFILE:
      return kErrTooManyOpenFiles;
    case EAGAIN:
    case EACCES:
      return kErrLockViolation;
    default:
      return kErrAccessDenied;
  }
}

// The folder, made owner-only if missing; empty when it cannot be had.
std::string folder() {
  std::string base = posix::private_config_dir();
  if (base.empty()) return {};
  std::string dir = base + "/pending";
  return posix::private_dir(dir) ? dir : std::string();
}

// Locks the whole file for writing, without waiting.
bool lock_fd(int fd) {
  struct flock lk {};
  lk.l_type = F_WRLCK;
  lk.l_whence = SEEK_SET;
  while (fcntl(fd, F_OFD_SETLK, &lk) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

}  // namespace

int32_t PendingFile::hold(int fd, const char* name) noexcept {
  if (!lock_fd(fd)) {
    int32_t rc = code_of(errno);
    ::close(fd);
    return rc;
  }
  handle_ = fd;
  std::strcpy(name_, name);
  return kOk;
}

int32_t PendingFile::create(const char* name) noexcept {
  close();
  if (!safe_file_name(name)) return kErrInvalidParameter;
  try {
    std::string dir = folder();
    if (dir.empty()) return kErrAccessDenied;
    int fd = ::open((dir + "/" + name).c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    0600);
    if (fd < 0) return code_of(errno);
    // Made just now with O_EXCL: no other process can hold it yet.
    int32_t rc = hold(fd, name);
    if (rc != kOk) ::unlink((dir + "/" + name).c_str());
    return rc;
  } catch (const std::bad_alloc&) {
    return kErrNotEnoughMemory;
  }
}

int32_t PendingFile::claim(const char* name) noexcept {
  close();
  if (!safe_file_name(name)) return kErrInvalidParameter;
  try {
    std::string dir = folder();
    if (dir.empty()) return kErrFileNotFound;
    int fd = ::open((dir + "/" + name).c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return code_of(errno);
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
      ::close(fd);
      return kErrAccessDenied;
    }
    return hold(fd, name);
  } catch (const std::bad_alloc&) {
    return kErrNotEnoughMemory;
  }
}

uint64_t PendingFile::size() const noexcept {
  struct stat st;
  if (!is_open() || fstat(handle_, &st) != 0) return 0;
  return static_cast<uint64_t>(st.st_size);
}

namespace {

// Writes zeros over [from, to): the blocks are then written ones, whose pages
// sit in the page cache. A page of the view first written after that costs a
// tenth of what one of only allocated blocks does (on ext4 an unwritten
// extent is converted at the fault), and writing the zeros costs less than
// the faults it saves. kOk, or why the zeros could not all be written.
int32_t write_zeros(int fd, uint64_t from, uint64_t to) noexcept {
  static const unsigned char kZeros[65536] = {};
  while (from < to) {
    std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(sizeof kZeros, to - from));
    ssize_t w = pwrite(fd, kZeros, n, static_cast<off_t>(from));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return code_of(w < 0 ? errno : ENOSPC);
    from += static_cast<uint64_t>(w);
  }
  return kOk;
}

}  // namespace

int32_t PendingFile::resize(uint64_t bytes) noexcept {
  if (!is_open()) return kErrInvalidHandle;
  uint64_t old = size();
  if (bytes <= old) {
    while (ftruncate(handle_, static_cast<off_t>(bytes)) != 0) {
      if (errno != EINTR) return code_of(errno);
    }
    return kOk;
  }
  // Blocks are given to a growing file now, so a full disk is told here and
  // not by a signal when a page of the view is first written. Where the file
  // system cannot reserve them, the zeros written next do.
  int err = posix_fallocate(handle_, static_cast<off_t>(old), static_cast<off_t>(bytes - old));
  if (err != 0 && err != EOPNOTSUPP && err != EINVAL) return code_of(err);
  int32_t rc = write_zeros(handle_, old, bytes);
  if (rc != kOk) {
    // Back to the size it had, so no page of a view lies beyond its blocks.
    while (ftruncate(handle_, static_cast<off_t>(old)) != 0 && errno == EINTR) {
    }
    return rc;
  }
  return kOk;
}

void* PendingFile::map(uint64_t offset, std::size_t bytes) noexcept {
  if (!is_open() || offset % kViewAlignment != 0 || bytes == 0) return nullptr;
  void* view =
      mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, handle_, static_cast<off_t>(offset));
  return view == MAP_FAILED ? nullptr : view;
}

void PendingFile::unmap(void* view, std::size_t bytes) noexcept {
  if (view) munmap(view, bytes);
}

void PendingFile::prefault(void* view, std::size_t bytes) noexcept {
#if !defined(MADV_POPULATE_WRITE)
  constexpr int MADV_POPULATE_WRITE = 23;  // Linux 5.14; older kernels refuse it
#endif
  // In one call the kernel faults the pages in at about half the cost of
  // faulting them one by one.
  if (!view || madvise(view, bytes, MADV_POPULATE_WRITE) == 0) return;
  auto* p = static_cast<volatile unsigned char*>(view);
  for (std::size_t i = 0; i < bytes; i += 4096) p[i] = p[i];
}

int32_t PendingFile::rename(const char* new_name) noexcept {
  if (name_[0] == 0) return kErrInvalidHandle;
  if (!safe_file_name(new_name)) return kErrInvalidParameter;
  try {
    std::string dir = folder();
    if (dir.empty()) return kErrAccessDenied;
    // Never over another file: a name taken is an error, not a file lost.
    std::string from = dir + "/" + name_, to = dir + "/" + new_name;
    int rc = renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
    if (rc != 0 && (errno == EINVAL || errno == ENOSYS || errno == ENOTSUP)) {
      // A kernel or filesystem without it: a link fails on a name taken.
      rc = ::link(from.c_str(), to.c_str());
      if (rc == 0) {
        ::unlink(from.c_str());
      } else if (errno != EEXIST) {
        // No links either; names are unique among live processes anyway.
        rc = ::rename(from.c_str(), to.c_str());
      }
    }
    if (rc != 0) return code_of(errno);
    std::strcpy(name_, new_name);
    return kOk;
  } catch (const std::bad_alloc&) {
    return kErrNotEnoughMemory;
  }
}

int32_t PendingFile::remove() noexcept {
  if (name_[0] == 0) return kErrInvalidHandle;
  int32_t rc = kOk;
  try {
    std::string dir = folder();
    if (dir.empty() || ::unlink((dir + "/" + name_).c_str()) != 0) rc = code_of(errno);
  } catch (const std::bad_alloc&) {
    rc = kErrNotEnoughMemory;
  }
  close();
  return rc;
}

void PendingFile::let_go_of_handle() noexcept {
  if (is_open()) ::close(handle_);
  handle_ = kNoHandle;
}

void PendingFile::close() noexcept {
  if (is_open()) ::close(handle_);
  handle_ = kNoHandle;
  name_[0] = 0;
}

void PendingFile::forget_after_fork() noexcept {
  // The parent's description, and its lock, live on in the parent; closing
  // the child's copy of the descriptor leaves both alone.
  close();
}

int32_t list_pending_files(const char* prefix, const char* suffix,
                           std::vector<std::string>* names) noexcept {
  names->clear();
  try {
    std::string dir = folder();
    if (dir.empty()) return kOk;
    DIR* d = opendir(dir.c_str());
    if (!d) return errno == ENOENT ? kOk : code_of(errno);
    std::size_t pre = std::strlen(prefix), suf = std::strlen(suffix);
    while (dirent* e = readdir(d)) {
      std::size_t n = std::strlen(e->d_name);
      if (n < pre + suf || std::strncmp(e->d_name, prefix, pre) != 0 ||
          std::strcmp(e->d_name + n - suf, suffix) != 0 || !safe_file_name(e->d_name)) {
        continue;
      }
      names->emplace_back(e->d_name);
    }
    closedir(d);
    std::sort(names->begin(), names->end());
    return kOk;
  } catch (const std::bad_alloc&) {
    return kErrNotEnoughMemory;
  }
}

std::string pending_folder() noexcept {
  try {
    return folder();
  } catch (const std::bad_alloc&) {
    return {};
  }
}

uint32_t process_id() noexcept { return static_cast<uint32_t>(getpid()); }

uint64_t monotonic_ms() noexcept {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

uint64_t coarse_time() noexcept {
  timespec ts;
  clock_gettime(CLOCK_REALTIME_COARSE, &ts);
  constexpr uint64_t kUnixEpochIn1601 = 116444736000000000ull;
  return kUnixEpochIn1601 + static_cast<uint64_t>(ts.tv_sec) * 10000000ull +
         static_cast<uint64_t>(ts.tv_nsec) / 100;
}

}  // namespace kx::plat
