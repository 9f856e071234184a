// Hooks for tests and benchmarks into the platform layer. The product never
// includes this header; the hooks' definitions live beside what they reach.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace kx::plat {

using ClockHook = void (*)(SystemTime* now);

namespace testing {

// Replaces the clock behind get_system_time; null restores it.
void set_clock(ClockHook hook);

// Makes the nth registry write from now (1 = the next one) fail with code, in
// any thread, without reaching the registry; 0 turns it off. Writes are the
// calls of reg_create_key(_a), reg_delete_key, reg_set_value and
// reg_delete_value, an existing key opened by reg_create_key included.
void fail_nth_registry_write(long n, int32_t code);

}  // namespace testing
}  // namespace kx::plat
