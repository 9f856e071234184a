// Windows system error codes, the library's result codes on every platform.
#pragma once

#include <cstdint>

namespace kx {

constexpr int32_t kOk = 0;
constexpr int32_t kErrFileNotFound = 2;       // ERROR_FILE_NOT_FOUND
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

// Registry value types.
constexpr uint32_t kRegNone = 0;
constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegExpandSz = 2;
constexpr uint32_t kRegBinary = 3;
constexpr uint32_t kRegDword = 4;
constexpr uint32_t kRegMultiSz = 7;

}  // namespace kx
