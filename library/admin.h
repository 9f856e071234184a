// What the kelmix tool needs of the library beyond the exports: the library's
// process state in a program that links the core, a store's key with the
// records of hosts that died with it open completed, and a look at the
// pending files. Whatever here touches a store's key or pending files holds
// the handles lock (library/library.h) while it does, as opening does.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace kx::admin {

// The key the stores are keys under, in HKEY_CURRENT_USER.
extern const char* const kProductKey;

// The library's process state for a program that links the core instead of
// loading a DLL: made first, and on leaving the scope every store still open
// is closed, its queue written.
class LibraryScope {
 public:
  LibraryScope();
  ~LibraryScope();
  LibraryScope(const LibraryScope&) = delete;
  LibraryScope& operator=(const LibraryScope&) = delete;
};

// What completing a store's pending files did.
struct Completed {
  uint32_t files = 0;    // completed and removed
  uint32_t records = 0;  // performed
  uint32_t kept = 0;     // damaged, set aside after their sound records
};

// Opens the key of the store named name (one key name, no backslash), with
// create making it and the product key as KXInit does, once the records of
// every process that died with the store open are in it: no store of that
// name is opened meanwhile. Another program's write lock is waited for as a
// write waits. kOk or the registry's error; done may be null.
int32_t open_completed(const tchar* name, bool create, plat::ScopedKey* key,
                       Completed* done) noexcept;

// One file in the pending files' folder.
struct PendingFile {
  std::string file;          // its name in the folder
  bool owner_alive = false;  // locked by its live owner: not read
  bool damaged = false;      // set aside, or a header or record that does not check
  // Orphaned, with a header, neither set aside nor half made: the next
  // opening of its store completes it (up to any damage).
  bool completable = false;
  // From the header; unit_bytes is 0 when there is none.
  uint32_t pid = 0;
  uint32_t unit_bytes = 0;  // 2: UTF-16, 1: 8-bit
  std::string name_bytes;   // the store's name in that width, unterminated
  uint32_t pending = 0;     // records not yet performed
};

// Every pending file, orphaned or not, looked at under the handles lock: an
// opening meanwhile would take a file claimed to be read for a live one, and
// skip it.
int32_t survey_pending(std::vector<PendingFile>* files) noexcept;

}  // namespace kx::admin
