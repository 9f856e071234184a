// Pending files on Windows: files in %LOCALAPPDATA%\Kelmix\pending, each held
// by a byte-range lock, which the system lets go when its process ends.
#include <windows.h>
// After windows.h, which it needs.
#include <sddl.h>

#include <algorithm>
#include <cstring>
#include <cwchar>

#include "platform/platform.h"

namespace kx::plat {

namespace {

// Paths live in fixed buffers: building one allocates nothing and cannot throw.
constexpr DWORD kPathCap = 1024;

struct Path {
  wchar_t text[kPathCap];
  DWORD len = 0;

  bool add(const wchar_t* s) {
    for (; *s; ++s) {
      if (len + 1 >= kPathCap) return false;
      text[len++] = *s;
    }
    text[len] = 0;
    return true;
  }
  bool add_ascii(const char* s) {
    for (; *s; ++s) {
      if (len + 1 >= kPathCap) return false;
      text[len++] = static_cast<unsigned char>(*s);
    }
    text[len] = 0;
    return true;
  }
};

// One byte at 2^62: far beyond any data, so the lock never stands in the way
// of reading or writing the file, and ranges beyond the end may be locked.
constexpr DWORD kLockOffsetHigh = 0x40000000;

class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE h) : h_(h) {}
  ~ScopedHandle() {
    if (valid()) CloseHandle(h_);
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
  HANDLE get() const { return h_; }
  HANDLE release() {
    HANDLE h = h_;
    h_ = INVALID_HANDLE_VALUE;
    return h;
  }

 private:
  HANDLE h_;
};

int32_t error_code(DWORD e) {
  switch (e) {
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return kErrAlreadyExists;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return kErrDiskFull;
    case ERROR_PATH_NOT_FOUND:  // no folder: no file either
      return kErrFileNotFound;
    case ERROR_SUCCESS:  // a failure that set no code still fails
      return ERROR_GEN_FAILURE;
    default:
      return static_cast<int32_t>(e);
  }
}

int32_t last_error() { return error_code(GetLastError()); }

// %LOCALAPPDATA%\Kelmix\pending, as a full path; verbatim, with the prefix
// \\?\ that passes names to the file system unchanged. No known-folder
// lookup: that would import shell32 and ole32, and LOCALAPPDATA is set in
// every user's environment.
int32_t folder_path(Path* out, bool verbatim) {
  wchar_t env[kPathCap];
  DWORD n = GetEnvironmentVariableW(L"LOCALAPPDATA", env, kPathCap);
  if (n == 0) return last_error();
  if (n >= kPathCap) return kErrBadPathname;
  wchar_t full[kPathCap];
  n = GetFullPathNameW(env, kPathCap, full, nullptr);
  if (n == 0) return last_error();
  if (n >= kPathCap) return kErrBadPathname;
  while (n > 0 && (full[n - 1] == L'\\' || full[n - 1] == L'/')) full[--n] = 0;
  out->len = 0;
  bool ok = true;
  if (verbatim && std::wcsncmp(full, L"\\\\?\\", 4) != 0) {
    if (std::wcsncmp(full, L"\\\\", 2) == 0) {
      ok = out->add(L"\\\\?\\UNC\\") && out->add(full + 2);
    } else {
      ok = out->add(L"\\\\?\\") && out->add(full);
    }
  } else {
    ok = out->add(full);
  }
  if (!ok || !out->add(L"\\Kelmix\\pending")) return kErrBadPathname;
  return kOk;
}

// A descriptor giving the current user, and no one else, full access to the
// folder and what is made in it (LocalFree it). The user's SID rather than
// OWNER RIGHTS: an elevated administrator's objects may be owned by the
// Administrators group. Null when it cannot be had: LocalAppData is the
// user's own already.
PSECURITY_DESCRIPTOR owner_only_descriptor() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return nullptr;
  alignas(TOKEN_USER) unsigned char buf[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  DWORD len = 0;
  BOOL ok = GetTokenInformation(token, TokenUser, buf, sizeof buf, &len);
  CloseHandle(token);
  if (!ok) return nullptr;
  wchar_t* sid = nullptr;
  if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buf)->User.Sid, &sid)) return nullptr;
  Path sddl;  // any short text
  ok = sddl.add(L"D:P(A;OICI;FA;;;") && sddl.add(sid) && sddl.add(L")");
  LocalFree(sid);
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!ok || !ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.text, SDDL_REVISION_1, &sd,
                                                                   nullptr)) {
    return nullptr;
  }
  return sd;
}

