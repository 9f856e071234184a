// What the exports need from the library's process-wide layer.
#pragma once

#include <cstdint>

#include "library/handles.h"
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

}  // namespace kx
