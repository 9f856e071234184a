// What a process that died with a store open had accepted, completed by the
// next one that opens the store. Each pending file is claimed by taking its
// lock, which only a dead owner has let go, so a live process's file is never
// touched, and two processes never replay one file.
//
// Callers hold the handles lock (library/library.h): "KelmixHandlesMutex"
// when it could be opened, which they say with exclusive. So a store is never
// opened while an earlier process's records for it are still being completed,
// and no other process claims a file whose descriptor a recovery has let go.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace kx::recovery {

struct Outcome {
  uint32_t files = 0;    // files completed and removed
  uint32_t records = 0;  // records performed
  uint32_t kept = 0;     // damaged files set aside after their sound records
  // kOk, or why the store's files could not all be completed: they could
  // not be listed or claimed (descriptors, memory), or the registry refused
  // a record for a passing reason (a full disk; kErrBusy once another
  // program's write lock has been waited for as long as a write waits).
  // What was not completed stays in its files, with their progress, for
  // the next opening: the store must not be written meanwhile.
  int32_t error = kOk;
};

// Completes, on key (the store's open key), the records of every orphaned
// pending file of the store named name (canonical), in the order they were
// made, then removes the files. A record the dead process had performed is
// not performed again, but the last batch before its death may be: a set or
// delete made twice. A record the registry refuses for itself is dropped, as
// the queue thread drops it. A file whose header, counters or store do not
// check is kept aside unreplayed; one replayed up to a damaged record is kept
// aside after its sound records. Files of either character width are
// completed. Another program's write lock is waited for up to lock_wait_ms
// (and a poll of 100 ms) before kErrBusy: a caller that waits longer lets
// go of "KelmixHandlesMutex" between tries. With exclusive (the caller holds
// that mutex) each file's descriptor is let go of once it is mapped, so more
// orphans than descriptors are completed; without, each file's own lock is
// all that keeps another process from claiming it too, and is kept.
Outcome recover(const tchar* name, plat::Key key, uint32_t lock_wait_ms, bool exclusive) noexcept;

// Removes the orphaned pending files of the store named name (canonical),
// unreplayed: its key is being deleted, where their records would have gone.
// kOk, or why some could not be listed or claimed.
int32_t discard(const tchar* name, bool exclusive) noexcept;

// One pending file, for the kelmix tool.
struct FileInfo {
  std::string file;
  bool owner_alive = false;  // its lock is held: never touched
  bool damaged = false;      // kept aside, or a header that does not check
  uint32_t pid = 0;
  uint32_t unit_bytes = 0;  // 2: UTF-16, 1: 8-bit
  std::string name_bytes;   // the store's name in that width, unterminated
  uint32_t pending = 0;     // records not yet performed (0 for a live file)
  uint64_t created = 0;     // 100 ns units since 1601
};
// Every pending file in the folder, orphaned or not.
int32_t survey(std::vector<FileInfo>* files) noexcept;

}  // namespace kx::recovery