// A folder of ours, made when missing (owner-only when private); never a
// reparse point, which could lead elsewhere.
int32_t own_folder(const wchar_t* path, bool make, bool private_folder) {
  DWORD attrs = GetFileAttributesW(path);
  if (attrs == INVALID_FILE_ATTRIBUTES && make) {
    PSECURITY_DESCRIPTOR sd = private_folder ? owner_only_descriptor() : nullptr;
    SECURITY_ATTRIBUTES sa{sizeof sa, sd, FALSE};
    BOOL made = CreateDirectoryW(path, sd ? &sa : nullptr);
    DWORD e = GetLastError();
    if (sd) LocalFree(sd);
    if (!made && e != ERROR_ALREADY_EXISTS) return error_code(e);
    attrs = GetFileAttributesW(path);
  }
  if (attrs == INVALID_FILE_ATTRIBUTES) return last_error();
  if (!(attrs & FILE_ATTRIBUTE_DIRECTORY) || (attrs & FILE_ATTRIBUTE_REPARSE_POINT)) {
    return kErrAccessDenied;
  }
  return kOk;
}

// The folder's verbatim path, checked (and made, with make).
int32_t open_folder(Path* dir, bool make) {
  if (int32_t rc = folder_path(dir, true)) return rc;
  DWORD len = dir->len;
  DWORD parent = len - static_cast<DWORD>(std::wcslen(L"\\pending"));
  dir->text[parent] = 0;
  int32_t rc = own_folder(dir->text, make, false);
  dir->text[parent] = L'\\';
  if (rc) return rc;
  return own_folder(dir->text, make, true);
}

int32_t file_path(const char* name, bool make_folder, Path* path) {
  if (!safe_file_name(name)) return kErrInvalidParameter;
  if (int32_t rc = open_folder(path, make_folder)) return rc;
  if (!path->add(L"\\") || !path->add_ascii(name)) return kErrBadPathname;
  return kOk;
}

OVERLAPPED lock_range() {
  OVERLAPPED at{};
  at.OffsetHigh = kLockOffsetHigh;
  return at;
}

// Opens name (disposition CREATE_NEW or OPEN_EXISTING) and takes its lock.
int32_t open_locked(const char* name, DWORD disposition, HANDLE* out) {
  Path path;
  if (int32_t rc = file_path(name, disposition == CREATE_NEW, &path)) return rc;
  // DELETE access for rename and remove. Every opener shares everything, so
  // the holder may rename or delete the file while another has it open.
  ScopedHandle file(CreateFileW(path.text, GENERIC_READ | GENERIC_WRITE | DELETE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                nullptr));
  if (!file.valid()) return last_error();
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file.get(), &info)) return last_error();
  if (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) {
    return kErrAccessDenied;
  }
  OVERLAPPED at = lock_range();
  if (!LockFileEx(file.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    return last_error();  // ERROR_LOCK_VIOLATION: another holds it
  }
  *out = file.release();
  return kOk;
}

bool starts_with(const char* s, std::size_t n, const char* prefix) {
  std::size_t p = std::strlen(prefix);
  return p <= n && std::memcmp(s, prefix, p) == 0;
}

bool ends_with(const char* s, std::size_t n, const char* suffix) {
  std::size_t x = std::strlen(suffix);
  return x <= n && std::memcmp(s + n - x, suffix, x) == 0;
}

}  // namespace

int32_t PendingFile::create(const char* name) noexcept {
  close();
  HANDLE h = INVALID_HANDLE_VALUE;
  if (int32_t rc = open_locked(name, CREATE_NEW, &h)) return rc;
  handle_ = reinterpret_cast<Handle>(h);
  std::strcpy(name_, name);  // safe_file_name bounded it
  return kOk;
}

