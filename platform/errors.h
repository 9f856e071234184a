// Windows system error codes, the library's result codes on every platform.
#pragma once

#include <cstdint>

namespace kx {

constexpr int32_t kOk = 0;
constexpr int32_t kErrFileNotFound = 2;       // ERROR_FILE_NOT_FOUND
constexpr int32_t kErrTooManyOpenFiles = 4;   // ERROR_TOO_MANY_OPEN_FILES
constexpr int32_t kErrAccessDenied = 5;       // ERROR_ACCESS_DENIED
constexpr int32_t kErrInvalidHandle = 6;      // ERROR_INVALID_HANDLE
constexpr int32_t kErrNotEnoughMemory = 8;    // ERROR_NOT_ENOUGH_MEMORY
constexpr int32_t kErrInvalidParameter = 87;  // ERROR_INVALID_PARAMETER
constexpr int32_t kErrLockViolation = 33;     // ERROR_LOCK_VIOLATION
constexpr int32_t kErrDiskFull = 112;         // ERROR_DISK_FULL
constexpr int32_t kErrBadPathname = 161;      // ERROR_BAD_PATHNAME
constexpr int32_t kErrAlreadyExists = 183;    // ERROR_ALREADY_EXISTS
// ERROR_BUSY: the POSIX stand-in only, when another process holds the
// database's write lock. Nothing was done; the call may be made again later.
// Creating or deleting a key first waits its turn for seconds: a drain lets
// it in between batches, so only a lock held on that long gives it.
constexpr int32_t kErrBusy = 170;
constexpr int32_t kErrMoreData = 234;          // ERROR_MORE_DATA
constexpr int32_t kErrNoMoreItems = 259;       // ERROR_NO_MORE_ITEMS
constexpr int32_t kErrRegistryCorrupt = 1015;  // ERROR_REGISTRY_CORRUPT
constexpr int32_t kErrKeyDeleted = 1018;       // ERROR_KEY_DELETED
constexpr int32_t kErrNotFound = 1168;         // ERROR_NOT_FOUND
constexpr int32_t kErrInvalidState = 5023;     // ERROR_INVALID_STATE: the library is unloading

// A failure that says nothing against the call itself: the machine is short
// of something (disk, memory, descriptors) or another process holds the
// registry. The same call may succeed later, so a write is kept and tried
// again rather than dropped.
constexpr bool is_passing_failure(int32_t rc) {
  return rc == kErrBusy || rc == kErrDiskFull || rc == kErrNotEnoughMemory ||
         rc == kErrTooManyOpenFiles || rc == 14 /* ERROR_OUTOFMEMORY */ ||
         rc == 39 /* ERROR_HANDLE_DISK_FULL */ || rc == 1450 /* ERROR_NO_SYSTEM_RESOURCES */;
}

// Registry value types.
constexpr uint32_t kRegNone = 0;
constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegExpandSz = 2;
constexpr uint32_t kRegBinary = 3;
constexpr uint32_t kRegDword = 4;
constexpr uint32_t kRegMultiSz = 7;

}  // namespace kx
