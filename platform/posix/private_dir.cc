// Folders only this user can reach: the registry's and the lock files'.
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/posix/internal.h"

namespace kx::plat::posix {

bool make_dirs(const std::string& dir) {
  if (dir.empty()) return false;
  struct stat st;
  if (stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  size_t slash = dir.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !make_dirs(dir.substr(0, slash))) return false;
  if (mkdir(dir.c_str(), 0700) == 0) return chmod(dir.c_str(), 0700) == 0;
  return errno == EEXIST;
}

bool owner_only_dir(const std::string& dir) {
  struct stat st;
  if (lstat(dir.c_str(), &st) != 0) return false;
  if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid()) return false;
  return (st.st_mode & 077) == 0 || chmod(dir.c_str(), 0700) == 0;
}

bool private_dir(const std::string& dir) {
  if (mkdir(dir.c_str(), 0700) == 0) {
    if (chmod(dir.c_str(), 0700) != 0) return false;
  } else if (errno != EEXIST) {
    return false;
  }
  return owner_only_dir(dir);
}

}  // namespace kx::plat::posix