int32_t PendingFile::claim(const char* name) noexcept {
  close();
  HANDLE h = INVALID_HANDLE_VALUE;
  if (int32_t rc = open_locked(name, OPEN_EXISTING, &h)) return rc;
  handle_ = reinterpret_cast<Handle>(h);
  std::strcpy(name_, name);
  return kOk;
}

uint64_t PendingFile::size() const noexcept {
  LARGE_INTEGER size;
  if (!is_open() || !GetFileSizeEx(reinterpret_cast<HANDLE>(handle_), &size)) return 0;
  return static_cast<uint64_t>(size.QuadPart);
}

// Growing is allowed while views are mapped; shrinking below one is not
// (ERROR_USER_MAPPED_FILE).
int32_t PendingFile::resize(uint64_t bytes) noexcept {
  if (!is_open()) return kErrInvalidHandle;
  if (bytes > static_cast<uint64_t>(INT64_MAX)) return kErrInvalidParameter;
  HANDLE h = reinterpret_cast<HANDLE>(handle_);
  uint64_t old = size();
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(bytes);
  if (!SetFilePointerEx(h, at, nullptr, FILE_BEGIN) || !SetEndOfFile(h)) return last_error();
  // Zeros written over the new part: its pages are then in the cache and
  // its clusters valid data, so a page of a view first written costs a
  // fraction of a fault that must zero-fill it (and under Wine, whose files
  // are sparse, allocate its block), and a full disk is told here.
  static const unsigned char kZeros[65536] = {};
  for (uint64_t from = old; from < bytes;) {
    DWORD n = static_cast<DWORD>(std::min<uint64_t>(sizeof kZeros, bytes - from));
    OVERLAPPED where = {};
    where.Offset = static_cast<DWORD>(from);
    where.OffsetHigh = static_cast<DWORD>(from >> 32);
    DWORD written = 0;
    if (!WriteFile(h, kZeros, n, &written, &where) || written == 0) {
      int32_t rc = last_error();
      at.QuadPart = static_cast<LONGLONG>(old);
      if (SetFilePointerEx(h, at, nullptr, FILE_BEGIN)) SetEndOfFile(h);
      return rc == kOk ? kErrDiskFull : rc;
    }
    from += written;
  }
  return kOk;
}

void* PendingFile::map(uint64_t offset, std::size_t bytes) noexcept {
  if (!is_open() || bytes == 0 || offset % kViewAlignment != 0) return nullptr;
  uint64_t end = offset + bytes;
  // A mapping reaching past the end would grow the file, which POSIX never does.
  if (end < offset || end > size()) return nullptr;
  HANDLE mapping =
      CreateFileMappingW(reinterpret_cast<HANDLE>(handle_), nullptr, PAGE_READWRITE,
                         static_cast<DWORD>(end >> 32), static_cast<DWORD>(end), nullptr);
  if (!mapping) return nullptr;
  void* view = MapViewOfFile(mapping, FILE_MAP_WRITE, static_cast<DWORD>(offset >> 32),
                             static_cast<DWORD>(offset), bytes);
  CloseHandle(mapping);  // the view holds the mapping, and the file, for itself
  return view;
}

void PendingFile::unmap(void* view, std::size_t) noexcept {
  if (view) UnmapViewOfFile(view);
}

void PendingFile::prefault(void* view, std::size_t bytes) noexcept {
  // A write to each page: the first write is what costs.
  auto* p = static_cast<volatile unsigned char*>(view);
  for (std::size_t i = 0; view && i < bytes; i += 4096) p[i] = p[i];
}

