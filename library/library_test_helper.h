// Hooks for tests and benchmarks into the library layer. The product never
// includes this header.
#pragma once

#include <cstdint>
#include <string>

namespace kx::testing {

// Drops what the store behind handle has queued, unwritten, so benchmarks
// time rounds of writes without the registry. False for a bad handle.
bool drop_pending(int32_t handle) noexcept;
// The name of the store's pending file in its folder; "" for a bad handle
// or a store without one.
std::string pending_file_of(int32_t handle);

}  // namespace kx::testing
