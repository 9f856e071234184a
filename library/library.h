// What the exports need from the library's process-wide layer.
//
// The library's locks, in the one order they may be taken; the compiler checks
// the annotations (-Wthread-safety, the linux-fuzz preset). Other comments
// point here.
//  1. "KelmixHandlesMutex" (plat::NamedMutex), shared by every process and
//     both libraries: opening, closing and unloading hold it for their table
//     steps. Opening also completes dead processes' pending files under it
//     (store/recovery.h), registry calls included.
//  2. The table mutex (library.cc, g_table to the analysis): this library's
//     name table. Taken after 1.
//  3. A store's queue_lock: its pending queue, pending file and the strings
//     it handed out. It belongs to the store's HandleMap entry and is never
//     destroyed. Held with neither 1 nor 2, but for one case: opening makes
//     the new store, whose lock no other thread can reach yet, under both.
//     It also keeps the store open for an export (Held), and closing passes
//     it once after retiring the handle, as a barrier for such calls.
//  4. The stand-in's registry mutex (POSIX), inside registry calls, reads
//     under 3 among them. Nothing of ours is taken under it but 5.
//  5. The stand-in's copy locks (POSIX), one per open key: a read that adds
//     to the key's copy, a count or a listing from it take it, under 4 or
//     alone, for work in memory only. A read the copy answers takes none.
// Nothing waits for calls in flight, or for a live store's drain, under 1 or
// 2. Only the fork handlers hold them together: 2, every 3, then 4 and
// every 5.
#pragma once

#include <cstdint>

#include "library/handle_map.h"
#include "platform/platform.h"

namespace kx {

constexpr const char* kProductKey = "Software\\Kelmix";
constexpr const char* kHandlesMutexName = "KelmixHandlesMutex";

// KXInit: the store's handle, a registry error code, or 0 without memory.
int32_t open_store(const tchar* name) noexcept;
// KXClose: the result of closing the store's key, or kErrInvalidHandle.
int32_t close_store(int32_t handle) noexcept;
// KXWipe: 0 or a registry error code.
int32_t wipe_store(const tchar* name) noexcept;
// A reference to an open store for one call; empty for a bad handle.
HandleMap::Ref acquire_store(int32_t handle) noexcept;
// An open store's queue lock, held for one call; empty for a bad handle.
HandleMap::Held hold_store(int32_t handle) noexcept;
// Calls fn(context, exclusive) under the handles lock (1 above), as opening
// takes it; exclusive says "KelmixHandlesMutex" is held, as recovery asks.
// For library/admin.cc.
void with_handles_lock(void (*fn)(void* context, bool exclusive), void* context) noexcept;

namespace testing {
// For benchmarks: drops what the store behind handle has queued, unwritten.
// False for a bad handle.
bool drop_pending(int32_t handle) noexcept;
}  // namespace testing

}  // namespace kx
