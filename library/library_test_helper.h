// Hooks for tests and benchmarks into the library, and through it the
// store and platform layers' own: the one testing header a benchmark needs.
// The product never includes this header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/platform_test_helper.h"
#include "store/store_test_helper.h"

namespace kx::testing {

// Drops what the store behind handle has queued, unwritten, so benchmarks
// time rounds of writes without the registry. False for a bad handle.
bool drop_pending(int32_t handle) noexcept;
// Records the store behind handle has accepted and not yet performed; 0 for
// a bad handle.
std::size_t pending_records(int32_t handle) noexcept;
// The name of the store's pending file in its folder; "" for a bad handle
// or a store without one.
std::string pending_file_of(int32_t handle);

}  // namespace kx::testing
