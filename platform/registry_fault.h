// The registry fault a test asked for with testing::fail_nth_registry_write,
// counted by both backends' write calls.
#pragma once

#include <cstdint>

namespace kx::plat {

// Counts one registry write: kOk, or the code this write is to fail with,
// untried, leaving its out-parameters untouched.
int32_t injected_write_fault() noexcept;

}  // namespace kx::plat
