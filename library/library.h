// What the exports need from the library's process-wide layer.
//
// The library's locks, in the one order they may be taken. The compiler
// checks the annotations, the order where one function can see two of them
// (ACQUIRED_BEFORE: 1 and 2 before 3, 4 before 5), in the linux-tsan preset,
// which builds the library, the tool and the tests with clang and
// -Wthread-safety(-beta) as errors. Other comments point here.
//  1. "KelmixHandlesMutex" (plat::NamedMutex), shared by every process and
//     both libraries: opening, closing, wiping and unloading hold it for
//     their table steps. Opening also completes dead processes' pending
//     files under it (store/recovery.h), registry calls included.
//  2. The table mutex (library.cc, g_table to the analysis): this library's
//     name table. Taken after 1.
//  3. A store's queue_lock: its pending queue, pending file and the strings
//     it handed out. It belongs to the store's HandleMap entry and is never
//     destroyed. Never taken under 1 or 2: a new store opens its pending
//     file before it is published. It also keeps the store open for an
//     export (HandleMap::Held, a scoped lock naming it), and closing passes
//     it once after retiring the handle, as a barrier for such calls.
//  4. The stand-in's registry mutex (POSIX), inside registry calls, reads
//     under 3 among them; a registry batch holds it from reg_begin_batch to
//     reg_end_batch (plat::registry_batch to the analysis). Nothing of ours
//     is taken under it but 5.
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
// The process's stores: HandleMap::Held held(store_map(), handle) holds an
// open store's queue lock for one call.
HandleMap& store_map() noexcept;
// The key of the store named name (canonical) under the product key, opened,
// or with create made, the product key too, as opening a store makes it.
int32_t open_store_key(const tchar* name, bool create, plat::ScopedKey* key) noexcept;
// Calls fn(context, exclusive) under the handles lock (1 above), as opening
// takes it; exclusive says "KelmixHandlesMutex" is held, as recovery asks.
// For library/admin.cc.
void with_handles_lock(void (*fn)(void* context, bool exclusive), void* context) noexcept;

}  // namespace kx