// A name that is taken is not replaced: it may be another process's file.
int32_t PendingFile::rename(const char* new_name) noexcept {
  if (!is_open()) return kErrInvalidHandle;
  Path path;
  if (int32_t rc = file_path(new_name, false, &path)) return rc;
  // FILE_RENAME_INFO with the path in place of its one-unit array.
  alignas(FILE_RENAME_INFO) unsigned char buf[sizeof(FILE_RENAME_INFO) + sizeof path.text];
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buf);
  std::memset(info, 0, sizeof *info);
  info->ReplaceIfExists = FALSE;
  info->RootDirectory = nullptr;
  info->FileNameLength = path.len * sizeof(wchar_t);
  std::memcpy(info->FileName, path.text, (path.len + 1) * sizeof(wchar_t));
  if (!SetFileInformationByHandle(reinterpret_cast<HANDLE>(handle_), FileRenameInfo, info,
                                  sizeof(FILE_RENAME_INFO) + path.len * sizeof(wchar_t))) {
    return last_error();
  }
  std::strcpy(name_, new_name);
  return kOk;
}

// The file goes when its handle closes; until then it is delete-pending and
// nothing can open it, so no one claims it in between. Windows refuses to
// delete a file that has a view mapped anywhere: unmap first. On failure the
// file stays open and held.
int32_t PendingFile::remove() noexcept {
  if (!is_open()) return kErrInvalidHandle;
  FILE_DISPOSITION_INFO info = {TRUE};
  if (!SetFileInformationByHandle(reinterpret_cast<HANDLE>(handle_), FileDispositionInfo, &info,
                                  sizeof info)) {
    return last_error();
  }
  close();
  return kOk;
}

// Unlocking first: a lock left to the handle's closing is let go when the
// system gets round to it.
void PendingFile::let_go_of_handle() noexcept {}

void PendingFile::close() noexcept {
  if (!is_open()) return;
  HANDLE h = reinterpret_cast<HANDLE>(handle_);
  OVERLAPPED at = lock_range();
  UnlockFileEx(h, 0, 1, 0, &at);
  CloseHandle(h);
  handle_ = kNoHandle;
  name_[0] = 0;
}

void PendingFile::forget_after_fork() noexcept {
  handle_ = kNoHandle;
  name_[0] = 0;
}

int32_t list_pending_files(const char* prefix, const char* suffix,
                           std::vector<std::string>* names) noexcept {
  names->clear();
  if (!prefix) prefix = "";
  if (!suffix) suffix = "";
  Path pattern;
  int32_t rc = open_folder(&pattern, false);
  if (rc == kErrFileNotFound) return kOk;
  if (rc) return rc;
  if (!pattern.add(L"\\*")) return kErrBadPathname;
  WIN32_FIND_DATAW found;
  HANDLE find =
      FindFirstFileExW(pattern.text, FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) {
    DWORD e = GetLastError();
    return e == ERROR_FILE_NOT_FOUND ? kOk : error_code(e);
  }
  DWORD e = ERROR_SUCCESS;
  try {
    do {
      if (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) {
        continue;
      }
      char name[PendingFile::kMaxName];
      std::size_t n = 0;
      for (; found.cFileName[n] && n + 1 < sizeof name; ++n) {
        wchar_t c = found.cFileName[n];
        name[n] = c < 0x80 ? static_cast<char>(c) : '\0';  // not a name of ours
      }
      if (found.cFileName[n]) continue;
      name[n] = 0;
      if (!safe_file_name(name)) continue;
      if (starts_with(name, n, prefix) && ends_with(name, n, suffix)) names->emplace_back(name, n);
    } while (FindNextFileW(find, &found));
    e = GetLastError();
  } catch (...) {
    e = ERROR_NOT_ENOUGH_MEMORY;
  }
  FindClose(find);
  if (e != ERROR_NO_MORE_FILES) {
    names->clear();
    return error_code(e);
  }
  std::sort(names->begin(), names->end());
  return kOk;
}

std::string pending_folder() noexcept {
  Path dir;
  if (folder_path(&dir, false)) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, dir.text, static_cast<int>(dir.len), nullptr, 0, nullptr,
                              nullptr);
  if (n <= 0) return {};
  try {
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, dir.text, static_cast<int>(dir.len), out.data(), n, nullptr,
                        nullptr);
    return out;
  } catch (...) {
    return {};
  }
}

uint32_t process_id() noexcept { return GetCurrentProcessId(); }

uint64_t monotonic_ms() noexcept { return GetTickCount64(); }

uint64_t coarse_time() noexcept {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

}  // namespace kx::plat
